// The connection to the audio server and the snapshot of it, kept current by
// the server's own change events.
#include "audio/linux/server.h"

#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "audio/posix/signals.h"

namespace audio::pulse {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetryInterval = std::chrono::seconds(1);
// A server that accepts the connection but never answers (frozen, stopped,
// or a socket-activated service that hangs) is given up on after this: a
// connection and its first snapshot take milliseconds when the server runs.
constexpr pa_usec_t kAttemptDeadline = 3 * PA_USEC_PER_SEC;

// Everything here but the snapshot is guarded by the main loop's lock.
struct Connection {
  // Set once, before any thread but the first can see it.
  pa_threaded_mainloop* const loop = mainloop();
  pa_context* context = nullptr;
  pa_context* retired = nullptr;  // the last one dropped
  int pendingLists = 0;           // initial list requests still answering
  bool attempting = false;        // connecting, or taking the first snapshot
  pa_time_event* attemptDeadline = nullptr;
  bool ready = false;  // connected, with a full snapshot
  bool everReady = false;
  bool attempted = false;
  bool lastTimedOut = false;  // the last attempt met a server that is stuck
  Clock::time_point lastAttempt;
  Status lastError = PA_ERR_CONNECTIONREFUSED;
};

// Never destroyed: the server thread may run until the process is gone.
Connection& connection() {
  static Connection* const c = new Connection;
  return *c;
}
std::mutex& mutexStorage = *new std::mutex;
Snapshot& snapshotStorage = *new Snapshot;
std::atomic<ChangeObserver> changeObserver{nullptr};
std::atomic<ChangeObserver> captureObserver{nullptr};

void notifyCaptures(Change change, uint32_t index) {
  if (ChangeObserver observer = captureObserver.load()) observer(change, index);
}

void notify(Change change, uint32_t sinkIndex) {
  if (ChangeObserver observer = changeObserver.load())
    observer(change, sinkIndex);
}

// The proplist's value for `key`, if any.
std::optional<std::string> property(const pa_proplist* list, const char* key) {
  const char* value = list ? pa_proplist_gets(list, key) : nullptr;
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

// The PID under `key`; 0 when there is none.
int32_t pidOf(const pa_proplist* list,
              const char* key = PA_PROP_APPLICATION_PROCESS_ID) {
  const auto pid = property(list, key);
  if (!pid) return 0;
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(pid->c_str(), &end, 10);
  return errno == 0 && end != pid->c_str() && *end == '\0' && value > 0 &&
                 value <= INT32_MAX
             ? int32_t(value)
             : 0;
}

// With the snapshot locked. A stream that names no process is its client's:
// native clients of some servers name it on the client object only.
Stream streamOf(uint32_t device, int corked, const pa_proplist* list,
                uint32_t client) {
  Stream stream;
  stream.device = device;
  stream.corked = corked != 0;
  stream.client = client;
  stream.pid = pidOf(list);
  if (const auto entry = snapshotStorage.clientPIDs.find(client);
      entry != snapshotStorage.clientPIDs.end() &&
      (stream.pid == 0 || snapshotStorage.clientsByPeer.count(client) != 0)) {
    stream.pid = entry->second;
  }
  stream.applicationName = property(list, PA_PROP_APPLICATION_NAME);
  stream.applicationID = property(list, PA_PROP_APPLICATION_ID);
  // Every libpulse client names itself; desktop applications also say who
  // they are to the desktop (their .desktop ID or icon), command-line ones not.
  stream.desktop = stream.applicationID.has_value() ||
                   property(list, PA_PROP_APPLICATION_ICON_NAME).has_value();
  return stream;
}

void attemptSucceeded(Connection& c);

// Initial list requests carry a non-null user pointer; event-driven ones
// a null one. The last answer completes the connection attempt.
void listAnswered(void* initial) {
  if (initial == nullptr) return;
  Connection& c = connection();
  if (--c.pendingLists == 0 && c.attempting) attemptSucceeded(c);
  pa_threaded_mainloop_signal(c.loop, 0);
}

// True when the default sink changed.
bool takeServerInfo(const pa_server_info* info) {
  std::optional<std::string> sink;
  if (info && info->default_sink_name) sink = info->default_sink_name;
  std::lock_guard lock(mutexStorage);
  // "PulseAudio (on PipeWire 0.3.65)"
  snapshotStorage.pipewire =
      info && info->server_name && std::strstr(info->server_name, "PipeWire");
  const bool changed = snapshotStorage.defaultSink != sink;
  snapshotStorage.defaultSink = sink;
  return changed;
}

// A sink or a capture stream went. PulseAudio picks a new default sink in
// the same step, PipeWire's session manager a moment later; the listeners
// hear of the loss once our snapshot names a default that exists, so that
// the announcement names it, or after kDefaultPatience when none comes. The
// loss comes first, the new default after it.
constexpr pa_usec_t kDefaultPatience = 1500 * PA_USEC_PER_MSEC;
pa_time_event* livenessPending = nullptr;  // server thread only
// The sink whose capture lost its stream: its removal may reach us after
// the loss, so until then it does not count as a default that exists.
uint32_t lostSink = PA_INVALID_INDEX;  // server thread only

bool defaultSinkExists() {
  std::lock_guard lock(mutexStorage);
  const Snapshot& s = snapshotStorage;
  for (const auto& [index, sink] : s.sinks) {
    if (index != lostSink && s.defaultSink && sink.name == *s.defaultSink)
      return true;
  }
  return false;
}

void livenessNow() {
  lostSink = PA_INVALID_INDEX;
  if (livenessPending) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection().loop);
    api->time_free(livenessPending);
    livenessPending = nullptr;
  }
  notify(Change::Liveness, PA_INVALID_INDEX);
}

