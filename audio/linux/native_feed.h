// PipeWire's own graph, for a capture that leaves players out: one stream
// whose input ports take the sink's monitor and the left-out players' own
// outputs, in the same cycle, so that the left-out sound is taken out of the
// monitor sample for sample. Every kept player, a new one from its first
// frame, is in the monitor; one that moves to another sink is not. One
// stream in all, on a PipeWire loop thread of its own: its callbacks run
// there with that loop's lock held, and calls from other threads take the
// lock; the cycles run on PipeWire's data thread, as a device's I/O does.
// The monitor is linked only while a left-out player is: the graph wakes
// the stream on every cycle.
#ifndef NIMBREL_AUDIO_LINUX_NATIVE_FEED_H_
#define NIMBREL_AUDIO_LINUX_NATIVE_FEED_H_

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "audio/linux/cycle_subtraction.h"
#include "audio/linux/graph_links.h"

struct pw_core;
struct pw_context;
struct pw_thread_loop;
struct pw_proxy;
struct pw_registry;
struct pw_stream;
struct spa_source;

namespace audio::pulse {

class NativeFeed {
 public:
  /// A cycle's frames, mono: the monitor as it came, and at the sink's
  /// volume the left-out players taken out; on PipeWire's data thread.
  using Frames = void (*)(void* owner, const float* monitor, const float* out,
                          size_t count);
  /// The sink's volume in amplitude, asked each cycle.
  using Gain = float (*)(void* owner);

  NativeFeed(std::string sink, uint32_t rate, Frames frames, Gain gain,
             void* owner);
  /// False when PipeWire cannot be reached. The frames come once the graph
  /// runs the stream.
  bool start();
  /// Once it returns, no call of `frames` follows. Not on the feed's thread.
  void stop();
  /// The playback streams to leave out, by PulseAudio index (PipeWire's
  /// object serial), on whichever sink they are.
  void leaveOut(std::set<uint32_t> serials);
  /// The stream is connected and linked; or it failed: the sink or
  /// PipeWire went.
  bool settled() const { return settled_.load(); }
  bool failed() const { return failed_.load(); }
  /// The sink's monitor is linked: the graph runs the stream. Only while a
  /// left-out player is linked to the sink, and a little after, for its
  /// last frames in the monitor.
  bool runs() const { return runs_.load(); }

 private:
  // PipeWire's callbacks and listeners, in the implementation.
  struct Callbacks;
  struct Hooks;
  friend struct Callbacks;

  bool connect();  // on the feed's thread, or with its lock
  void fail();
  void process();
  /// Cycles the graph ran without us (as a left-out player's links go):
  /// their frames are lost, their time is written as silence.
  void fillMissed(pw_stream* stream, size_t count);
  /// Links what must be linked, and unlinks what no longer must.
  void relink();
  static void lingered(void* self, uint64_t expirations);

  const std::string sink_;
  const uint32_t rate_;
  const Frames frames_;
  const Gain gainOf_;
  void* const owner_;

  pw_thread_loop* thread_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  pw_registry* registry_ = nullptr;
  pw_stream* stream_ = nullptr;
  // The stream, for the data thread: gone before the stream is.
  std::atomic<pw_stream*> cycling_{nullptr};
  Hooks* hooks_ = nullptr;

  uint32_t sinkNode_ = UINT32_MAX;
  std::set<uint32_t> sinks_;              // Audio/Sink nodes
  std::map<uint32_t, uint32_t> serials_;  // node by object serial
  std::map<uint32_t, GraphPort> ports_;
  std::map<uint32_t, GraphLink> links_;
  std::set<uint32_t> leftOut_;                               // serials
  std::map<std::pair<uint32_t, uint32_t>, pw_proxy*> ours_;  // by port pair

  CycleSubtraction subtraction_;
  std::vector<float> monitor_, excluded_, out_;
  float gain_ = 1.0f;    // the sink's, when a left-out player was last heard
  uint64_t nextAt_ = 0;  // where the next cycle starts, in our frames
  bool placed_ = false;  // nextAt_ is known
  spa_source* linger_ = nullptr;  // a timer: the monitor is let go after it
  bool lingering_ = false;
  std::atomic<bool> runs_{false};
  std::atomic<uint32_t> runsFrom_{0};  // times the monitor was linked
  uint32_t placedRun_ = 0;             // the time nextAt_ is of
  std::atomic<bool> settled_{false};
  std::atomic<bool> failed_{false};
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_NATIVE_FEED_H_
