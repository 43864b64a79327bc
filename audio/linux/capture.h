// An I/O proc on the server: record streams from the sink's monitor, their
// frames handed to the I/O function as turns of its queue, straight from the
// server thread; silence in their place while the server gives none.
#ifndef NIMBREL_AUDIO_LINUX_CAPTURE_H_
#define NIMBREL_AUDIO_LINUX_CAPTURE_H_

#include <pulse/pulseaudio.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "audio/linux/canceller.h"
#include "audio/linux/exclusion_gate.h"
#include "audio/linux/feed_switch.h"
#include "audio/linux/native_feed.h"
#include "audio/linux/server.h"
#include "audio/linux/timeline_mix.h"

namespace audio::pulse {

/// What a capture records: the sink, at which rate, leaving out whom.
struct CaptureSpec {
  std::string sink;
  uint32_t rate = 0;
  std::set<int32_t> excludedPIDs;  // the tap's own PID not among them
};

class Capture {
 public:
  /// How the per-player monitors feed the mix on a server. Mixing runs
  /// at most `holdBackMs` behind the clock: the monitors' frames of one sink
  /// cycle reach us in separate packets, not always before the clock's.
  struct Feeding {
    bool connectionEach;  // else the monitors share the tap's connection
    uint32_t packetMs;    // of the kept players' monitors
    uint32_t holdBackMs;
    uint32_t gateMarginMs;  // how far a monitor's frames may be misplaced
  };

  Capture(CaptureSpec spec, DispatchQueue* queue, IOFunction function,
          void* context);

  /// Connects the streams and waits until the clock stream records.
  /// kNoError, the server's error number, or kIllegalOperation when stop()
  /// came first or meanwhile. Not on the server thread.
  Status start();
  /// Disconnects the streams; once it returns, the I/O function is not
  /// called again. Not on the server thread.
  void stop();
  /// False once the clock stream has failed (the server or the sink gone).
  bool alive() const { return !failed_.load(); }

 private:
  // One player's monitor, on the shared connection or on its own.
  struct Monitor {
    Capture* capture;
    uint32_t sinkInput;
    bool excluded;  // a left-out player's, for the gate
    // Its first frames were loud: the player was heard before its monitor
    // started, where the mix has nothing of it.
    bool startedLate = false;
    pa_context* context = nullptr;
    pa_stream* stream = nullptr;
  };

  // Server thread, with the main loop locked.
  pa_stream* record(pa_context* context, uint32_t sinkInput, uint32_t packetMs,
                    pa_stream_notify_cb_t state,
                    pa_stream_request_cb_t readable, void* userdata);
  static void clockReadable(pa_stream* stream, size_t bytes, void* self);
  /// Feeds the capture from PipeWire's own graph, where it answers.
  bool startNative();
  /// PipeWire's graph gave a cycle.
  static void nativeFrames(void* self, const float* monitor, const float* out,
                           size_t count);
  /// The left-out players' streams, by index.
  std::set<uint32_t> excludedStreams() const;
  void clockFailed();
  static void clockState(pa_stream* stream, void* self);
  /// The clock moved on by `count` frames: to the I/O function, as they are
  /// or as the mix due by then.
  void clockFrames(const float* frames, size_t count);
  /// Both mixes moved on by the clock's `count` frames: as far as their
  /// monitors' frames are in, within the hold-back; the kept players' into
  /// `mixed_`, a gate margin behind the left-out players'.
  void mixFrames(size_t count, float gain);
  /// Where the frames of every playing monitor of one kind are in.
  int64_t readyUntil(bool excluded) const;
  /// The left-out players' frames due by now, at the sink's volume, to the
  /// gate and the canceller.
  void gateFrames(size_t count, float gain);
  /// Lets a player's monitor go from the mixes. A left-out player's last
  /// frames, lost with its monitor, stay unknown until the clock is past them.
  void endSource(uint32_t sinkInput);
  /// The sink's volume in amplitude, 0 when muted.
  float sinkGain() const;
  /// The mix from `from` on, and the clock's frames where the gate lets
  /// them through.
  void deliverMix(int64_t from);
  /// Where the output comes from while some process is left out: the sink's
  /// monitor while none of its players is on the sink, else the mix; both
  /// held while the kept players' monitors are being placed.
  enum class Output { Monitor, Holding, Mix };
  /// A player came, changed or went: the output's source follows.
  void playersChanged();
  /// The held frames, picked by the gate between the clock's and the mix's.
  void switchToMix();
  /// The clock's frames from where the mix is, and no more monitors.
  void switchToMonitor();
  /// Ends every per-player monitor and forgets what the mix followed.
  void dropMonitors();
  /// The server's frames are current: the stall timer starts again.
  void paced();
  static void stalled(pa_mainloop_api* api, pa_time_event* event,
                      const struct timeval* when, void* self);
  static void serverChanged(Change change, uint32_t index);
  /// Asks the server where the players are, for those it does not tell of.
  static void pollPlayers(pa_mainloop_api* api, pa_time_event* event,
                          const struct timeval* when, void* self);
  /// The rate to ask the monitor for, so that its frames come at the
  /// announced rate.
  uint32_t recordRate() const;
  /// New record streams, for a source whose rate changed under the old.
  void restartStreams();
  static void monitorConnected(pa_context* context, void* monitor);
  static void monitorReadable(pa_stream* stream, size_t bytes, void* monitor);
  static void monitorState(pa_stream* stream, void* monitor);
  void follow(uint32_t sinkInput, bool excluded);
  uint32_t packetMs(const Monitor& monitor) const;
  /// Keeps `count` connections to the server made in advance.
  void keepSpares(size_t count);
  static void forget(Monitor* monitor);
  /// Follows new players and forgets ended ones.
  void followSinkInputs();
  /// Frames to the I/O function, in cycles of at least `kCycleMs`.
  void deliver(const float* frames, size_t count);
  /// What is pending, as a cycle.
  void flush();
  /// One cycle to the I/O function, as a turn of its queue.
  void handOver(const float* frames, size_t count);

