// The connection to the desktop's audio server (PulseAudio, or PipeWire's
// PulseAudio server) over libpulse's threaded main loop, and the snapshot of
// the server that property reads are answered from.
#ifndef NIMBREL_AUDIO_LINUX_SERVER_H_
#define NIMBREL_AUDIO_LINUX_SERVER_H_

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "audio/hardware.h"

namespace audio::pulse {

struct Sink {
  std::string name;  // the device UID
  std::string monitorSource;
  uint32_t monitorIndex = PA_INVALID_INDEX;
  uint32_t rate = 0;
  float gain = 1;  // its volume in amplitude, 0 when muted
};

struct Source {
  bool isMonitor = false;
  uint32_t rate = 0;
};

/// A playback stream (sink input) or a recording stream (source output).
struct Stream {
  uint32_t device = PA_INVALID_INDEX;  // its sink or source
  bool corked = false;
  int32_t pid = 0;  // 0 when neither the stream nor its client said
  uint32_t client = PA_INVALID_INDEX;
  std::optional<std::string> applicationName;
  std::optional<std::string> applicationID;
  bool desktop = false;  // has a desktop identity: an application ID or icon
};

/// What the server looked like after the last event it sent.
struct Snapshot {
  bool connected = false;
  bool pipewire = false;  // PipeWire's PulseAudio service, not PulseAudio
  std::optional<std::string> defaultSink;
  std::map<uint32_t, Sink> sinks;
  std::map<uint32_t, Source> sources;
  std::map<uint32_t, Stream> sinkInputs;
  std::map<uint32_t, Stream> sourceOutputs;
  std::map<uint32_t, int32_t> clientPIDs;  // by client, those that say
  /// Clients whose PID the server took from the socket's peer (PipeWire's
  /// native clients): it holds over whatever their streams claim.
  std::set<uint32_t> clientsByPeer;
};

/// What a listener may want to hear about.
enum class Change { DefaultSink, SinkRate, Liveness, Players };

/// Called on the server thread, without the snapshot's lock, after the
/// snapshot took the change in.
using ChangeObserver = void (*)(Change change, uint32_t sinkIndex);
void setChangeObserver(ChangeObserver observer);
/// The captures' own observer: told of a sink's new rate (SinkRate) and of a
/// playback stream that came, changed or went (Players, the sink input's
/// index), on the server thread with the main loop locked.
void setCaptureObserver(ChangeObserver observer);

/// Connects, or reconnects after a loss (at most once a second), and waits
/// for the first full snapshot. kNoError, or the server's error number.
/// Never call it on the server thread.
Status ensureConnected();

/// The threaded main loop; lock it around any libpulse call made elsewhere.
pa_threaded_mainloop* mainloop();
/// The current context; only with the main loop locked.
pa_context* context();

/// The snapshot under its lock, for `read` to look at.
std::mutex& snapshotMutex();
const Snapshot& snapshotData();
template <class Read>
auto withSnapshot(Read read) {
  std::lock_guard lock(snapshotMutex());
  return read(snapshotData());
}

/// Asks the server again for every playback stream, as if each had changed.
/// PipeWire's service sends no event for a stream that moves to another sink
/// while a monitor records it. On the server thread, with the main loop
/// locked.
void refreshPlayers();

/// Tells the listeners of liveness that a capture of `sinkIndex` lost its
/// stream, once the snapshot has the default sink the server chose
/// meanwhile (not that one). On the server thread, with the main loop
/// locked.
void reportLiveness(uint32_t sinkIndex);

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_SERVER_H_
