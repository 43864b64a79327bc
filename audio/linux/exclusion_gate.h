// Where the left-out players are heard on the sink's timeline. Elsewhere the
// sink's monitor holds only kept players' sound, whole from each one's first
// frame, which the per-player mix cannot give: a player's monitor starts
// after the sink has rendered its first frames. Each place a left-out player
// is heard, or may be (its frames not yet come), is widened on both sides by
// a margin: how far a monitor's frames may be placed from where the sink
// rendered them.
#ifndef NIMBREL_AUDIO_LINUX_EXCLUSION_GATE_H_
#define NIMBREL_AUDIO_LINUX_EXCLUSION_GATE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <utility>

namespace audio::pulse {

class ExclusionGate {
 public:
  // Below one step of the 16-bit output: nothing anyone could hear.
  static constexpr float kQuiet = 1.0f / 32768;

  explicit ExclusionGate(int64_t margin) : margin_(margin) {}

  /// The left-out players' summed frames from timeline position `from` on;
  /// those at or past `known` are not in yet, and count as heard. Positions
  /// come in order.
  void frames(int64_t from, const float* sum, size_t count, int64_t known);
  /// Each of `count` frames from `from` on: the monitor's where no left-out
  /// player is heard within the margin, else the mix's. Asks only about
  /// positions a margin before those `frames` has had.
  void pick(int64_t from, const float* monitor, const float* mix, size_t count,
            float* out);
  /// Forgets everything: no player left out plays.
  void clear() { heard_.clear(); }

 private:
  void heard(int64_t from, int64_t to);  // [from, to), before widening

  const int64_t margin_;
  // Widened places, in order, apart; those before the last pick are let go.
  std::deque<std::pair<int64_t, int64_t>> heard_;
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_EXCLUSION_GATE_H_
