// The capture's record streams. No process to leave out: one stream from the
// sink's monitor, the server's own mix, sample for sample. Some to leave out:
// that stream only as the clock, and one monitor per playback stream of the
// others (pa_stream_set_monitor_stream), summed on it at the sink's volume.
#include "audio/linux/capture.h"

#include <errno.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <mutex>
#include <thread>

#include "audio/linux/server.h"
#include "audio/posix/queues.h"

namespace audio::pulse {
namespace {

// The sink's monitor alone comes in packets of 20 ms.
constexpr uint32_t kPacketMs = 20;
// The I/O function gets cycles of at least 40 ms: each wakes the writer
// thread, which was a fifth of the tap's CPU time beside parec at 20 ms, and
// a recording is none the worse for 20 ms more latency. Not so the mix on
// PulseAudio, which runs behind the clock already: its frames go out as
// they are mixed.
constexpr uint32_t kCycleMs = 40;
// The packets of PipeWire's clock stream while the graph's stream is the
// output.
constexpr uint32_t kIdleClockMs = 100;

// How the mix is fed on each server, measured with 16 players (see
// docs/linux.md). PulseAudio keeps every monitor of one connection in step,
// and each connection more cost CPU time (4.1-4.9x parec's against 2.3x).
constexpr Capture::Feeding kPulseAudioFeeding{false, kPacketMs, 3 * kPacketMs,
                                              kPacketMs};
// PipeWire's service lets monitors that share a connection fall behind, by
// up to seconds; and there each packet costs wake-ups enough that 20 ms ones
// took 4.8x parec's CPU time against 2.7x for 60 ms ones. The left-out
// players' 20 ms packets land within 40 ms of where the sink rendered them
// (20 ms let their beeps through).
constexpr Capture::Feeding kPipeWireFeeding{true, 60, 160, 40};

// A server that sends no frames for this long (a suspended sink, a stream
// being set up again) gets silence in their place, written in real time; a
// packet late by less is only late.
constexpr pa_usec_t kStallUs = 200 * PA_USEC_PER_MSEC;

// A monitor's frames never run ahead of the clock by more than a packet or
// two; beyond this the clock has stopped, and a monitor holds no more.
constexpr uint32_t kMaxAheadMs = 1000;

// How often PipeWire's service is asked where the players are: while the
// mix is the output (a player that left must leave it soon), and otherwise.
constexpr pa_usec_t kPollMixingUs = 100 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kPollIdleUs = 1000 * PA_USEC_PER_MSEC;

// Connections kept ready on PipeWire while the mix is the output, one for
// each new player's monitor.
constexpr size_t kSpareConnections = 2;

// How far either way the canceller looks for the left-out players' lag: on
// PipeWire it was 100 ms and more for the first seconds of a monitor.
constexpr uint32_t kLagSearchMs = 150;
// How much of the clock and of the left-out players' sum the canceller
// keeps beyond the hold-back: enough to search that far.
constexpr uint32_t kCancelHistoryMs = 250;

// How long PipeWire's own graph is waited for before the capture makes do
// with a monitor per player (its PulseAudio service alone, say).
constexpr pa_usec_t kNativeWaitUs = 1000 * PA_USEC_PER_MSEC;

// The longest a switch to the mix waits for the kept players' monitors.
constexpr uint32_t kSwitchWaitMs = 500;
// After the last excluded player went, how long the mix stays the output:
// its last frames may still be in the clock's next packets.
constexpr uint32_t kLeaveMarginMs = 100;

uint32_t framesIn(uint32_t rate, uint32_t ms) { return rate * ms / 1000; }

// Calls `take` with each run of the `readable` bytes the stream holds;
// holes become silence, so positions on the timeline stay what they were.
// Each libpulse call asks the kernel for our PID (its fork check), so the
// loop makes as few as it can: it stops once it has taken what the read
// callback said was there, without a last peek that finds nothing.
template <class Take>
void drain(pa_stream* stream, size_t readable, Take take) {
  static const float silence[1024] = {};
  for (size_t taken = 0; taken < readable;) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) return;
    for (size_t left = bytes / sizeof(float); data == nullptr && left > 0;) {
      const size_t count = std::min(left, std::size(silence));
      take(silence, count);
      left -= count;
    }
    if (data != nullptr)
      take(static_cast<const float*>(data), bytes / sizeof(float));
    pa_stream_drop(stream);
    taken += bytes;
  }
}

