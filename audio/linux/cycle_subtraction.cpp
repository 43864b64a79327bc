#include "audio/linux/cycle_subtraction.h"

#include <algorithm>
#include <numeric>

#include "audio/linux/exclusion_gate.h"

namespace audio::pulse {
namespace {

// Another lag takes over when it leaves less than the current one by more
// than half the left-out sound, two cycles running: a wrong lag leaves that
// sound once or twice, the right one none of it. Lags that fit alike (a
// steady tone's periods) leave the current one be.
constexpr size_t kDoubts = 2;
constexpr double kBetter = 0.5;
// Once a lag is fitted, the fit looks at every 4th frame: it runs on every
// cycle the left-out sound is heard, and a lag a whole cycle off leaves that
// sound once or twice. The first fit looks at them all: where the sound has
// only begun, a few frames of it can fit a wrong lag by chance.
constexpr size_t kStride = 4;

}  // namespace

size_t CycleSubtraction::framesBack(size_t lag) const {
  return std::accumulate(sizes_.end() - long(std::min(lag, sizes_.size())),
                         sizes_.end(), size_t(0)) +
         (lag > sizes_.size() ? (lag - sizes_.size()) * sizes_.back() : 0);
}

float CycleSubtraction::past(size_t back) const {
  return back <= history_.size() ? history_[history_.size() - back] : 0.0f;
}

void CycleSubtraction::fit(const float* monitor, const float* excluded,
                           size_t count, float gain) {
  double left[kMaxLag + 1] = {}, loud[kMaxLag + 1] = {};
  const size_t stride = fitted_ ? kStride : 1;
  for (size_t lag = 0; lag <= kMaxLag; ++lag) {
    const size_t back = framesBack(lag);
    const auto add = [&](size_t i, float x) {
      const double r = monitor[i] - x;
      left[lag] += r * r;
      loud[lag] += double(x) * x;
    };
    // The last frame is always looked at: a sound that starts late in the
    // cycle is fitted in it, before its first frames go out.
    size_t i = (count - 1) % stride;
    for (; i < std::min(back, count); i += stride)
      add(i, gain * past(back - i));
    for (; i < count; i += stride) add(i, gain * excluded[i - back]);
  }
  const size_t best = size_t(std::min_element(left, left + kMaxLag + 1) - left);
  // Nothing of the left-out players to fit by at the best lag: it stays.
  const double quiet = double(ExclusionGate::kQuiet) * ExclusionGate::kQuiet;
  if (loud[best] < quiet * double((count + stride - 1) / stride)) return;
  if (best != lag_ && left[lag_] - left[best] > kBetter * loud[best]) {
    // The first fit decides at once: until then nothing was taken out.
    if (++doubts_ >= (fitted_ ? kDoubts : 1)) {
      lag_ = best;
      doubts_ = 0;
    }
  } else {
    doubts_ = 0;
  }
  fitted_ = true;
}

void CycleSubtraction::cycle(const float* monitor, const float* excluded,
                             size_t count, float gain, float* out) {
  if (count == 0) return;
  // No left-out player heard for longer than the lags tried (the usual
  // case: the parent's own PID, playing nothing): the monitor as it is,
  // without the fit's passes.
  const bool silent = std::all_of(excluded, excluded + count,
                                  [](float frame) { return frame == 0.0f; });
  silentFor_ = silent ? silentFor_ + count : 0;
  if (silent && !sizes_.empty() && silentFor_ > framesBack(kMaxLag) + count) {
    std::copy(monitor, monitor + count, out);
    remember(excluded, count);
    return;
  }
  if (!sizes_.empty()) fit(monitor, excluded, count, gain);
  // Until a fit, nothing is taken out: a lag too short would take out what
  // the monitor does not hold yet. The fit comes in the first cycle whose
  // monitor holds the left-out sound, before its frames go out.
  const float g = fitted_ ? gain : 0.0f;
  const size_t back = fitted_ ? framesBack(lag_) : 0;
  size_t i = 0;
  for (; i < std::min(back, count); ++i)
    out[i] = monitor[i] - g * past(back - i);
  for (; i < count; ++i) out[i] = monitor[i] - g * excluded[i - back];
  remember(excluded, count);
}

void CycleSubtraction::skip(size_t count) {
  if (count == 0) return;
  silentFor_ += count;
  history_.insert(history_.end(), count, 0.0f);
  sizes_.push_back(count);
  forget();
}

void CycleSubtraction::remember(const float* excluded, size_t count) {
  history_.insert(history_.end(), excluded, excluded + count);
  sizes_.push_back(count);
  forget();
}

void CycleSubtraction::forget() {
  if (sizes_.size() > kMaxLag) sizes_.pop_front();
  const size_t keep = framesBack(kMaxLag);
  if (history_.size() > 2 * keep)
    history_.erase(history_.begin(), history_.end() - long(keep));
}

}  // namespace audio::pulse
