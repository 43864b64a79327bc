// Mixing per-stream monitors on one clock: every stream the sink plays is
// rendered by the same sink thread, so a stream's n-th frame belongs at a
// fixed position of the sink's timeline. A source is placed when its first
// frames arrive, and then consumed frame by frame: nothing is re-positioned,
// dropped or repeated, so nothing drifts; only a source that stopped
// delivering (paused) and comes back is placed again.
#ifndef NIMBREL_AUDIO_LINUX_TIMELINE_MIX_H_
#define NIMBREL_AUDIO_LINUX_TIMELINE_MIX_H_

#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace audio::pulse {

class TimelineMix {
 public:
  /// Frames are mixed `holdBack` frames behind the clock, so that what the
  /// sources deliver for the same sink cycles has arrived. A source never
  /// holds frames more than `maxAhead` frames ahead of the clock (and one
  /// delivery more): that much memory, and no more, when the clock stops.
  /// With `exact`, a source placed anew keeps where its frames were
  /// rendered and loses those already due; else it is moved past them.
  TimelineMix(int64_t holdBack, int64_t maxAhead, bool exact = false)
      : holdBack_(holdBack), maxAhead_(maxAhead), exact_(exact) {}

  /// A source's next frames. Its first ones end where the clock is now; so
  /// do those of a source that ran `maxAhead` past the clock, whose earlier
  /// frames are let go, of one ended before, and of one whose frames would
  /// all fall before the frames already mixed.
  void sourceFrames(uint32_t source, const float* frames, size_t count);
  /// The source will bring nothing more; what it brought is still mixed.
  void endSource(uint32_t source);
  /// The clock moved on by `count` frames: appends the frames now due (the
  /// sum of the sources, silence where none plays) to `out`. Those due run
  /// to `ready` (where what the sources bring is in), within the hold-back
  /// and the clock.
  void clockFrames(size_t count, std::vector<float>& out,
                   int64_t ready = std::numeric_limits<int64_t>::min());
  /// No source at all: the mix would be silence, and is not made.
  bool idle() const { return sources_.empty(); }
  /// The clock moved on by `count` frames while idle.
  void skip(size_t count);

  int64_t clock() const { return clock_; }
  /// Timeline position of the next frame due.
  int64_t emitted() const { return emitted_; }
  /// Where the source's frames begin since it was last placed; none before
  /// its first frames and after its end.
  std::optional<int64_t> placedAt(uint32_t source) const;
  /// The position up to which the source's frames are in: none for a
  /// source it does not have, all for one that ended.
  std::optional<int64_t> heldUntil(uint32_t source) const;
  size_t sourceCount() const { return sources_.size(); }
  /// Frames held by all sources, not yet due.
  size_t heldFrames() const;

 private:
  struct Source {
    int64_t start = 0;   // timeline position of frames[head]
    int64_t placed = 0;  // where its frames begin since it was placed
    std::vector<float> frames;
    size_t head = 0;  // frames before it are spent; let go in bulk
    bool ended = false;
    size_t held() const { return frames.size() - head; }
  };
  const int64_t holdBack_;
  const int64_t maxAhead_;
  const bool exact_;
  int64_t clock_ = 0;
  int64_t emitted_ = 0;  // timeline position of the next frame due
  std::map<uint32_t, Source> sources_;
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_TIMELINE_MIX_H_