void forgetStream(pa_stream* stream) {
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

// The started captures; with the main loop locked.
std::set<Capture*>& started() {
  static auto* const captures = new std::set<Capture*>;
  return *captures;
}

pa_mainloop_api* api() { return pa_threaded_mainloop_get_api(mainloop()); }

// Time events on the monotonic clock.
void restartTimer(pa_time_event* timer, pa_usec_t at) {
  if (timer && context()) pa_context_rttime_restart(context(), timer, at);
}

// A connection to the server, connecting or ready; nullptr if none could
// be made.
pa_context* newConnection() {
  pa_context* connection = pa_context_new(
      pa_threaded_mainloop_get_api(mainloop()), program_invocation_short_name);
  if (connection && pa_context_connect(connection, nullptr,
                                       PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    pa_context_unref(connection);
    return nullptr;
  }
  return connection;
}

void dropConnection(pa_context* connection) {
  pa_context_set_state_callback(connection, nullptr, nullptr);
  pa_context_disconnect(connection);
  pa_context_unref(connection);
}

}  // namespace

Capture::Capture(CaptureSpec spec, DispatchQueue* queue, IOFunction function,
                 void* context)
    : spec_(std::move(spec)),
      queue_(queue),
      function_(function),
      context_(context),
      mixing_(!spec_.excludedPIDs.empty()),
      pipewire_(withSnapshot([](const Snapshot& s) { return s.pipewire; })),
      feeding_(pipewire_ ? kPipeWireFeeding : kPulseAudioFeeding),
      mix_(int64_t(framesIn(spec_.rate, feeding_.holdBackMs)),
           int64_t(framesIn(spec_.rate, kMaxAheadMs))),
      excludedMix_(int64_t(framesIn(spec_.rate, feeding_.holdBackMs -
                                                    feeding_.gateMarginMs)),
                   int64_t(framesIn(spec_.rate, kMaxAheadMs)), true),
      gate_(int64_t(framesIn(spec_.rate, feeding_.gateMarginMs))),
      canceller_(int64_t(framesIn(spec_.rate, kLagSearchMs)),
                 framesIn(spec_.rate, feeding_.holdBackMs + kCancelHistoryMs)),
      silence_(framesIn(spec_.rate, feeding_.packetMs)) {
  pending_.reserve(2 * framesIn(spec_.rate, kCycleMs) + 8192);
}

pa_stream* Capture::record(pa_context* context, uint32_t sinkInput,
                           uint32_t packetMs, pa_stream_notify_cb_t state,
                           pa_stream_request_cb_t readable, void* userdata) {
  const pa_sample_spec sampleSpec{PA_SAMPLE_FLOAT32NE, recordRate_, 1};
  // PulseAudio averages the channels into mono; PipeWire's service sums
  // them at 0.707 each (+3 dB, clipping loud stereo) unless told to average.
  pa_proplist* properties = pa_proplist_new();
  pa_proplist_sets(properties, "channelmix.normalize", "true");
  pa_stream* stream = pa_stream_new_with_proplist(
      context, "nimbrel capture", &sampleSpec, nullptr, properties);
  pa_proplist_free(properties);
  if (stream == nullptr) return nullptr;
  if (sinkInput != PA_INVALID_INDEX)
    pa_stream_set_monitor_stream(stream, sinkInput);
  const uint32_t fragment = framesIn(spec_.rate, packetMs) * sizeof(float);
  const pa_buffer_attr attributes{uint32_t(-1), uint32_t(-1), uint32_t(-1),
                                  uint32_t(-1), fragment};
  pa_stream_set_state_callback(stream, state, userdata);
  pa_stream_set_read_callback(stream, readable, userdata);
  // Never follow the stream elsewhere: another sink is another recording.
  const auto flags =
      pa_stream_flags_t(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_record(stream, monitorSource_.c_str(), &attributes,
                               flags) < 0) {
    forgetStream(stream);
    return nullptr;
  }
  return stream;
}

Status Capture::start() {
  Status status = ensureConnected();
  if (status != kNoError) return status;
  pa_threaded_mainloop_lock(mainloop());
  if (stopping_) {  // stopped before it began
    pa_threaded_mainloop_unlock(mainloop());
    return kIllegalOperation;
  }
  const bool known = withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, sink] : s.sinks) {
      if (sink.name == spec_.sink) {
        sinkIndex_ = index;
        monitorSource_ = sink.monitorSource;
        return true;
      }
    }
    return false;
  });
  recordRate_ = recordRate();
  // On PipeWire the graph leaves players out, and the clock stream is the
  // output while none of them is on the sink.
  const bool native = known && mixing_ && pipewire_ && startNative();
  if (stopping_) {  // stopped while PipeWire's graph was asked
    pa_threaded_mainloop_unlock(mainloop());
    return kIllegalOperation;
  }
  if (known && mixing_ && !native) {
    // An excluded player already playing is in the monitor's first frames:
    // the mix is the output from the start.
    playersChanged();
    if (output_ == Output::Holding) output_ = Output::Mix;
  }
  if (!known) {
    status = PA_ERR_NOENTITY;
  } else if ((clock_ = record(context(), PA_INVALID_INDEX,
                              // Alone, the monitor comes in whole cycles:
                              // PipeWire's service then wakes us half as
                              // often (PulseAudio sends every render).
                              mixing_ && !native ? kPacketMs : kCycleMs,
                              clockState, clockReadable, this)) == nullptr) {
    status = pa_context_errno(context());
  } else {
    // A stop (the end of standard input) may come while we wait and let
    // the stream go: wait on a reference of our own, and for the stop too.
    pa_stream* stream = pa_stream_ref(clock_);
    pa_stream_state_t state = PA_STREAM_UNCONNECTED;
    while (!stopping_ &&
           (state = pa_stream_get_state(stream)) == PA_STREAM_CREATING) {
      pa_threaded_mainloop_wait(mainloop());
    }
    if (stopping_) {
      status = kIllegalOperation;
    } else if (state != PA_STREAM_READY) {
      status = pa_context_errno(context());
      if (status == kNoError) status = PA_ERR_UNKNOWN;
      forgetStream(clock_);
      clock_ = nullptr;
    } else {
      setCaptureObserver(serverChanged);
      started().insert(this);
      if (mixing_ && pipewire_ && !native) {
        pollTimer_ = pa_context_rttime_new(
            context(), pa_rtclock_now() + kPollIdleUs, pollPlayers, this);
      }
    }
    pa_stream_unref(stream);
  }
  pa_threaded_mainloop_unlock(mainloop());
  return status;
}

