// Simulated device I/O: I/O procs, and the clock thread that delivers one
// cycle of input every ioBufferFrames frames of real time on the proc's queue.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <thread>

#include "audio/hardware.h"
#include "audio/posix/signals.h"
#include "audio/sim/state.h"

namespace audio::sim {

struct IOProc {
  ObjectID device = 0;
  DispatchQueue* queue = nullptr;
  IOFunction function = nullptr;
  void* context = nullptr;
  bool destroyed = false;  // under the state lock
  uint64_t cycles = 0;     // delivered since the start, under the state lock
  std::vector<int64_t>
      cycleTimes;  // when each was handed over, under the state lock

  std::mutex control;  // serialises start, stop and destroy
  std::thread clock;
  bool running = false;  // under `control`

  // Between the clock thread and whoever stops it.
  std::mutex mutex;
  std::condition_variable wake;
  bool stopRequested = false;
  bool startCancelled = false;  // a stop came while a start waits
  bool cycleDone = false;
  bool holdCycles =
      false;  // the first cycle waits for a tapped process to play

  // Written at start, then used by the clock thread only.
  struct Slot {
    uint32_t channels;
    uint32_t bytesPerSample;  // 0: a device stream, zero-filled float
    uint32_t firstTapChannel;
    std::vector<ObjectID> excluded;  // the tap's excluded process objects
  };
  std::vector<Slot> slots;
  uint32_t frames = 0;
  std::vector<std::byte> storage;  // the buffers' samples, 4-byte aligned
  std::vector<uint8_t> list;       // the BufferList
  std::vector<Signal> playing;     // scratch for one cycle's mix
};

namespace {

IOProc* findProc(State& s, ObjectID device, IOProcID id) {
  for (IOProc* proc : s.ioProcs) {
    if (proc == id && !proc->destroyed && proc->device == device) return proc;
  }
  return nullptr;
}

double mixAt(const std::vector<Signal>& playing, uint64_t n) {
  double sum = 0;
  for (const Signal& signal : playing) sum += signal.at(n);
  return sum;
}

int16_t toInt16(double value) {
  double scaled = std::trunc(value * 32767);
  return int16_t(std::clamp(scaled, -32768.0, 32767.0));
}

// Lays out the cycle buffers once: the device's input streams, then each
// tap's buffers.
void prepare(State& s, IOProc& proc, const DeviceObject& device) {
  proc.slots.clear();
  for (uint32_t channels : device.inputStreams)
    proc.slots.push_back({channels, 0, 0, {}});
  for (ObjectID tapID : device.taps) {
    const TapObject* tap = findTap(s, tapID);
    if (!tap) continue;
    uint32_t first = 0;
    for (uint32_t channels : s.world.tap.buffers) {
      proc.slots.push_back({channels, s.world.tap.isFloat ? 4u : 2u, first,
                            tap->description.excludedProcesses});
      first += channels;
    }
  }
  uint32_t frames = s.world.ioBufferFrames;
  proc.frames = frames;
  size_t bytes = 0;
  for (const IOProc::Slot& slot : proc.slots)
    bytes += size_t(frames) * slot.channels * 4;
  proc.storage.assign(bytes, std::byte{0});
  size_t count = std::max<size_t>(1, proc.slots.size());
  proc.list.assign(offsetof(BufferList, buffers) + count * sizeof(Buffer), 0);
  auto* list = reinterpret_cast<BufferList*>(proc.list.data());
  list->numberBuffers = uint32_t(proc.slots.size());
  size_t offset = 0;
  for (size_t i = 0; i < proc.slots.size(); ++i) {
    const IOProc::Slot& slot = proc.slots[i];
    uint32_t width = slot.bytesPerSample ? slot.bytesPerSample : 4;
    list->buffers[i] = {slot.channels, frames * slot.channels * width,
                        proc.storage.data() + offset};
    offset += size_t(frames) * slot.channels * 4;
  }
  proc.playing.reserve(s.processes.size() + 16);
}

// Writes frames [n, n + frames) of every buffer; the state lock is held.
void fill(State& s, IOProc& proc, uint64_t n) {
  uint32_t frames = proc.frames;
  auto* list = reinterpret_cast<BufferList*>(proc.list.data());
  for (size_t i = 0; i < proc.slots.size(); ++i) {
    const IOProc::Slot& slot = proc.slots[i];
    Buffer& buffer = list->buffers[i];
    if (slot.bytesPerSample == 0) {
      std::memset(buffer.data, 0, buffer.dataByteSize);
      continue;
    }
    proc.playing.clear();
    for (const Process& p : s.processes) {
      bool excluded = std::find(slot.excluded.begin(), slot.excluded.end(),
                                p.object) != slot.excluded.end();
      if (p.output && !excluded) proc.playing.push_back(p.signal);
    }
    for (uint32_t f = 0; f < frames; ++f) {
      double mix = mixAt(proc.playing, n + f);
      for (uint32_t c = 0; c < slot.channels; ++c) {
        double value = mix * s.world.tap.gains[slot.firstTapChannel + c];
        size_t index = size_t(f) * slot.channels + c;
        if (slot.bytesPerSample == 4) {
          static_cast<float*>(buffer.data)[index] = float(value);
        } else {
          static_cast<int16_t*>(buffer.data)[index] = toInt16(value);
        }
      }
    }
  }
}

// "tapautostart" on an aggregate that has a tap.
bool autoStarts(const DeviceObject& device) {
  const Value* flag = device.description.find("tapautostart");
  return device.aggregate && !device.taps.empty() && flag &&
         std::holds_alternative<bool>(flag->v) && std::get<bool>(flag->v);
}

// Whether a process that one of the device's taps hears is playing.
bool tappedProcessPlays(State& s, const DeviceObject& device) {
  for (ObjectID tapID : device.taps) {
    const TapObject* tap = findTap(s, tapID);
    if (!tap) continue;
    const std::vector<ObjectID>& excluded = tap->description.excludedProcesses;
    for (const Process& p : s.processes) {
      if (p.output && std::find(excluded.begin(), excluded.end(), p.object) ==
                          excluded.end()) {
        return true;
      }
    }
  }
  return false;
}

// Waits until a tapped process plays (true) or `cancelled` holds (false).
template <class Cancelled>
bool waitForTappedAudio(IOProc& proc, Cancelled cancelled) {
  State& s = state();
  for (;;) {
    {
      std::lock_guard lock(s.mutex);
      const DeviceObject* device = findDevice(s, proc.device);
      if (!device || proc.destroyed) return false;
      if (tappedProcessPlays(s, *device)) return true;
    }
    std::unique_lock lock(proc.mutex);
    if (proc.wake.wait_for(lock, std::chrono::milliseconds(5), cancelled))
      return false;
  }
}

// The device's rate, or the tap's when the device has none that is usable.
double clockRate(State& s, ObjectID device) {
  DeviceObject* d = findDevice(s, device);
  if (d && d->rate > 0) return d->rate;
  return s.world.tap.rate > 0 ? s.world.tap.rate : 48000;
}

void deliver(IOProc& proc) {
  const auto* list = reinterpret_cast<const BufferList*>(proc.list.data());
  if (!proc.queue) {
    proc.function(proc.context, list);
    return;
  }
  {
    std::lock_guard lock(proc.mutex);
    proc.cycleDone = false;
  }
  dispatchAsync(proc.queue, [&proc, list] {
    proc.function(proc.context, list);
    std::lock_guard lock(proc.mutex);
    proc.cycleDone = true;
    proc.wake.notify_all();
  });
  std::unique_lock lock(proc.mutex);
  proc.wake.wait(lock, [&] { return proc.cycleDone; });
}

// CLOCK_MONOTONIC, which another process can read too.
int64_t monotonicNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void runClock(IOProc* proc) {
  State& s = state();
  using Clock = std::chrono::steady_clock;
  uint64_t n = 0;
  const auto stopped = [proc] { return proc->stopRequested; };
  if (proc->holdCycles && !waitForTappedAudio(*proc, stopped)) return;
  Clock::time_point next = Clock::now();
  for (;;) {
    std::chrono::duration<double> period;
    {
      std::lock_guard lock(s.mutex);
      period = std::chrono::duration<double>(
          proc->frames / clockRate(s, proc->device) / s.world.speed);
    }
    next += std::chrono::duration_cast<Clock::duration>(period);
    // Far behind (a loaded machine): carry on from now rather than burst.
    if (Clock::now() - next > 10 * period) next = Clock::now();
    {
      std::unique_lock lock(proc->mutex);
      if (proc->wake.wait_until(lock, next,
                                [&] { return proc->stopRequested; }))
        return;
    }
    {
      std::lock_guard lock(s.mutex);
      fill(s, *proc, n);
    }
    const int64_t handedOver = monotonicNanoseconds();
    deliver(*proc);
    n += proc->frames;
    std::lock_guard lock(s.mutex);
    ++proc->cycles;
    if (s.world.logCycleTimes) proc->cycleTimes.push_back(handedOver);
    ++s.cyclesDelivered;
    fireScript(s, ScriptEntry::Trigger::kAtCycle, s.cyclesDelivered);
  }
}

void stopClock(IOProc& proc) {
  {
    std::lock_guard lock(proc.mutex);
    proc.startCancelled = true;
    proc.wake.notify_all();
  }
  std::lock_guard control(proc.control);
  if (!proc.running) return;
  {
    std::lock_guard lock(proc.mutex);
    proc.stopRequested = true;
    proc.wake.notify_all();
  }
  proc.clock.join();
  proc.running = false;
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (s.world.logCycles) {
    logCall(s, "cycles " + std::to_string(proc.device) + " " +
                   std::to_string(proc.cycles));
  }
  if (s.world.logCycleTimes) {
    for (size_t k = 0; k < proc.cycleTimes.size(); ++k) {
      logCall(s, "cycleTime " + std::to_string(proc.device) + " " +
                     std::to_string(k) + " " +
                     std::to_string(proc.cycleTimes[k]));
    }
  }
}

// The proc that a call on (device, id) acts on, after the call's failure
// rule; the status the call returns when there is none.
Status lookUpProc(State& s, const char* op, ObjectID device, IOProcID id,
                  IOProc** proc) {
  Status status =
      failureFor(s, op, std::nullopt, device, nullptr).value_or(kNoError);
  *proc = status == kNoError ? findProc(s, device, id) : nullptr;
  if (status == kNoError && !*proc)
    status = findDevice(s, device) ? kIllegalOperation : kBadObject;
  return status;
}

// Stops a proc's clock, and with `destroy` marks it destroyed.
Status stopProc(const char* op, const char* logName, ObjectID device,
                IOProcID id, bool destroy) {
  State& s = state();
  IOProc* proc;
  {
    std::lock_guard lock(s.mutex);
    Status status = lookUpProc(s, op, device, id, &proc);
    if (status != kNoError) {
      logCall(s, callLine(logName, device, status));
      return status;
    }
  }
  stopClock(*proc);
  std::lock_guard lock(s.mutex);
  if (destroy) proc->destroyed = true;
  logCall(s, callLine(logName, device, kNoError));
  return kNoError;
}

}  // namespace

void stopDeviceIO(ObjectID device) {
  State& s = state();
  std::vector<IOProc*> procs;
  {
    std::lock_guard lock(s.mutex);
    for (IOProc* proc : s.ioProcs) {
      if (device == 0 || proc->device == device) procs.push_back(proc);
    }
  }
  for (IOProc* proc : procs) stopClock(*proc);
}

}  // namespace audio::sim

