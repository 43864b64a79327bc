// Where the output comes from on PipeWire while processes are left out: the
// service's stream of the sink's monitor (the clock) while none of their
// players is on the sink, the graph's stream (the monitor less those
// players) while one is. The graph's stream runs only then: it is woken on
// every graph cycle, the service's stream once per packet.
//
// Both carry the same monitor frames, the graph's sooner. A switch to the
// graph holds the clock's frames until it finds where the graph's first
// ones are among them, by their samples; a steady tone matches a whole
// number of periods apart as well, and the match nearest to where the
// arrival times put it is taken. The way back is exact: the clock goes on
// from the frame after the graph's last.
#ifndef NIMBREL_AUDIO_LINUX_FEED_SWITCH_H_
#define NIMBREL_AUDIO_LINUX_FEED_SWITCH_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace audio::pulse {

class FeedSwitch {
 public:
  using Out = void (*)(void* owner, const float* frames, size_t count);

  /// `out` gets the output frames, in order; all calls under one lock.
  FeedSwitch(uint32_t rate, Out out, void* owner);

  /// The clock's frames, the last rendered about `nowUs` (monotonic). With
  /// `graphRuns` false the graph's stream has been let go.
  void clockFrames(const float* frames, size_t count, int64_t nowUs,
                   bool graphRuns);
  /// A graph cycle: the monitor as it came and the output, the left-out
  /// players taken out; the last frame rendered about `nowUs`.
  void graphFrames(const float* monitor, const float* out, size_t count,
                   int64_t nowUs);
  bool onGraph() const { return state_ == State::Graph; }

 private:
  enum class State { Clock, Joining, Graph };
  float clockAt(int64_t position) const;
  /// The clock's position of the graph's first held frame, by the arrival
  /// times.
  int64_t estimate() const;
  /// Joins where the samples say, or, with `force`, where the times do.
  void tryJoin(bool force);
  /// The graph's frame 0 is the clock's `offset`; its frames go out from
  /// `from` on (those before can be a new link's silence), the clock's
  /// before.
  void join(int64_t offset, int64_t from);
  void emitClock(int64_t from, int64_t to);

  const uint32_t rate_;
  const Out out_;
  void* const owner_;
  State state_ = State::Clock;

  std::vector<float> clock_;  // a ring of the clock's last frames
  int64_t clockEnd_ = 0;      // frames the clock brought
  int64_t emitted_ = 0;       // the clock's frames gone out (or passed)
  int64_t clockUs_ = 0;       // when its last frame came
  int64_t late_;              // frames it comes later than the graph's

  std::vector<float> heldMonitor_, heldOut_;  // the graph's, while joining
  int64_t graphStartUs_ = 0;  // when its first held frame was rendered
  int64_t graphEnd_ = 0;      // the clock's position after the graph's last
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_FEED_SWITCH_H_