// With a loss pending, once a default that exists is known: the loss, then
// the new default. True when no loss was pending.
bool settleLiveness() {
  if (livenessPending == nullptr) return true;
  if (defaultSinkExists()) {
    livenessNow();
    notify(Change::DefaultSink, PA_INVALID_INDEX);
  }
  return false;
}

void serverInfoThenLiveness(pa_context*, const pa_server_info* info, void*) {
  const bool changed = takeServerInfo(info);
  if (livenessPending == nullptr && !defaultSinkExists()) {
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(connection().loop);
    timeval when;
    pa_timeval_add(pa_gettimeofday(&when), kDefaultPatience);
    livenessPending = api->time_new(
        api, &when,
        [](pa_mainloop_api*, pa_time_event*, const timeval*, void*) {
          livenessNow();
        },
        nullptr);
    if (livenessPending) return;
  }
  if (livenessPending) return;  // already waiting for the default
  livenessNow();
  if (changed) notify(Change::DefaultSink, PA_INVALID_INDEX);
}

void serverInfo(pa_context*, const pa_server_info* info, void* initial) {
  const bool changed = takeServerInfo(info);
  listAnswered(initial);
  if (settleLiveness() && changed && initial == nullptr)
    notify(Change::DefaultSink, PA_INVALID_INDEX);
}

void reportLivenessAfterServerInfo() {
  pa_context* context = connection().context;
  pa_operation* operation =
      context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context))
          ? pa_context_get_server_info(context, serverInfoThenLiveness, nullptr)
          : nullptr;
  if (operation) {
    pa_operation_unref(operation);
  } else {
    livenessNow();
  }
}

// An info or list callback: a list's end is counted, each entry taken.
template <typename Info, void (*take)(const Info&)>
void onInfo(pa_context*, const Info* info, int eol, void* initial) {
  if (eol != 0) {
    listAnswered(initial);
    return;
  }
  take(*info);
}

void takeSink(const pa_sink_info& info) {
  bool rateChanged = false;
  {
    std::lock_guard lock(mutexStorage);
    auto [entry, added] = snapshotStorage.sinks.try_emplace(info.index);
    rateChanged = !added && entry->second.rate != info.sample_spec.rate;
    // Averaged over the channels, as the mono capture averages them.
    double gain = 0;
    for (uint8_t c = 0; c < info.volume.channels; ++c)
      gain += pa_sw_volume_to_linear(info.volume.values[c]);
    if (info.volume.channels > 0) gain /= info.volume.channels;
    entry->second = {info.name ? info.name : "",
                     info.monitor_source_name ? info.monitor_source_name : "",
                     info.monitor_source, info.sample_spec.rate,
                     info.mute ? 0.0f : float(gain)};
  }
  if (rateChanged) {
    notifyCaptures(Change::SinkRate, info.index);
    notify(Change::SinkRate, info.index);
  }
  settleLiveness();  // the new default may come before its sink
}

void takeSource(const pa_source_info& info) {
  bool rateChanged = false;
  {
    std::lock_guard lock(mutexStorage);
    auto [entry, added] = snapshotStorage.sources.try_emplace(info.index);
    rateChanged = !added && entry->second.rate != info.sample_spec.rate;
    entry->second = {info.monitor_of_sink != PA_INVALID_INDEX,
                     info.sample_spec.rate};
  }
  // A capture records the sink through its monitor.
  if (rateChanged && info.monitor_of_sink != PA_INVALID_INDEX)
    notifyCaptures(Change::SinkRate, info.monitor_of_sink);
}

