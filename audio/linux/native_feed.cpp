// The capture's feed from PipeWire's own graph: our stream's front pair
// takes the sink's monitor ports, its rear pair the left-out players'
// output ports, linked by us while those players are linked to the sink.
#include "audio/linux/native_feed.h"

#include <pipewire/pipewire.h>
#include <signal.h>
#include <spa/param/audio/format-utils.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <mutex>

#include "audio/linux/graph_links.h"

namespace audio::pulse {
namespace {

constexpr uint32_t kChannels = 4;  // monitor left, right; left-out left, right
// The stream's cycle: PipeWire's default quantum, about parec's 20 ms
// fragments. Asking for less makes the whole graph run more often.
constexpr uint32_t kCycleFrames = 1024, kGraphRate = 48000;
// Longer than the lags the subtraction tries (4 cycles).
constexpr long kLingerMs = 250;

const char* lookup(const spa_dict* props, const char* key) {
  return props ? spa_dict_lookup(props, key) : nullptr;
}

uint32_t number(const spa_dict* props, const char* key) {
  const char* text = lookup(props, key);
  return text ? uint32_t(std::strtoul(text, nullptr, 10)) : SPA_ID_INVALID;
}

}  // namespace

struct NativeFeed::Hooks {
  spa_hook core{}, registry{}, stream{};
};

struct NativeFeed::Callbacks {
  // PipeWire went (its errors about one object, a link refused say, are
  // not the end of the feed).
  static void coreError(void* self, uint32_t id, int, int res, const char*) {
    if (id == PW_ID_CORE && (res == -EPIPE || res == -ECONNRESET))
      static_cast<NativeFeed*>(self)->fail();
  }

  static void global(void* self, uint32_t id, uint32_t, const char* type,
                     uint32_t, const spa_dict* props) {
    auto* feed = static_cast<NativeFeed*>(self);
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
      const uint32_t serial = number(props, PW_KEY_OBJECT_SERIAL);
      if (serial != SPA_ID_INVALID) feed->serials_[serial] = id;
      const char* name = lookup(props, PW_KEY_NODE_NAME);
      const char* mediaClass = lookup(props, PW_KEY_MEDIA_CLASS);
      if (mediaClass && std::strcmp(mediaClass, "Audio/Sink") == 0) {
        feed->sinks_.insert(id);
        if (name && feed->sink_ == name && feed->sinkNode_ == SPA_ID_INVALID)
          feed->sinkNode_ = id;
      }
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
      const char* direction = lookup(props, PW_KEY_PORT_DIRECTION);
      const char* channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
      feed->ports_[id] =
          GraphPort{number(props, PW_KEY_NODE_ID),
                    direction && std::strcmp(direction, "out") == 0,
                    channel ? channel : ""};
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
      feed->links_[id] = GraphLink{number(props, PW_KEY_LINK_OUTPUT_NODE),
                                   number(props, PW_KEY_LINK_INPUT_NODE)};
    } else {
      return;
    }
    feed->relink();
  }

  static void globalRemove(void* self, uint32_t id) {
    auto* feed = static_cast<NativeFeed*>(self);
    if (id == feed->sinkNode_) {
      feed->sinkNode_ = SPA_ID_INVALID;
      feed->fail();
      return;
    }
    std::erase_if(feed->serials_,
                  [id](const auto& entry) { return entry.second == id; });
    feed->sinks_.erase(id);
    if (feed->ports_.erase(id) + feed->links_.erase(id) > 0) feed->relink();
  }

  static void state(void* self, pw_stream_state, pw_stream_state state,
                    const char*) {
    auto* feed = static_cast<NativeFeed*>(self);
    if (state == PW_STREAM_STATE_ERROR) {
      feed->fail();
    } else if (state == PW_STREAM_STATE_PAUSED ||
               state == PW_STREAM_STATE_STREAMING) {
      feed->relink();
      feed->settled_.store(true);
    }
  }

  static void process(void* self) { static_cast<NativeFeed*>(self)->process(); }

  static const pw_core_events* coreEvents() {
    static const pw_core_events events = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.error = coreError;
      return e;
    }();
    return &events;
  }
  static const pw_registry_events* registryEvents() {
    static const pw_registry_events events = [] {
      pw_registry_events e{};
      e.version = PW_VERSION_REGISTRY_EVENTS;
      e.global = global;
      e.global_remove = globalRemove;
      return e;
    }();
    return &events;
  }
  static const pw_stream_events* streamEvents() {
    static const pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = state;
      e.process = process;
      return e;
    }();
    return &events;
  }
};