bool Capture::startNative() {
  auto* feed = new NativeFeed(
      spec_.sink, spec_.rate, nativeFrames,
      [](void* self) { return static_cast<Capture*>(self)->sinkGain(); }, this);
  if (feed->start()) {
    feed->leaveOut(excludedStreams());
    // The feed's thread settles it: looked at again shortly, the lock let
    // go so that a stop may come. A PipeWire that does not answer is not
    // waited for.
    const pa_usec_t deadline = pa_rtclock_now() + kNativeWaitUs;
    while (!stopping_ && !feed->settled() && !feed->failed() &&
           pa_rtclock_now() < deadline) {
      pa_threaded_mainloop_unlock(mainloop());
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      pa_threaded_mainloop_lock(mainloop());
    }
  }
  if (stopping_ || !feed->settled() || feed->failed()) {
    feed->stop();
    delete feed;
    return false;
  }
  native_ = feed;
  switch_ = new FeedSwitch(
      spec_.rate,
      [](void* self, const float* frames, size_t count) {
        static_cast<Capture*>(self)->deliver(frames, count);
      },
      this);
  // Silence in real time while the graph gives nothing, from now on.
  std::lock_guard pacing(pacing_);
  framesAt_ = pacedUntil_ = pa_rtclock_now();
  stallTimer_ =
      pa_context_rttime_new(context(), pacedUntil_ + kStallUs, stalled, this);
  return true;
}

void Capture::stop() {
  // Cycles are delivered inside the streams' callbacks, which hold the main
  // loop's lock: once we have it, none is under way, and none follows.
  pa_threaded_mainloop_lock(mainloop());
  // PipeWire's graph delivers from its own thread: ended first.
  if (native_) native_->stop();
  stopping_ = true;
  started().erase(this);
  if (stallTimer_) api()->time_free(stallTimer_);
  stallTimer_ = nullptr;
  if (pollTimer_) api()->time_free(pollTimer_);
  pollTimer_ = nullptr;
  for (auto& [index, monitor] : monitors_) forget(monitor);
  monitors_.clear();
  keepSpares(0);
  if (clock_) forgetStream(clock_);
  clock_ = nullptr;
  pa_threaded_mainloop_signal(mainloop(), 0);  // a start waiting gives up
  pa_threaded_mainloop_unlock(mainloop());
}