void takeSinkInput(const pa_sink_input_info& info) {
  bool changed = false;
  {
    std::lock_guard lock(mutexStorage);
    Stream stream =
        streamOf(info.sink, info.corked, info.proplist, info.client);
    auto [entry, added] = snapshotStorage.sinkInputs.try_emplace(info.index);
    // What a capture follows: where it plays, whether it plays, whose it is.
    changed = added || entry->second.device != stream.device ||
              entry->second.corked != stream.corked ||
              entry->second.pid != stream.pid;
    entry->second = std::move(stream);
  }
  if (changed) notifyCaptures(Change::Players, info.index);
}

void takeSourceOutput(const pa_source_output_info& info) {
  std::lock_guard lock(mutexStorage);
  snapshotStorage.sourceOutputs[info.index] =
      streamOf(info.source, info.corked, info.proplist, info.client);
}

// PipeWire names the PID of each client's socket peer, which the kernel
// vouches for and gives as this namespace sees it (a sandboxed app's
// own PID is not). For clients of its PulseAudio service that peer is the
// service itself: its PID is our own client's.
constexpr const char* kPeerPID = "pipewire.sec.pid";
std::atomic<int32_t> servicePID{0};

void takeOwnClient(pa_context*, const pa_client_info* info, int eol,
                   void* initial) {
  if (eol == 0 && info != nullptr) {
    servicePID.store(pidOf(info->proplist, kPeerPID));
    return;
  }
  if (eol != 0) listAnswered(initial);
}

void takeClient(const pa_client_info& info) {
  const int32_t peer = pidOf(info.proplist, kPeerPID);
  const bool byPeer = peer != 0 && peer != servicePID.load();
  const int32_t pid = byPeer ? peer : pidOf(info.proplist);
  if (pid == 0) return;
  bool playerChanged = false;
  {
    std::lock_guard lock(mutexStorage);
    snapshotStorage.clientPIDs[info.index] = pid;
    if (byPeer) snapshotStorage.clientsByPeer.insert(info.index);
    // Its streams' answers may have come first.
    for (auto* streams :
         {&snapshotStorage.sinkInputs, &snapshotStorage.sourceOutputs}) {
      for (auto& [index, stream] : *streams) {
        if (stream.client == info.index && (stream.pid == 0 || byPeer) &&
            stream.pid != pid) {
          stream.pid = pid;
          playerChanged |= streams == &snapshotStorage.sinkInputs;
        }
      }
    }
  }
  if (playerChanged) notifyCaptures(Change::Players, PA_INVALID_INDEX);
}

constexpr auto sinkInfo = onInfo<pa_sink_info, takeSink>;
constexpr auto sourceInfo = onInfo<pa_source_info, takeSource>;
constexpr auto sinkInputInfo = onInfo<pa_sink_input_info, takeSinkInput>;
constexpr auto sourceOutputInfo =
    onInfo<pa_source_output_info, takeSourceOutput>;
constexpr auto clientInfo = onInfo<pa_client_info, takeClient>;

void forget(pa_subscription_event_type_t facility, uint32_t index) {
  {
    std::lock_guard lock(mutexStorage);
    switch (facility) {
      case PA_SUBSCRIPTION_EVENT_SINK:
        snapshotStorage.sinks.erase(index);
        break;
      case PA_SUBSCRIPTION_EVENT_SOURCE:
        snapshotStorage.sources.erase(index);
        break;
      case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        snapshotStorage.sinkInputs.erase(index);
        break;
      case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
        snapshotStorage.sourceOutputs.erase(index);
        break;
      case PA_SUBSCRIPTION_EVENT_CLIENT:
        snapshotStorage.clientPIDs.erase(index);
        snapshotStorage.clientsByPeer.erase(index);
        break;
      default:
        return;
    }
  }
  if (facility == PA_SUBSCRIPTION_EVENT_SINK) reportLivenessAfterServerInfo();
  if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT)
    notifyCaptures(Change::Players, index);
}

