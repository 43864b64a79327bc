// The left-out players taken out of the sink's monitor by subtraction. A
// player's monitor carries, sample for sample, what the sink mixed of it
// (measured on both servers: gain 1.0000000, residual below -140 dB); only
// where its frames sit on the clock's timeline is unsure, by up to a margin.
// Found once by correlation where the left-out sound starts, that lag holds
// while its monitors stay placed; the monitor minus their sum is then every
// kept player's sound whole, a new player's first frames included.
#ifndef NIMBREL_AUDIO_LINUX_CANCELLER_H_
#define NIMBREL_AUDIO_LINUX_CANCELLER_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace audio::pulse {

class Canceller {
 public:
  /// `margin`: the largest lag searched, either way; `history`: how many
  /// frames of each signal are kept, at least the output's hold-back, the
  /// margin and the stretch correlated.
  Canceller(int64_t margin, size_t history);

  /// The clock's frames (the sink's monitor) from timeline position `from`.
  void clock(int64_t from, const float* frames, size_t count);
  /// The left-out players' summed frames from `from`, those at or past
  /// `known` not in yet. May lock onto their lag.
  void excluded(int64_t from, const float* sum, size_t count, int64_t known);
  /// The left-out players' monitors were placed anew: the lag is unknown.
  void unlock();
  bool locked() const { return verified_; }

  /// For each of `count` positions from `from`: the clock's frame less the
  /// left-out sum at the lag, where both are known and two blocks have
  /// borne the lag out; `fallback` elsewhere. Unlocks where what is left
  /// still follows the sum.
  void cancel(int64_t from, const float* fallback, size_t count, float* out);

 private:
  struct Signal {
    int64_t start = 0;  // timeline position of frames[head]
    std::vector<float> frames;
    size_t head = 0;  // frames before it are let go, in bulk
    int64_t end() const { return start + int64_t(frames.size() - head); }
    bool has(int64_t at) const { return at >= start && at < end(); }
    float at(int64_t at) const { return frames[head + size_t(at - start)]; }
    const float* from(int64_t at) const {
      return frames.data() + head + size_t(at - start);
    }
    void append(int64_t from, const float* values, size_t count, size_t keep);
  };
  /// Looks for the lag around the left-out sound's first loud frames.
  void search();

  const int64_t margin_;
  const size_t history_;
  Signal clock_;
  Signal excluded_;
  int64_t knownFrom_ = 0;  // the sum is known from here (since the unlock)
  int64_t knownTo_ = 0;    // and up to here
  int64_t quiet_ = 0;      // known quiet frames of the sum just before its end
  std::optional<int64_t> onset_;  // a loud frame after kBefore quiet ones
  std::optional<int64_t> lag_;    // clock position = sum position + lag
  int strays_ = 0;                // blocks running the lag seemed wrong
  int checked_ = 0;               // blocks that bore the new lag out
  bool verified_ = false;
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_CANCELLER_H_