void Capture::clockReadable(pa_stream* stream, size_t readable, void* context) {
  auto* self = static_cast<Capture*>(context);
  if (self->native_) {
    // PipeWire's graph delivers from its own thread too.
    std::lock_guard pacing(self->pacing_);
    self->paced();
    const auto now = int64_t(self->framesAt_);
    const bool runs = self->native_->runs();
    drain(stream, readable,
          [self, now, runs](const float* frames, size_t count) {
            self->switch_->clockFrames(frames, count, now, runs);
          });
    // Unused while the graph's frames go out, the clock stream wakes us
    // less often; under the stall's 200 ms, so that its late packets are
    // not taken for a stall when the clock is the output again.
    if (self->switch_->onGraph() != self->clockIdle_) {
      self->clockIdle_ = !self->clockIdle_;
      const uint32_t fragment =
          framesIn(self->spec_.rate,
                   self->clockIdle_ ? kIdleClockMs : kCycleMs) *
          sizeof(float);
      const pa_buffer_attr attributes{uint32_t(-1), uint32_t(-1), uint32_t(-1),
                                      uint32_t(-1), fragment};
      if (pa_operation* o =
              pa_stream_set_buffer_attr(stream, &attributes, nullptr, nullptr))
        pa_operation_unref(o);
    }
    return;
  }
  self->paced();
  drain(stream, readable, [self](const float* frames, size_t count) {
    self->clockFrames(frames, count);
  });
}

void Capture::clockFrames(const float* frames, size_t count) {
  if (native_) {
    deliver(frames, count);
    return;
  }
  if (!mixing_ || output_ == Output::Monitor) {
    // The server's own buffer goes to the I/O function as it is; the mixes'
    // clock keeps step, for a switch.
    if (mixing_ && mix_.idle() && excludedMix_.idle()) {
      mix_.skip(count);
      excludedMix_.skip(count);
    } else if (mixing_) {
      mixFrames(count, 1.0f);
    }
    deliver(frames, count);
    return;
  }
  if (!ended_.empty()) followSinkInputs();
  canceller_.clock(mix_.clock(), frames, count);
  const int64_t mixedFrom = mix_.emitted();
  // The sink's monitor carries its volume and mute; so do the mixes, so
  // that leaving a player out changes nothing else.
  const float gain = sinkGain();
  mixFrames(count, gain);
  if (gain != 1.0f) {
    for (float& frame : mixed_) frame *= gain;
  }
  clockHeld_.insert(clockHeld_.end(), frames, frames + count);
  if (output_ == Output::Mix) {
    deliverMix(mixedFrom);
    // Only what the mix has not reached is kept, for a switch back.
    const auto spent = size_t(
        std::clamp<int64_t>(mix_.emitted() - heldFrom_, 0, clockHeld_.size()));
    clockHeld_.erase(clockHeld_.begin(), clockHeld_.begin() + long(spent));
    heldFrom_ += int64_t(spent);
    if (leaveAt_ >= 0 && mix_.emitted() >= leaveAt_) switchToMonitor();
    return;
  }
  const size_t skip =
      size_t(std::clamp<int64_t>(heldFrom_ - mixedFrom, 0, mixed_.size()));
  mixHeld_.insert(mixHeld_.end(), mixed_.begin() + long(skip), mixed_.end());
  // The switch waits until every kept player's monitor has its frames
  // placed, or gives up on the late ones.
  int64_t at = heldFrom_;
  bool placed = true;
  for (uint32_t sinkInput : awaited_) {
    const std::optional<int64_t> from = mix_.placedAt(sinkInput);
    placed &= from.has_value();
    if (from) at = std::max(at, *from);
  }
  const bool late =
      mix_.clock() - heldFrom_ > int64_t(framesIn(spec_.rate, kSwitchWaitMs));
  if ((placed || late) && mix_.emitted() >= at) switchToMix();
}

float Capture::sinkGain() const {
  return withSnapshot([&](const Snapshot& s) {
    const auto sink = s.sinks.find(sinkIndex_);
    return sink != s.sinks.end() ? sink->second.gain : 1.0f;
  });
}

int64_t Capture::readyUntil(bool excluded) const {
  int64_t ready = std::numeric_limits<int64_t>::max();
  const TimelineMix& mix = excluded ? excludedMix_ : mix_;
  withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, monitor] : monitors_) {
      if (monitor->excluded != excluded || !mix.placedAt(index)) continue;
      const auto input = s.sinkInputs.find(index);
      if (input == s.sinkInputs.end() || !input->second.corked)
        ready = std::min(ready, *mix.heldUntil(index));
    }
  });
  return ready;
}

void Capture::mixFrames(size_t count, float gain) {
  gateFrames(count, gain);
  // The gate judges a kept frame by the left-out ones a margin either side.
  const int64_t margin = framesIn(spec_.rate, feeding_.gateMarginMs);
  mixed_.clear();
  mix_.clockFrames(
      count, mixed_,
      std::min(readyUntil(false), excludedMix_.emitted() - margin));
}

