// Subtracting the left-out players from the sink's monitor, at the lag found
// by correlation.
#include "audio/linux/canceller.h"

#include <algorithm>
#include <cmath>
#include <limits>
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
  if (frames.empty() || from != end()) {
    frames.clear();
    start = from;
  }
  frames.insert(frames.end(), values, values + count);
  if (frames.size() > keep) {
    const size_t drop = frames.size() - keep;
    frames.erase(frames.begin(), frames.begin() + long(drop));
    start += int64_t(drop);
  }
}

void Canceller::clock(int64_t from, const float* frames, size_t count) {
  clock_.append(from, frames, count, history_);
  if (onset_ && !lag_) search();
}

void Canceller::excluded(int64_t from, const float* sum, size_t count,
                         int64_t known) {
  // Frames not in yet are marked, never subtracted nor correlated.
  std::vector<float> marked(sum, sum + count);
  for (int64_t t = std::max(known, from); t < from + int64_t(count); ++t)
    marked[size_t(t - from)] = kUnknown;
  excluded_.append(from, marked.data(), count, history_);
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
  const std::vector<float> sum(
      excluded_.frames.begin() + (first - excluded_.start),
      excluded_.frames.begin() + (last - excluded_.start));
  const int64_t from = std::max(clock_.start, first - margin_);
  const std::vector<float> clock(
      clock_.frames.begin() + (from - clock_.start),
      clock_.frames.begin() + (last + margin_ - clock_.start));
  // For each lag, what the subtraction leaves of the clock over the stretch
  // (`left`) and how much it removes (`removed`).
  std::vector<double> prefix(clock.size() + 1, 0);
  for (size_t i = 0; i < clock.size(); ++i)
    prefix[i + 1] = prefix[i] + double(clock[i]) * clock[i];
  const size_t lags = size_t(2 * margin_ + 1);
  std::vector<double> left(lags, 1e30), removed(lags, 0);
  for (int64_t lag = -margin_; lag <= margin_; ++lag) {
    if (first + lag < from) continue;
    const size_t at = size_t(first + lag - from);
    const float* c = clock.data() + at;
    double product = 0;
    for (size_t i = 0; i < sum.size(); ++i) product += double(sum[i]) * c[i];
    const double clockEnergy = prefix[at + sum.size()] - prefix[at];
    removed[size_t(lag + margin_)] = 2 * product - energy;
    left[size_t(lag + margin_)] = clockEnergy - 2 * product + energy;
  }
  const size_t best =
      size_t(std::min_element(left.begin(), left.end()) - left.begin());
  double second = 1e30;
  for (size_t i = 0; i < lags; ++i) {
    if (std::abs(int64_t(i) - int64_t(best)) > 2)
      second = std::min(second, left[i]);
  }
  // The right lag removes the sum's own energy, give or take what the kept
  // players share with it; and leaves clearly less than any other (a tone
  // a period off matches but where it starts).
  if (removed[best] > 0.9 * energy && removed[best] < 1.1 * energy &&
      second > left[best] + kSeparation * energy) {
    lag_ = int64_t(best) - margin_;
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
    if (!whole || energy < kCheckedShare * clockEnergy ||
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
