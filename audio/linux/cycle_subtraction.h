// The left-out players taken out of the sink's monitor, in PipeWire's graph:
// one stream gets, in each cycle, the monitor and those players' own output.
// The monitor carries, sample for sample, what the sink mixed some whole
// cycles earlier (one or two on a null sink, residual 0); which number of
// cycles is found by fit, and held while it stays the best.
#ifndef NIMBREL_AUDIO_LINUX_CYCLE_SUBTRACTION_H_
#define NIMBREL_AUDIO_LINUX_CYCLE_SUBTRACTION_H_

#include <cstddef>
#include <deque>
#include <vector>

namespace audio::pulse {

class CycleSubtraction {
 public:
  // The lags tried, in cycles.
  static constexpr size_t kMaxLag = 4;

  /// One cycle of `count` frames: `out` is the monitor less the left-out
  /// players' frames of `lag()` cycles before, at the sink's `gain`.
  void cycle(const float* monitor, const float* excluded, size_t count,
             float gain, float* out);
  /// `count` frames of a cycle the feed never got: what the left-out
  /// players played then is not known, and taken as nothing (they are
  /// usually leaving: their links going is what cost the cycle).
  void skip(size_t count);
  size_t lag() const { return lag_; }

 private:
  /// The left-out frame `back` frames before the cycle's first, 0 if gone.
  float past(size_t back) const;
  /// Frames before the cycle's first that `lag` cycles come to.
  size_t framesBack(size_t lag) const;
  void fit(const float* monitor, const float* excluded, size_t count,
           float gain);
  /// The cycle's left-out frames, for the cycles that follow.
  void remember(const float* excluded, size_t count);
  /// Drops what no lag reaches any more.
  void forget();

  std::vector<float> history_;  // the last left-out frames, newest last
  size_t silentFor_ = 0;        // frames since a left-out one was not 0
  std::deque<size_t> sizes_;    // of the last cycles, newest last
  size_t lag_ = 0;
  size_t doubts_ = 0;    // cycles running another lag fitted far better
  bool fitted_ = false;  // the lag was fitted once
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_CYCLE_SUBTRACTION_H_