void Capture::gateFrames(size_t count, float gain) {
  const int64_t from = excludedMix_.emitted();
  // Placed anew, the left-out players' frames have a new lag.
  // Reused, not allocated anew on every packet of the server thread.
  placedNow_.clear();
  for (const auto& [index, monitor] : monitors_) {
    if (monitor->excluded)
      placedNow_.emplace_back(index, excludedMix_.placedAt(index).value_or(-1));
  }
  if (placedNow_ != excludedPlaced_) {
    canceller_.unlock();
    excludedPlaced_.swap(placedNow_);
  }
  // A left-out player's frames not in yet may be anything; a paused one
  // renders nothing.
  int64_t known = std::numeric_limits<int64_t>::max();
  std::erase_if(excludedTails_,
                [&](const auto& tail) { return tail.second <= from; });
  for (const auto& tail : excludedTails_) known = std::min(known, tail.first);
  withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, monitor] : monitors_) {
      if (!monitor->excluded) continue;
      const auto input = s.sinkInputs.find(index);
      if (input != s.sinkInputs.end() && input->second.corked) continue;
      const std::optional<int64_t> placed = excludedMix_.placedAt(index);
      // Not placed yet (an ended source of the same player may linger): the
      // frames from here on are unknown.
      if (!placed || (monitor->startedLate && from < *placed))
        known = from;
      else
        known = std::min(known, *excludedMix_.heldUntil(index));
    }
  });
  excludedFrames_.clear();
  excludedMix_.clockFrames(count, excludedFrames_, readyUntil(true));
  if (gain != 1.0f) {
    for (float& frame : excludedFrames_) frame *= gain;
  }
  gate_.frames(from, excludedFrames_.data(), excludedFrames_.size(), known);
  if (output_ != Output::Monitor) {
    canceller_.excluded(from, excludedFrames_.data(), excludedFrames_.size(),
                        known);
  }
}

// The server drops what a monitor had not sent yet when its player goes,
// while the sink's monitor still brings that player's last frames.
void Capture::endSource(uint32_t sinkInput) {
  mix_.endSource(sinkInput);
  const auto monitor = monitors_.find(sinkInput);
  if (monitor != monitors_.end() && monitor->second->excluded) {
    const int64_t held = excludedMix_.placedAt(sinkInput)
                             ? *excludedMix_.heldUntil(sinkInput)
                             : excludedMix_.emitted();
    excludedTails_.emplace_back(
        held, mix_.clock() + int64_t(framesIn(spec_.rate, kLeaveMarginMs)));
  }
  excludedMix_.endSource(sinkInput);
}

void Capture::deliverMix(int64_t from) {
  const int64_t offset = from - heldFrom_;
  if (offset < 0 || size_t(offset) + mixed_.size() > clockHeld_.size()) {
    deliver(mixed_.data(), mixed_.size());
    return;
  }
  // Where a left-out player is heard: the monitor less its sound once its
  // lag is known, else the kept players' mix.
  cancelled_.resize(mixed_.size());
  canceller_.cancel(from, mixed_.data(), mixed_.size(), cancelled_.data());
  picked_.resize(mixed_.size());
  gate_.pick(from, clockHeld_.data() + offset, cancelled_.data(), mixed_.size(),
             picked_.data());
  deliver(picked_.data(), picked_.size());
}

// The mix lacks kept players whose monitors came late, the sink monitor
// holds the left-out ones where they have started: the gate picks.
void Capture::switchToMix() {
  picked_.resize(mixHeld_.size());
  gate_.pick(heldFrom_, clockHeld_.data(), mixHeld_.data(), mixHeld_.size(),
             picked_.data());
  deliver(picked_.data(), picked_.size());
  mixHeld_.clear();
  clockHeld_.erase(clockHeld_.begin(),
                   clockHeld_.begin() + long(mix_.emitted() - heldFrom_));
  heldFrom_ = mix_.emitted();
  awaited_.clear();
  output_ = Output::Mix;
}

void Capture::dropMonitors() {
  for (auto& [index, monitor] : monitors_) {
    mix_.endSource(index);
    excludedMix_.endSource(index);
    forget(monitor);
  }
  monitors_.clear();
  keepSpares(0);
  gate_.clear();
  excludedTails_.clear();
  excludedPlaced_.clear();
  canceller_.unlock();
  followed_.clear();
  ended_.clear();
}

void Capture::switchToMonitor() {
  deliver(clockHeld_.data(), clockHeld_.size());
  clockHeld_.clear();
  dropMonitors();
  leaveAt_ = -1;
  output_ = Output::Monitor;
}