NativeFeed::NativeFeed(std::string sink, uint32_t rate, Frames frames,
                       Gain gain, void* owner)
    : sink_(std::move(sink)),
      rate_(rate),
      frames_(frames),
      gainOf_(gain),
      owner_(owner) {}

bool NativeFeed::start() {
  static std::once_flag initialized;
  std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
  // PipeWire's threads take the mask they are started with: stop signals
  // go to the thread that waits for them.
  sigset_t stops, old;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stops, &old);
  thread_ = pw_thread_loop_new("nimbrel-graph", nullptr);
  context_ = thread_
                 ? pw_context_new(pw_thread_loop_get_loop(thread_), nullptr, 0)
                 : nullptr;
  const bool started = context_ && pw_thread_loop_start(thread_) == 0;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) return false;
  pw_thread_loop_lock(thread_);
  const bool connected = connect();
  pw_thread_loop_unlock(thread_);
  return connected;
}

bool NativeFeed::connect() {
  core_ = pw_context_connect(context_, nullptr, 0);
  if (core_ == nullptr) return false;
  hooks_ = new Hooks;
  pw_core_add_listener(core_, &hooks_->core, Callbacks::coreEvents(), this);
  linger_ = pw_loop_add_timer(pw_thread_loop_get_loop(thread_), lingered, this);
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  pw_registry_add_listener(registry_, &hooks_->registry,
                           Callbacks::registryEvents(), this);

  const std::string latency =
      std::to_string(kCycleFrames) + "/" + std::to_string(kGraphRate);
  pw_properties* props = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
      PW_KEY_NODE_NAME, "nimbrel-tap", PW_KEY_NODE_AUTOCONNECT, "false",
      PW_KEY_NODE_LATENCY, latency.c_str(), nullptr);
  stream_ = pw_stream_new(core_, "nimbrel capture", props);
  if (stream_ == nullptr) return false;
  pw_stream_add_listener(stream_, &hooks_->stream, Callbacks::streamEvents(),
                         this);
  // Positions the channel mixer passes through as they are (it drops AUX
  // ones).
  spa_audio_info_raw info{};
  info.format = SPA_AUDIO_FORMAT_F32;
  info.rate = rate_;
  info.channels = kChannels;
  info.position[0] = SPA_AUDIO_CHANNEL_FL;
  info.position[1] = SPA_AUDIO_CHANNEL_FR;
  info.position[2] = SPA_AUDIO_CHANNEL_RL;
  info.position[3] = SPA_AUDIO_CHANNEL_RR;
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
  const spa_pod* params[] = {
      spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
  cycling_.store(stream_);
  // Each cycle on the data thread: a wake-up of the feed's thread fewer.
  return pw_stream_connect(stream_, PW_DIRECTION_INPUT, PW_ID_ANY,
                           pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS |
                                           PW_STREAM_FLAG_RT_PROCESS),
                           params, 1) >= 0;
}

void NativeFeed::stop() {
  if (thread_ == nullptr) return;
  pw_thread_loop_lock(thread_);
  for (auto& [ports, link] : ours_) pw_proxy_destroy(link);
  ours_.clear();
  if (linger_)
    pw_loop_destroy_source(pw_thread_loop_get_loop(thread_), linger_);
  linger_ = nullptr;
  cycling_.store(nullptr);
  if (stream_) pw_stream_destroy(stream_);
  stream_ = nullptr;
  if (registry_) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
  registry_ = nullptr;
  if (core_) pw_core_disconnect(core_);
  core_ = nullptr;
  pw_thread_loop_unlock(thread_);
  pw_thread_loop_stop(thread_);
  if (context_) pw_context_destroy(context_);
  context_ = nullptr;
  pw_thread_loop_destroy(thread_);
  thread_ = nullptr;
  delete hooks_;
  hooks_ = nullptr;
}

void NativeFeed::fail() { failed_.store(true); }

void NativeFeed::leaveOut(std::set<uint32_t> serials) {
  pw_thread_loop_lock(thread_);
  if (serials != leftOut_) {
    leftOut_ = std::move(serials);
    relink();
  }
  pw_thread_loop_unlock(thread_);
}

