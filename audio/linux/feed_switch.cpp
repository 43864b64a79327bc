#include "audio/linux/feed_switch.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace audio::pulse {
namespace {

// The two streams carry the same samples; a little room for the service's
// conversion.
constexpr float kSame = 1e-4f;
// A frame loud enough to place the graph's frames by (-60 dBFS).
constexpr float kAnchor = 1e-3f;
// How far from where the arrival times put it a match is looked for, and
// how far the clock must be past there before one is taken.
constexpr int64_t kSearchMs = 150, kSureMs = 30;
// The graph's frames stopped coming while the clock's ran this far past.
constexpr int64_t kStoppedMs = 200;
constexpr int64_t kClockMs = 600, kHeldMs = 500;
// The clock's frames come about this much later than the graph's (measured
// on PipeWire 0.3.65); each match corrects it.
constexpr int64_t kLateMs = 8;

int64_t framesIn(uint32_t rate, int64_t ms) {
  return int64_t(rate) * ms / 1000;
}

bool loud(float frame) { return std::fabs(frame) > kAnchor; }

}  // namespace

FeedSwitch::FeedSwitch(uint32_t rate, Out out, void* owner)
    : rate_(rate),
      out_(out),
      owner_(owner),
      clock_(size_t(framesIn(rate, kClockMs))),
      late_(framesIn(rate, kLateMs)) {
  heldMonitor_.reserve(size_t(framesIn(rate, kHeldMs)));
  heldOut_.reserve(heldMonitor_.capacity());
}

float FeedSwitch::clockAt(int64_t position) const {
  return clock_[size_t(position % int64_t(clock_.size()))];
}

int64_t FeedSwitch::estimate() const {
  return clockEnd_ - 1 + late_ -
         (clockUs_ - graphStartUs_) * int64_t(rate_) / 1'000'000;
}

void FeedSwitch::emitClock(int64_t from, int64_t to) {
  from = std::max(from, clockEnd_ - int64_t(clock_.size()));
  const auto size = int64_t(clock_.size());
  while (from < to) {
    const int64_t at = from % size;
    const int64_t run = std::min(to - from, size - at);
    out_(owner_, clock_.data() + at, size_t(run));
    from += run;
  }
  emitted_ = std::max(emitted_, to);
}

void FeedSwitch::clockFrames(const float* frames, size_t count, int64_t nowUs,
                             bool graphRuns) {
  const auto size = int64_t(clock_.size());
  // Into the ring in at most two runs, the oldest frames overwritten.
  const size_t kept = std::min(count, clock_.size());
  const float* from = frames + (count - kept);
  const auto at = size_t((clockEnd_ + int64_t(count - kept)) % size);
  const size_t run = std::min(kept, clock_.size() - at);
  std::copy(from, from + run, clock_.begin() + long(at));
  std::copy(from + run, from + kept, clock_.begin());
  clockEnd_ += int64_t(count);
  clockUs_ = nowUs;
  if (state_ == State::Clock) {
    out_(owner_, frames, count);
    emitted_ = clockEnd_;
    return;
  }
  // Held clock frames must not be overwritten before they go out.
  if (state_ == State::Joining)
    tryJoin(!graphRuns || clockEnd_ - emitted_ > size / 2);
  // A join the times put far ahead of the clock: it goes on from its own.
  if (state_ == State::Graph && !graphRuns &&
      graphEnd_ - clockEnd_ > framesIn(rate_, kClockMs)) {
    graphEnd_ = clockEnd_;
  }
  // The graph's stream was let go, or stopped giving frames while the clock
  // went on: the clock goes on from the graph's last frame.
  if (state_ == State::Graph &&
      (!graphRuns || clockEnd_ - graphEnd_ > framesIn(rate_, kStoppedMs)) &&
      clockEnd_ > graphEnd_) {
    emitClock(graphEnd_, clockEnd_);
    state_ = State::Clock;
  }
}

