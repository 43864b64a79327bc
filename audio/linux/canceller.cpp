// Subtracting the left-out players from the sink's monitor, at the lag found
// by correlation.
#include "audio/linux/canceller.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <utility>
#include <vector>

namespace audio::pulse {
namespace {

// Below one step of the 16-bit output.
constexpr float kQuiet = 1.0f / 32768;
// The stretch correlated: a little before the left-out sound's first loud
// frame, where a wrong lag meets its start, and more after it.
constexpr int64_t kBefore = 240, kAfter = 480;
// How much less the right lag must leave than any other, of the sum's
// energy: a tone one period off leaves its first period, 1/15 of it here.
constexpr double kSeparation = 0.05;
// The first pass of a search fits every kLagStep-th lag on every
// kStride-th frame; the kCandidates lags that fit best there, and those
// within kNear of them, are then fitted on all frames.
constexpr size_t kStride = 16;
constexpr int64_t kLagStep = 2, kNear = 3;
constexpr size_t kCandidates = 32;
// After a search that found no clear lag, the next one waits this long.
constexpr int64_t kRetry = 24000;
// Blocks checked while locked: a residual that still follows the left-out
// sum means the lag is wrong.
// A wrong lag leaves about the sum's energy in its correlation, the right
// one only what the kept players share with the sum by chance: checked
// where the sum is a good part of the block, two blocks running.
constexpr size_t kBlock = 960;
constexpr double kStrayCorrelation = 0.5;
constexpr double kCheckedShare = 0.25;
constexpr double kChecked = 0.01;  // -40 dBFS: no block of a sound's tail

constexpr float kUnknown = std::numeric_limits<float>::quiet_NaN();

}  // namespace

Canceller::Canceller(int64_t margin, size_t history)
    : margin_(margin), history_(history) {}

void Canceller::Signal::append(int64_t from, const float* values, size_t count,
                               size_t keep) {
  if (from != end()) {
    frames.clear();
    head = 0;
    start = from;
  }
  frames.insert(frames.end(), values, values + count);
  const size_t held = frames.size() - head;
  if (held > keep) {
    head += held - keep;
    start += int64_t(held - keep);
  }
  // Moving what is kept to the front once it is the smaller part keeps the
  // cost per frame constant.
  if (head * 2 >= frames.size()) {
    frames.erase(frames.begin(), frames.begin() + long(head));
    head = 0;
  }
}

void Canceller::clock(int64_t from, const float* frames, size_t count) {
  clock_.append(from, frames, count, history_);
  if (onset_ && !lag_) search();
}

void Canceller::excluded(int64_t from, const float* sum, size_t count,
                         int64_t known) {
  // Frames not in yet are marked, never subtracted nor correlated.
  if (count == 0) return;
  excluded_.append(from, sum, count, history_);
  float* marked = excluded_.frames.data() + excluded_.frames.size() - count;
  for (int64_t t = std::max(known, from); t < from + int64_t(count); ++t)
    marked[size_t(t - from)] = kUnknown;
  // An onset: a loud frame after a known quiet stretch, where only the
  // right lag matches the sound's start.
  for (size_t i = 0; i < count && !lag_ && !onset_; ++i) {
    const float x = marked[i];
    if (from + int64_t(i) < knownFrom_ || std::isnan(x)) {
      quiet_ = 0;
    } else if (std::fabs(x) <= kQuiet) {
      ++quiet_;
    } else if (quiet_ >= kBefore) {
      onset_ = from + int64_t(i);
    } else {
      quiet_ = 0;
    }
  }
  if (onset_ && !lag_) search();
}

void Canceller::unlock() {
  lag_.reset();
  strays_ = checked_ = 0;
  verified_ = false;
  onset_.reset();
  quiet_ = 0;
  knownFrom_ = excluded_.end();
}

void Canceller::search() {
  const int64_t first = *onset_ - kBefore;
  const int64_t last = *onset_ + kAfter;
  if (!excluded_.has(first)) {  // let go of before we got to it
    onset_.reset();
    return;
  }
  if (excluded_.end() < last || clock_.end() < last + margin_) return;
  double energy = 0;
  for (int64_t t = first; t < last; ++t) {
    const float x = excluded_.at(t);
    if (std::isnan(x)) {
      onset_.reset();
      return;
    }
    energy += double(x) * x;
  }
  // For each lag, how much of the clock's energy the subtraction removes.
  const std::vector<float> sum(excluded_.from(first),
                               excluded_.from(first) + (last - first));
  const int64_t from = std::max(clock_.start, first - margin_);
  const std::vector<float> clock(clock_.from(from),
                                 clock_.from(from) + (last + margin_ - from));
  // What the subtraction at `lag` leaves of the clock over the stretch, on
  // every `stride`-th frame, and how much it removes.
  struct Fit {
    double left = 1e30, removed = 0;
  };
  auto fit = [&](int64_t lag, size_t stride) {
    Fit result;
    if (first + lag < from || last + lag > from + int64_t(clock.size()))
      return result;
    const float* c = clock.data() + (first + lag - from);
    double product = 0, clockEnergy = 0, own = 0;
    for (size_t i = 0; i < sum.size(); i += stride) {
      product += double(sum[i]) * c[i];
      clockEnergy += double(c[i]) * c[i];
      own += double(sum[i]) * sum[i];
    }
    return Fit{clockEnergy - 2 * product + own, 2 * product - own};
  };
  // Sparse lags on a sparse stretch, then the likeliest on all of it: a
  // search costs the server thread about a millisecond, not tens.
  std::vector<std::pair<double, int64_t>> coarse;
  for (int64_t lag = -margin_; lag <= margin_; lag += kLagStep)
    coarse.emplace_back(fit(lag, kStride).left, lag);
  const size_t kept = std::min(coarse.size(), kCandidates);
  std::partial_sort(coarse.begin(), coarse.begin() + long(kept), coarse.end());
  std::map<int64_t, Fit> fine;
  for (size_t k = 0; k < kept; ++k) {
    for (int64_t near = -kNear; near <= kNear; ++near) {
      const int64_t lag = coarse[k].second + near;
      if (lag >= -margin_ && lag <= margin_ && !fine.count(lag))
        fine[lag] = fit(lag, 1);
    }
  }
  if (fine.empty()) return;
  const auto best = std::min_element(fine.begin(), fine.end(),
                                     [](const auto& a, const auto& b) {
                                       return a.second.left < b.second.left;
                                     });
  double second = 1e30;
  for (const auto& [lag, other] : fine) {
    if (std::abs(lag - best->first) > 2) second = std::min(second, other.left);
  }
  // The right lag removes the sum's own energy, give or take what the kept
  // players share with it; and leaves clearly less than any other (a tone
  // a period off matches but where it starts).
  const Fit& found = best->second;
  if (found.removed > 0.9 * energy && found.removed < 1.1 * energy &&
      second > found.left + kSeparation * energy) {
    lag_ = best->first;
  } else {
    knownFrom_ = *onset_ + kRetry;
    onset_.reset();
    quiet_ = 0;
  }
}

void Canceller::cancel(int64_t from, const float* fallback, size_t count,
                       float* out) {
  for (size_t block = 0; block < count; block += kBlock) {
    const size_t end = std::min(count, block + kBlock);
    double energy = 0, shared = 0, clockEnergy = 0;
    bool whole = lag_.has_value();
    for (size_t i = block; i < end; ++i) {
      const int64_t t = from + int64_t(i);
      const bool known = lag_ && clock_.has(t) && excluded_.has(t - *lag_) &&
                         !std::isnan(excluded_.at(t - *lag_));
      if (!known) {
        out[i] = fallback[i];
        whole = false;
        continue;
      }
      const float x = excluded_.at(t - *lag_);
      const float c = clock_.at(t);
      // Until two blocks bore the lag out, the fallback is the output.
      out[i] = verified_ ? c - x : fallback[i];
      clockEnergy += double(c) * c;
      energy += double(x) * x;
      shared += double(c - x) * x;
    }
    // What is left should share nothing with the sum, unless the lag is
    // wrong: then the block, and what follows, is the fallback's.
    // A few frames (the end of a packet) correlate with anything by chance.
    if (!whole || end - block < kBlock / 2 ||
        energy < kCheckedShare * clockEnergy ||
        energy < double(kBlock) * kChecked * kChecked)
      continue;
    const bool stray = std::fabs(shared) > kStrayCorrelation * energy;
    strays_ = stray ? strays_ + 1 : 0;
    if (strays_ >= 2 || (stray && !verified_)) {
      std::copy(fallback + block, fallback + count, out + block);
      unlock();
      return;
    }
    if (!verified_ && ++checked_ >= 2) verified_ = true;
  }
}

}  // namespace audio::pulse