void NativeFeed::relink() {
  if (stream_ == nullptr || failed_.load() || sinkNode_ == SPA_ID_INVALID ||
      pw_stream_get_node_id(stream_) == SPA_ID_INVALID) {
    return;
  }
  GraphNodes nodes{sinkNode_, pw_stream_get_node_id(stream_), sinks_, {}};
  for (uint32_t serial : leftOut_) {
    const auto node = serials_.find(serial);
    if (node != serials_.end()) nodes.leftOut.insert(node->second);
  }
  auto wanted = wantedLinks(nodes, ports_, links_);
  // The monitor is linked, and the graph runs the stream, while a left-out
  // player is linked here, and a little after: its last frames reach the
  // monitor some cycles later. Else the clock stream is the output.
  const bool leftOut =
      std::any_of(wanted.begin(), wanted.end(), [&](const auto& link) {
        return ports_.at(link.first).node != sinkNode_;
      });
  pw_loop* loop = pw_thread_loop_get_loop(thread_);
  if (leftOut) {
    if (lingering_) {
      timespec never{};
      pw_loop_update_timer(loop, linger_, &never, nullptr, false);
      lingering_ = false;
    }
    if (!runs_.exchange(true)) runsFrom_.fetch_add(1);
  } else if (runs_.load() && !lingering_ && linger_) {
    timespec after{0, kLingerMs * 1'000'000};
    pw_loop_update_timer(loop, linger_, &after, nullptr, false);
    lingering_ = true;
  }
  if (!runs_.load()) wanted.clear();
  std::erase_if(ours_, [&](const auto& entry) {
    if (wanted.count(entry.first)) return false;
    pw_proxy_destroy(entry.second);
    return true;
  });
  for (const auto& ports : wanted) {
    if (ours_.count(ports)) continue;
    const std::string output = std::to_string(ports.first);
    const std::string input = std::to_string(ports.second);
    pw_properties* props = pw_properties_new(
        PW_KEY_LINK_OUTPUT_PORT, output.c_str(), PW_KEY_LINK_INPUT_PORT,
        input.c_str(), PW_KEY_OBJECT_LINGER, "false", PW_KEY_LINK_PASSIVE,
        ports_.at(ports.first).node == sinkNode_ ? "false" : "true", nullptr);
    auto* link = static_cast<pw_proxy*>(
        pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link,
                              PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
    if (link) ours_[ports] = link;
  }
}

void NativeFeed::lingered(void* self, uint64_t) {
  auto* feed = static_cast<NativeFeed*>(self);
  feed->lingering_ = false;
  feed->runs_.store(false);
  feed->relink();
}

void NativeFeed::process() {
  pw_stream* stream = cycling_.load();
  if (stream == nullptr) return;
  pw_buffer* buffer = pw_stream_dequeue_buffer(stream);
  if (buffer == nullptr) return;
  const spa_data& data = buffer->buffer->datas[0];
  if (data.data != nullptr && data.chunk != nullptr && !failed_.load()) {
    const uint32_t offset = std::min(data.chunk->offset, data.maxsize);
    const uint32_t size = std::min(data.chunk->size, data.maxsize - offset);
    const auto* in = SPA_PTROFF(data.data, offset, const float);
    const size_t count = size / (kChannels * sizeof(float));
    fillMissed(stream, count);
    monitor_.resize(count);
    excluded_.resize(count);
    out_.resize(count);
    bool heard = false;
    for (size_t i = 0; i < count; ++i) {
      monitor_[i] = (in[kChannels * i] + in[kChannels * i + 1]) * 0.5f;
      excluded_[i] = (in[kChannels * i + 2] + in[kChannels * i + 3]) * 0.5f;
      heard |= excluded_[i] != 0.0f;
    }
    // The sink's volume is asked for (under the snapshot's lock) only while
    // a left-out player is heard; its last frames go at the last volume.
    if (heard) gain_ = gainOf_(owner_);
    subtraction_.cycle(monitor_.data(), excluded_.data(), count, gain_,
                       out_.data());
    frames_(owner_, monitor_.data(), out_.data(), count);
  }
  pw_stream_queue_buffer(stream, buffer);
}

void NativeFeed::fillMissed(pw_stream* stream, size_t count) {
  pw_time time{};
  if (pw_stream_get_time_n(stream, &time, sizeof time) < 0 ||
      time.rate.denom == 0) {
    return;
  }
  const uint64_t at = time.ticks * time.rate.num * rate_ / time.rate.denom;
  const uint64_t expected = nextAt_;
  // Linked anew: the time since is the clock stream's, not ours.
  const uint32_t runs = runsFrom_.load();
  const bool placed = placed_ && runs == placedRun_;
  placedRun_ = runs;
  nextAt_ = at + count;
  placed_ = true;
  if (!placed || at <= expected) return;
  // Under half a cycle is rounding where the graph resamples; longer than
  // 125 ms is the stall's silence to write.
  const uint64_t missed = at - expected;
  if (missed < count / 2 || missed > rate_ / 8) return;
  subtraction_.skip(missed);
  static const float silence[1024] = {};
  for (uint64_t left = missed; left > 0;) {
    const size_t part = size_t(std::min<uint64_t>(left, std::size(silence)));
    frames_(owner_, silence, silence, part);
    left -= part;
  }
}

}  // namespace audio::pulse