void Capture::playersChanged() {
  const bool excluded = withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, input] : s.sinkInputs) {
      if (input.device == sinkIndex_ && spec_.excludedPIDs.count(input.pid))
        return true;
    }
    return false;
  });
  if (excluded) {
    leaveAt_ = -1;
    if (output_ == Output::Monitor) {
      // Until the excluded player's first frames reach the sink, the
      // monitor holds only kept ones: it stays the output until the mix
      // has every kept player.
      output_ = Output::Holding;
      heldFrom_ = mix_.clock();
      clockHeld_.clear();
      mixHeld_.clear();
    }
  } else if (output_ != Output::Monitor && leaveAt_ < 0) {
    // The excluded player's last frames may still be on their way in the
    // clock's stream.
    leaveAt_ = mix_.clock() + int64_t(framesIn(spec_.rate, kLeaveMarginMs));
  }
  if (output_ != Output::Monitor) {
    if (feeding_.connectionEach) keepSpares(kSpareConnections);
    followSinkInputs();
  }
}

// From the first frames on: until then a new monitor stream waits for the
// block the sink rendered before it connected, which it never gets.
// The timer is not re-armed here: each re-arm writes to the main loop's
// wake-up pipe, and costs a pass of the loop more. It finds the frames
// recent when it fires, and looks again later.
void Capture::paced() {
  framesAt_ = pacedUntil_ = pa_rtclock_now();
  if (stallTimer_ == nullptr && !failed_.load() && context()) {
    stallTimer_ =
        pa_context_rttime_new(context(), pacedUntil_ + kStallUs, stalled, this);
  }
}

// The parent's timeline counts samples: while the server sends none, as
// many silent ones as the time that passes, so the count keeps step with
// the clock and the frames that come back follow on without a jump.
void Capture::stalled(pa_mainloop_api*, pa_time_event*, const timeval*,
                      void* context) {
  auto* self = static_cast<Capture*>(context);
  if (self->native_ && self->native_->failed()) {
    self->clockFailed();
    return;
  }
  // Frames came lately: from the server, or from PipeWire's graph on its
  // own thread.
  std::lock_guard pacing(self->pacing_);
  const pa_usec_t now = pa_rtclock_now();
  if (now - self->framesAt_ < kStallUs) {
    restartTimer(self->stallTimer_, self->framesAt_ + kStallUs);
    return;
  }
  // The last frames first.
  self->flush();
  const uint64_t owed =
      (now - self->pacedUntil_) * self->spec_.rate / PA_USEC_PER_SEC;
  for (uint64_t left = owed; left > 0;) {
    const size_t count =
        size_t(std::min<uint64_t>(left, self->silence_.size()));
    self->clockFrames(self->silence_.data(), count);
    left -= count;
  }
  self->pacedUntil_ += owed * PA_USEC_PER_SEC / self->spec_.rate;
  restartTimer(self->stallTimer_,
               now + self->feeding_.packetMs * PA_USEC_PER_MSEC);
}

void Capture::pollPlayers(pa_mainloop_api*, pa_time_event*, const timeval*,
                          void* context) {
  auto* self = static_cast<Capture*>(context);
  refreshPlayers();
  restartTimer(
      self->pollTimer_,
      pa_rtclock_now() +
          (self->output_ == Output::Monitor ? kPollIdleUs : kPollMixingUs));
}

void Capture::clockState(pa_stream* stream, void* context) {
  auto* self = static_cast<Capture*>(context);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_FAILED ||
      (state == PA_STREAM_TERMINATED && !self->stopping_)) {
    self->clockFailed();
  }
  pa_threaded_mainloop_signal(mainloop(), 0);
}

void Capture::clockFailed() {
  failed_.store(true);
  // A capture that ended writes nothing more, silence neither.
  for (pa_time_event** timer : {&stallTimer_, &pollTimer_}) {
    if (*timer) api()->time_free(*timer);
    *timer = nullptr;
  }
  reportLiveness(sinkIndex_);
}

// On PipeWire's data thread; until stop() has ended the feed.
void Capture::nativeFrames(void* context, const float* monitor,
                           const float* out, size_t count) {
  auto* self = static_cast<Capture*>(context);
  std::lock_guard pacing(self->pacing_);
  self->framesAt_ = self->pacedUntil_ = pa_rtclock_now();
  self->switch_->graphFrames(monitor, out, count, int64_t(self->framesAt_));
}

std::set<uint32_t> Capture::excludedStreams() const {
  return withSnapshot([&](const Snapshot& s) {
    std::set<uint32_t> streams;
    for (const auto& [index, input] : s.sinkInputs) {
      if (spec_.excludedPIDs.count(input.pid)) streams.insert(index);
    }
    return streams;
  });
}

void Capture::serverChanged(Change change, uint32_t index) {
  for (Capture* self : started()) {
    if (self->stopping_ || self->failed_.load()) continue;
    if (self->native_) {
      // The graph resamples for us; only who is left out matters.
      if (change == Change::Players)
        self->native_->leaveOut(self->excludedStreams());
    } else if (change == Change::SinkRate && index == self->sinkIndex_) {
      if (self->recordRate() != self->recordRate_) self->restartStreams();
    } else if (change == Change::Players && self->mixing_) {
      self->playersChanged();
    }
  }
}