void subscribed(pa_context* context, pa_subscription_event_type_t event,
                uint32_t index, void*) {
  const auto facility =
      pa_subscription_event_type_t(event & PA_SUBSCRIPTION_EVENT_FACILITY_MASK);
  if ((event & PA_SUBSCRIPTION_EVENT_TYPE_MASK) ==
      PA_SUBSCRIPTION_EVENT_REMOVE) {
    forget(facility, index);
    return;
  }
  pa_operation* operation = nullptr;
  switch (facility) {
    case PA_SUBSCRIPTION_EVENT_SINK:
      operation =
          pa_context_get_sink_info_by_index(context, index, sinkInfo, nullptr);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE:
      operation = pa_context_get_source_info_by_index(context, index,
                                                      sourceInfo, nullptr);
      break;
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
      operation = pa_context_get_sink_input_info(context, index, sinkInputInfo,
                                                 nullptr);
      break;
    case PA_SUBSCRIPTION_EVENT_SOURCE_OUTPUT:
      operation = pa_context_get_source_output_info(context, index,
                                                    sourceOutputInfo, nullptr);
      break;
    case PA_SUBSCRIPTION_EVENT_SERVER:
      operation = pa_context_get_server_info(context, serverInfo, nullptr);
      break;
    case PA_SUBSCRIPTION_EVENT_CLIENT:
      operation =
          pa_context_get_client_info(context, index, clientInfo, nullptr);
      break;
    default:
      break;
  }
  if (operation) pa_operation_unref(operation);
}

// Cuts a context off: none of its callbacks runs again. With the loop
// locked; its streams were unlinked from it when it failed. It may be the
// one whose callback is running, so it is let go of only at the next drop.
void dropContext(Connection& c) {
  if (c.retired) pa_context_unref(c.retired);
  c.retired = c.context;
  c.context = nullptr;
  if (c.retired == nullptr) return;
  pa_context_set_state_callback(c.retired, nullptr, nullptr);
  pa_context_set_subscribe_callback(c.retired, nullptr, nullptr);
  pa_context_disconnect(c.retired);
}

void endAttempt(Connection& c) {
  c.attempting = false;
  if (c.attemptDeadline) {
    pa_threaded_mainloop_get_api(c.loop)->time_free(c.attemptDeadline);
    c.attemptDeadline = nullptr;
  }
  pa_threaded_mainloop_signal(c.loop, 0);
}

void attemptSucceeded(Connection& c) {
  endAttempt(c);
  {
    std::lock_guard lock(mutexStorage);
    snapshotStorage.connected = true;
  }
  c.ready = true;
  c.lastTimedOut = false;
  c.lastError = kNoError;
  if (c.everReady) {
    // Whatever the listeners watch may differ on the new connection.
    notify(Change::DefaultSink, PA_INVALID_INDEX);
    notify(Change::Liveness, PA_INVALID_INDEX);
  }
  c.everReady = true;
}

void attemptFailed(Connection& c, Status error) {
  endAttempt(c);
  c.lastError = error;
  c.lastTimedOut = error == PA_ERR_TIMEOUT;
  // A context given up on may still answer later: nothing of it may reach
  // the snapshot.
  dropContext(c);
  std::lock_guard lock(mutexStorage);
  snapshotStorage = Snapshot{};
}

// Subscribes, then asks for everything once; the answers complete the
// attempt. With the loop locked.
bool requestSnapshot(Connection& c) {
  pa_context_set_subscribe_callback(c.context, subscribed, nullptr);
  const auto mask = pa_subscription_mask_t(
      PA_SUBSCRIPTION_MASK_SINK | PA_SUBSCRIPTION_MASK_SOURCE |
      PA_SUBSCRIPTION_MASK_SINK_INPUT | PA_SUBSCRIPTION_MASK_SOURCE_OUTPUT |
      PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_CLIENT);
  void* initial = &c;
  pa_operation* operations[] = {
      pa_context_subscribe(c.context, mask, nullptr, nullptr),
      pa_context_get_server_info(c.context, serverInfo, initial),
      pa_context_get_sink_info_list(c.context, sinkInfo, initial),
      pa_context_get_source_info_list(c.context, sourceInfo, initial),
      // Before the others, which are told apart from it.
      pa_context_get_client_info(c.context, pa_context_get_index(c.context),
                                 takeOwnClient, initial),
      // Before the streams, which may name their process only through it.
      pa_context_get_client_info_list(c.context, clientInfo, initial),
      pa_context_get_sink_input_info_list(c.context, sinkInputInfo, initial),
      pa_context_get_source_output_info_list(c.context, sourceOutputInfo,
                                             initial),
  };
  c.pendingLists = 0;
  bool issued = true;
  for (size_t i = 0; i < std::size(operations); ++i) {
    if (operations[i] == nullptr) {
      issued = false;
      continue;
    }
    if (i > 0) ++c.pendingLists;
    pa_operation_unref(operations[i]);
  }
  return issued;
}