namespace audio {

using namespace sim;

Status createIOProcIDWithBlock(IOProcID* outProcID, ObjectID device,
                               DispatchQueue* queue, IOFunction function,
                               void* context) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  bool noObject = false;
  Status status = failureFor(s, "createIOProc", std::nullopt, device, &noObject)
                      .value_or(kNoError);
  if (status == kNoError && noObject) {
    if (outProcID) *outProcID = nullptr;
  } else if (status == kNoError) {
    if (!findDevice(s, device)) {
      status = kBadObject;
    } else if (!outProcID || !function) {
      status = kIllegalOperation;
    } else {
      auto* proc = new IOProc;
      proc->device = device;
      proc->queue = queue;
      proc->function = function;
      proc->context = context;
      s.ioProcs.push_back(proc);
      *outProcID = proc;
    }
  }
  logCall(s, callLine("createIOProcID", device, status));
  return status;
}

Status destroyIOProcID(ObjectID device, IOProcID id) {
  return stopProc("destroyIOProc", "destroyIOProcID", device, id, true);
}

Status deviceStart(ObjectID device, IOProcID id) {
  State& s = state();
  IOProc* proc;
  bool waits = false;
  {
    std::lock_guard lock(s.mutex);
    Status status = lookUpProc(s, "start", device, id, &proc);
    logCall(s, callLine("deviceStart", device, status));
    if (status != kNoError) return status;
    waits = s.world.tapAutoStart == World::AutoStart::kStartWaits &&
            autoStarts(*findDevice(s, device));
  }
  if (waits) {
    {
      std::lock_guard lock(proc->mutex);
      proc->startCancelled = false;
    }
    // A stop meanwhile ends the wait; the status is our choice.
    if (!waitForTappedAudio(*proc, [proc] { return proc->startCancelled; }))
      return kNotRunning;
  }
  // Lock order: a proc's control, then the state (the clock takes the state).
  std::lock_guard control(proc->control);
  if (proc->running) return kNoError;
  {
    std::lock_guard lock(s.mutex);
    DeviceObject* found = findDevice(s, device);
    if (!found || proc->destroyed) return kBadObject;
    prepare(s, *proc, *found);
    proc->holdCycles = s.world.tapAutoStart == World::AutoStart::kCyclesWait &&
                       autoStarts(*found);
    proc->cycles = 0;
    proc->cycleTimes.clear();
  }
  proc->stopRequested = false;
  proc->running = true;
  posix::SignalsKeptFromNewThreads quiet;
  proc->clock = std::thread(runClock, proc);
  return kNoError;
}

Status deviceStop(ObjectID device, IOProcID id) {
  return stopProc("stop", "deviceStop", device, id, false);
}

}  // namespace audio