// The server resamples from the monitor's rate to ours. After the sink
// changed rate (PulseAudio with avoid-resampling), its monitor may keep the
// old rate's name while carrying frames at the new one: asked for the
// announced rate, a 1000 Hz tone came as 1088 Hz. Asking for the rate scaled
// by the same error undoes it.
uint32_t Capture::recordRate() const {
  return withSnapshot([&](const Snapshot& s) {
    const auto sink = s.sinks.find(sinkIndex_);
    if (sink == s.sinks.end() || sink->second.rate == 0) return spec_.rate;
    const auto monitor = s.sources.find(sink->second.monitorIndex);
    if (monitor == s.sources.end() || monitor->second.rate == 0)
      return spec_.rate;
    return uint32_t(uint64_t(spec_.rate) * monitor->second.rate /
                    sink->second.rate);
  });
}

// A record stream keeps the resampling it got when it connected: one of
// the new rate, the gap written as silence.
void Capture::restartStreams() {
  recordRate_ = recordRate();
  dropMonitors();
  forgetStream(clock_);
  clock_ = record(context(), PA_INVALID_INDEX, kPacketMs, clockState,
                  clockReadable, this);
  if (clock_ == nullptr) {
    failed_.store(true);
    reportLiveness(sinkIndex_);
    return;
  }
  if (output_ != Output::Monitor) followSinkInputs();
}

void Capture::monitorReadable(pa_stream* stream, size_t readable,
                              void* context) {
  auto* monitor = static_cast<Monitor*>(context);
  TimelineMix& mix = monitor->excluded ? monitor->capture->excludedMix_
                                       : monitor->capture->mix_;
  drain(stream, readable, [&](const float* frames, size_t count) {
    if (!monitor->excluded) {
      mix.sourceFrames(monitor->sinkInput, frames, count);
      return;
    }
    const std::optional<int64_t> placed = mix.placedAt(monitor->sinkInput);
    mix.sourceFrames(monitor->sinkInput, frames, count);
    // Placed anew (first, or after a pause): loud from its first frame on,
    // the player played before its monitor brought anything.
    if (mix.placedAt(monitor->sinkInput) != placed) {
      monitor->startedLate = std::any_of(
          frames, frames + std::min<size_t>(count, 48),
          [](float frame) { return std::fabs(frame) > ExclusionGate::kQuiet; });
    }
  });
}

// The server ends a monitor when its playback stream goes or moves to
// another sink; the monitor is let go on the next clock cycle, outside its
// own callback.
void Capture::monitorState(pa_stream* stream, void* context) {
  auto* monitor = static_cast<Monitor*>(context);
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state != PA_STREAM_FAILED && state != PA_STREAM_TERMINATED) return;
  monitor->capture->endSource(monitor->sinkInput);
  monitor->capture->ended_.push_back(monitor->sinkInput);
}

void Capture::monitorConnected(pa_context* context, void* userdata) {
  auto* monitor = static_cast<Monitor*>(userdata);
  Capture* self = monitor->capture;
  const pa_context_state_t state = pa_context_get_state(context);
  if (state == PA_CONTEXT_READY && monitor->stream == nullptr) {
    monitor->stream =
        self->record(context, monitor->sinkInput, self->packetMs(*monitor),
                     monitorState, monitorReadable, monitor);
  }
  if (!PA_CONTEXT_IS_GOOD(state) ||
      (state == PA_CONTEXT_READY && monitor->stream == nullptr)) {
    self->ended_.push_back(monitor->sinkInput);
  }
}

void Capture::keepSpares(size_t count) {
  std::erase_if(spares_, [](pa_context* spare) {
    if (PA_CONTEXT_IS_GOOD(pa_context_get_state(spare))) return false;
    dropConnection(spare);
    return true;
  });
  while (spares_.size() > count) {
    dropConnection(spares_.back());
    spares_.pop_back();
  }
  while (spares_.size() < count) {
    pa_context* spare = newConnection();
    if (spare == nullptr) return;
    spares_.push_back(spare);
  }
}

// The clock's packets are the sink monitor's, the output most of the time.
// The left-out players' come as often: the kept players' mix waits for them.
uint32_t Capture::packetMs(const Monitor& monitor) const {
  return monitor.excluded ? kPacketMs : feeding_.packetMs;
}