  const CaptureSpec spec_;
  DispatchQueue* const queue_;
  const IOFunction function_;
  void* const context_;
  const bool mixing_;    // per-stream monitors, or the sink's own mix
  const bool pipewire_;  // PipeWire's PulseAudio service
  const Feeding feeding_;
  // On PipeWire a capture that leaves players out is fed by its graph.
  NativeFeed* native_ = nullptr;
  FeedSwitch* switch_ = nullptr;  // between it and the clock; under pacing_
  bool clockIdle_ = false;        // its packets are long: the graph's go out

  // Server thread only (and start/stop, with the main loop locked).
  std::string monitorSource_;
  uint32_t recordRate_ = 0;  // what the record streams ask for
  uint32_t sinkIndex_ = PA_INVALID_INDEX;
  pa_stream* clock_ = nullptr;
  std::map<uint32_t, Monitor*> monitors_;  // by sink input
  std::vector<pa_context*> spares_;        // connections made in advance
  std::set<uint32_t> followed_;            // sink inputs monitored now
  std::vector<uint32_t> ended_;            // monitors the server ended
  TimelineMix mix_;                        // the kept players'
  std::vector<float> mixed_;
  // The left-out players', a gate margin ahead of the kept players' mix.
  TimelineMix excludedMix_;
  std::vector<float> excludedFrames_;
  ExclusionGate gate_;
  Canceller canceller_;
  // Where the left-out players' monitors were placed when it locked.
  std::vector<std::pair<uint32_t, int64_t>> excludedPlaced_, placedNow_;
  // Ended left-out players: unknown from where their frames stopped until
  // the clock's frames of their last moment are surely in.
  std::vector<std::pair<int64_t, int64_t>> excludedTails_;
  std::vector<float> cancelled_;
  std::vector<float> picked_;
  std::vector<float> silence_;  // a packet of it
  Output output_ = Output::Monitor;
  int64_t heldFrom_ = 0;  // timeline position of clockHeld_[0]
  // The clock's frames not output (Holding), or those the mix has not yet
  // reached (Mix): what a switch outputs in its place.
  std::vector<float> clockHeld_;
  std::vector<float> mixHeld_;  // the mix's from heldFrom_ on (Holding)
  std::set<uint32_t> awaited_;  // kept players not yet placed in the mix
  int64_t leaveAt_ = -1;  // no excluded player since this position, if any
  pa_time_event* stallTimer_ = nullptr;
  // The output is written up to this time; frames last came at
  // `framesAt_`; frames not yet handed over. All under `pacing_` with
  // PipeWire's graph: its thread delivers, the server thread writes silence.
  std::mutex pacing_;
  pa_usec_t pacedUntil_ = 0;
  pa_usec_t framesAt_ = 0;
  std::vector<float> pending_;
  pa_time_event* pollTimer_ = nullptr;  // PipeWire, some process left out
  bool stopping_ = false;

  std::atomic<bool> failed_{false};
};

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_CAPTURE_H_