void FeedSwitch::graphFrames(const float* monitor, const float* out,
                             size_t count, int64_t nowUs) {
  if (state_ == State::Graph) {
    out_(owner_, out, count);
    graphEnd_ += int64_t(count);
    emitted_ = std::max(emitted_, graphEnd_);
    return;
  }
  if (state_ == State::Clock) {
    // Quiet cycles place nothing, and need no switch: the clock's frames
    // are as quiet there (a left-out player's silent stream, say).
    if (std::none_of(monitor, monitor + count, loud)) return;
    state_ = State::Joining;
    graphStartUs_ = nowUs - int64_t(count - 1) * 1'000'000 / int64_t(rate_);
  }
  // Nothing is allocated here: what does not fit is joined by the times.
  if (heldMonitor_.size() + count > heldMonitor_.capacity()) tryJoin(true);
  if (state_ == State::Graph) {
    graphFrames(monitor, out, count, nowUs);
    return;
  }
  heldMonitor_.insert(heldMonitor_.end(), monitor, monitor + count);
  heldOut_.insert(heldOut_.end(), out, out + count);
  tryJoin(false);
}

void FeedSwitch::tryJoin(bool force) {
  const auto held = int64_t(heldMonitor_.size());
  // Until the clock's first frames there are no times to go by either.
  if (clockEnd_ == 0) {
    if (force) join(0, 0);
    return;
  }
  const int64_t expected = estimate();
  // Joining starts with a loud cycle.
  const auto anchor =
      std::find_if(heldMonitor_.begin(), heldMonitor_.end(), loud);
  if (anchor == heldMonitor_.end()) {
    join(expected, 0);
    return;
  }
  const int64_t f = anchor - heldMonitor_.begin();
  const int64_t oldest =
      std::max<int64_t>(0, clockEnd_ - int64_t(clock_.size()));
  // A tone matches a whole number of periods apart: the clock must be past
  // where the times put it before the nearest match is taken.
  if (!force && clockEnd_ <= expected + f + framesIn(rate_, kSureMs)) return;
  const int64_t search = framesIn(rate_, kSearchMs);
  const int64_t from = std::max(oldest, expected + f - search);
  const int64_t to = std::min(clockEnd_, expected + f + search + 1);
  int64_t best = 0, bestDistance = std::numeric_limits<int64_t>::max();
  for (int64_t a = from; a < to; ++a) {
    if (std::fabs(clockAt(a) - *anchor) > kSame) continue;
    const int64_t offset = a - f;
    if (std::abs(offset - expected) >= bestDistance) continue;
    bool same = true;
    const int64_t end = std::min(clockEnd_, offset + held);
    for (int64_t x = std::max(oldest, a); same && x < end; ++x)
      same = std::fabs(clockAt(x) - heldMonitor_[size_t(x - offset)]) <= kSame;
    if (same) {
      best = offset;
      bestDistance = std::abs(offset - expected);
    }
  }
  if (bestDistance != std::numeric_limits<int64_t>::max()) {
    // The clock's frames come later than rendered, by the service's
    // handling: learnt from the matches.
    late_ += best - expected;
    join(best, f);
  } else if (force || clockEnd_ > expected + f + search) {
    // No match where it must be (the streams differ, say resampled
    // differently): the times decide.
    join(expected, f);
  }
}

void FeedSwitch::join(int64_t offset, int64_t from) {
  // (A join by the times may put the graph's first frame past the clock's
  // last: the frames between are lost.)
  emitClock(emitted_, std::min(offset + from, clockEnd_));
  const auto held = int64_t(heldOut_.size());
  const int64_t skip = std::clamp<int64_t>(emitted_ - offset, from, held);
  if (skip < held) out_(owner_, heldOut_.data() + skip, size_t(held - skip));
  graphEnd_ = offset + held;
  emitted_ = std::max(emitted_, graphEnd_);
  heldMonitor_.clear();
  heldOut_.clear();
  state_ = State::Graph;
}

}  // namespace audio::pulse