void Capture::follow(uint32_t sinkInput, bool excluded) {
  auto* monitor = new Monitor{this, sinkInput, excluded};
  monitors_[sinkInput] = monitor;
  if (!feeding_.connectionEach) {
    monitor->stream = record(context(), sinkInput, packetMs(*monitor),
                             monitorState, monitorReadable, monitor);
    if (monitor->stream == nullptr) ended_.push_back(sinkInput);
    return;
  }
  // A connection made in advance: the monitor starts at once, while the
  // sink renders the player's first frames, not a connection later.
  const auto ready = std::find_if(spares_.begin(), spares_.end(), [](auto c) {
    return pa_context_get_state(c) == PA_CONTEXT_READY;
  });
  if (ready != spares_.end()) {
    monitor->context = *ready;
    spares_.erase(ready);
  } else {
    monitor->context = newConnection();
  }
  if (monitor->context == nullptr) {
    ended_.push_back(sinkInput);
    return;
  }
  pa_context_set_state_callback(monitor->context, monitorConnected, monitor);
  if (pa_context_get_state(monitor->context) == PA_CONTEXT_READY)
    monitorConnected(monitor->context, monitor);
  keepSpares(kSpareConnections);
}

void Capture::forget(Monitor* monitor) {
  if (monitor->stream) forgetStream(monitor->stream);
  if (monitor->context) dropConnection(monitor->context);
  delete monitor;
}

void Capture::followSinkInputs() {
  for (uint32_t sinkInput : ended_) {
    if (auto entry = monitors_.find(sinkInput); entry != monitors_.end()) {
      forget(entry->second);
      monitors_.erase(entry);
    }
    // Should it come back, it is followed again.
    followed_.erase(sinkInput);
    awaited_.erase(sinkInput);
  }
  ended_.clear();
  // Players that left the sink, and those whose PID came to be known as one
  // left out (or kept): followed again as what they are now. PipeWire's
  // service keeps a monitor on its player when the player moves to another
  // sink, where we must not hear it.
  std::vector<uint32_t> left;
  withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, monitor] : monitors_) {
      const auto input = s.sinkInputs.find(index);
      if (input == s.sinkInputs.end() || input->second.device != sinkIndex_ ||
          spec_.excludedPIDs.count(input->second.pid) != monitor->excluded)
        left.push_back(index);
    }
  });
  for (uint32_t index : left) {
    endSource(index);
    forget(monitors_[index]);
    monitors_.erase(index);
    followed_.erase(index);
    awaited_.erase(index);
  }
  std::vector<std::pair<uint32_t, bool>> added;
  withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, input] : s.sinkInputs) {
      if (input.device != sinkIndex_ || followed_.count(index) != 0) continue;
      const bool excluded = spec_.excludedPIDs.count(input.pid) != 0;
      added.emplace_back(index, excluded);
      // A corked player's monitor brings nothing to wait for.
      if (output_ == Output::Holding && !input.corked && !excluded)
        awaited_.insert(index);
    }
  });
  for (auto [index, excluded] : added) {
    followed_.insert(index);
    follow(index, excluded);
  }
}

// Short pieces go out together: the graph's cycles (512 frames beside a
// recorder that asked for 20 ms) and the server's packets.
void Capture::deliver(const float* frames, size_t count) {
  if (count == 0 || stopping_) return;
  // (PipeWire's graph feeds the output as the sink's monitor does.)
  const bool mixed = output_ != Output::Monitor;
  const size_t enough = mixed ? 1 : framesIn(spec_.rate, kCycleMs);
  if (pending_.empty() && count >= enough) {
    handOver(frames, count);
    return;
  }
  // A switch's held frames may not fit: nothing is allocated here.
  if (pending_.size() + count > pending_.capacity()) {
    flush();
    handOver(frames, count);
    return;
  }
  pending_.insert(pending_.end(), frames, frames + count);
  if (pending_.size() >= enough) flush();
}

void Capture::flush() {
  handOver(pending_.data(), pending_.size());
  pending_.clear();
}

void Capture::handOver(const float* frames, size_t count) {
  if (count == 0) return;
  struct Cycle {
    Capture* self;
    BufferList input;
  } cycle{
      this,
      {1, {{1, uint32_t(count * sizeof(float)), const_cast<float*>(frames)}}}};
  // A turn of the queue taken on the server thread: one wake-up per cycle
  // fewer than a hop through the queue's own thread (measured: the tap's CPU
  // time went from 1.45-1.52x parec's to 1.26-1.33x).
  posix::runOnQueue(
      queue_,
      [](void* context) {
        auto* cycle = static_cast<Cycle*>(context);
        cycle->self->function_(cycle->self->context_, &cycle->input);
      },
      &cycle);
}

}  // namespace audio::pulse