void contextState(pa_context* context, void*) {
  Connection& c = connection();
  if (context != c.context) return;  // one given up on
  const pa_context_state_t state = pa_context_get_state(context);
  if (c.attempting) {
    if (state == PA_CONTEXT_READY && !requestSnapshot(c)) {
      attemptFailed(c, pa_context_errno(context));
    } else if (!PA_CONTEXT_IS_GOOD(state)) {
      const int error = pa_context_errno(context);
      attemptFailed(c, error != 0 ? error : PA_ERR_CONNECTIONTERMINATED);
    }
  } else if (!PA_CONTEXT_IS_GOOD(state) && c.ready) {
    c.ready = false;
    {
      std::lock_guard lock(mutexStorage);
      snapshotStorage = Snapshot{};
    }
    livenessNow();
  }
  pa_threaded_mainloop_signal(c.loop, 0);
}

// Starts connecting, with a deadline; the state and list callbacks carry
// the attempt on. With the loop locked.
void startAttempt(Connection& c) {
  dropContext(c);
  c.context = pa_context_new(pa_threaded_mainloop_get_api(c.loop),
                             program_invocation_short_name);
  if (c.context == nullptr) {
    c.lastError = PA_ERR_INTERNAL;
    return;
  }
  pa_context_set_state_callback(c.context, contextState, nullptr);
  c.attempting = true;
  // Never start a server of our own: a missing server is reported as such.
  const int connected =
      pa_context_connect(c.context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr);
  if (!c.attempting) return;  // failed within the call
  if (connected < 0) {
    attemptFailed(c, pa_context_errno(c.context));
    return;
  }
  pa_mainloop_api* api = pa_threaded_mainloop_get_api(c.loop);
  timeval when;
  pa_timeval_add(pa_gettimeofday(&when), kAttemptDeadline);
  c.attemptDeadline = api->time_new(
      api, &when,
      [](pa_mainloop_api*, pa_time_event*, const timeval*, void*) {
        Connection& c = connection();
        if (c.attempting) attemptFailed(c, PA_ERR_TIMEOUT);
      },
      nullptr);
}

}  // namespace

std::mutex& snapshotMutex() { return mutexStorage; }
const Snapshot& snapshotData() { return snapshotStorage; }

void setChangeObserver(ChangeObserver observer) {
  changeObserver.store(observer);
}

void setCaptureObserver(ChangeObserver observer) {
  captureObserver.store(observer);
}

pa_threaded_mainloop* mainloop() {
  static pa_threaded_mainloop* const loop = [] {
    pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
    // Left with libpulse's name for it ("threaded-ml"): naming it after the
    // start names the caller instead, and before the start ThreadSanitizer
    // loses sight of the loop's own lock.
    posix::SignalsKeptFromNewThreads quiet;
    if (loop == nullptr || pa_threaded_mainloop_start(loop) < 0) std::abort();
    return loop;
  }();
  return loop;
}

pa_context* context() { return connection().context; }

Status ensureConnected() {
  Connection& c = connection();
  pa_threaded_mainloop_lock(c.loop);
  if (!c.ready && !c.attempting) {
    const Clock::time_point now = Clock::now();
    if (!c.attempted || now - c.lastAttempt >= kRetryInterval) {
      c.attempted = true;
      c.lastAttempt = now;
      startAttempt(c);
    }
  }
  // An attempt is waited for until it ends (its deadline bounds it). Once a
  // server has let one time out, the next run in the background: a caller
  // with a clock to keep (the probe's ticks) is not held up again.
  while (c.attempting && !c.lastTimedOut) pa_threaded_mainloop_wait(c.loop);
  const Status status = c.ready        ? kNoError
                        : c.attempting ? PA_ERR_TIMEOUT
                                       : c.lastError;
  pa_threaded_mainloop_unlock(c.loop);
  return status;
}

void reportLiveness(uint32_t sinkIndex) {
  lostSink = sinkIndex;
  reportLivenessAfterServerInfo();
}

void refreshPlayers() {
  pa_context* context = connection().context;
  if (context == nullptr || pa_context_get_state(context) != PA_CONTEXT_READY)
    return;
  if (pa_operation* operation =
          pa_context_get_sink_input_info_list(context, sinkInputInfo, nullptr))
    pa_operation_unref(operation);
}

}  // namespace audio::pulse
