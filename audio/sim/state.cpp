// The simulated platform's state: loading the world (once, lazily, from
// NIMBREL_SIM_WORLD, or from a test), failure rules, the script, the call log.
#include "audio/sim/state.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "audio/posix/signals.h"
#include "audio/sim/sim.h"

namespace audio::sim {
namespace {

[[noreturn]] void die(const std::string& message) {
  std::fprintf(stderr, "nimbrel-sim: %s\n", message.c_str());
  std::exit(70);
}

World parseOrDie(std::string_view json) {
  std::string error;
  std::optional<World> world = parseWorld(json, &error);
  if (!world) die("bad world: " + error);
  return std::move(*world);
}

void reset(State& s, World world) {
  s.world = std::move(world);
  s.fired.assign(s.world.script.size(), false);
  s.origin = std::chrono::steady_clock::now();
  setProcesses(s, s.world.processes);
  s.self = Process{};
  s.self.object = s.world.selfObject;
  s.self.pid = int32_t(getpid());
  s.self.input = s.world.selfInput;
  s.self.output = s.world.selfOutput;
  s.devices.clear();
  for (const Device& d : s.world.devices) {
    DeviceObject device;
    static_cast<Device&>(device) = d;
    s.devices.push_back(std::move(device));
  }
  s.defaultOutput = s.world.defaultOutput;
  s.taps.clear();
  s.listeners.clear();
  s.retired.insert(s.retired.end(), s.ioProcs.begin(), s.ioProcs.end());
  s.ioProcs.clear();
  s.deadAggregates.clear();
  s.hearsNotifications = false;
  s.deferred.clear();
  s.listenerRandom.seed(s.world.listenerSeed.value_or(std::random_device{}()));
  s.listReads = 0;
  s.cyclesDelivered = 0;
  s.nextTap = 300;
  s.nextAggregate = 400;
  if (s.callLogFd >= 0) close(s.callLogFd);
  s.callLogFd = -1;
  if (s.world.callLog) {
    s.callLogFd = open(s.world.callLog->c_str(),
                       O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s.callLogFd < 0) die("cannot open the call log " + *s.world.callLog);
  }
}

// Fires the atMs entries as their time comes.
void runTimer(State* s) {
  std::unique_lock lock(s->mutex);
  for (;;) {
    std::optional<std::chrono::steady_clock::time_point> next;
    for (size_t i = 0; i < s->world.script.size(); ++i) {
      const ScriptEntry& e = s->world.script[i];
      if (s->fired[i] || e.trigger != ScriptEntry::Trigger::kAtMs) continue;
      auto at = s->origin + std::chrono::milliseconds(e.at);
      if (!next || at < *next) next = at;
    }
    auto now = std::chrono::steady_clock::now();
    if (!next) {
      s->scriptChanged.wait(lock);
    } else if (now >= *next) {
      auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          now - s->origin);
      fireScript(*s, ScriptEntry::Trigger::kAtMs, uint64_t(elapsed.count()));
    } else {
      s->scriptChanged.wait_until(lock, *next);
    }
  }
}

void applyEntry(State& s, const ScriptEntry& e) {
  // Every property the entry sets, in the order it sets them; their
  // listeners are told afterwards, in the order the world asks for.
  std::vector<std::pair<ObjectID, Selector>> changed;
  if (e.processes) setProcesses(s, *e.processes);
  if (e.setsDefaultOutput) {
    s.defaultOutput = e.defaultOutput;
    changed.emplace_back(kSystemObject, kDefaultOutputDevice);
  }
  if (e.deviceRate) {
    const auto& [uid, rate] = *e.deviceRate;
    if (DeviceObject* device = findDeviceByUID(s, uid)) {
      device->rate = rate;
      changed.emplace_back(device->id, kDeviceNominalSampleRate);
    }
    for (DeviceObject& d : s.devices) {
      if (!d.aggregate || d.mainUID != uid) continue;
      d.rate = rate;
      changed.emplace_back(d.id, kDeviceNominalSampleRate);
    }
  }
  if (e.aggregateRate) {
    for (DeviceObject& d : s.devices) {
      if (!d.aggregate) continue;
      d.rate = *e.aggregateRate;
      changed.emplace_back(d.id, kDeviceNominalSampleRate);
    }
  }
  if (e.aggregateAlive) {
    for (DeviceObject& d : s.devices) {
      if (!d.aggregate) continue;
      d.alive = *e.aggregateAlive;
      changed.emplace_back(d.id, kDeviceIsAlive);
    }
  }
  // The platform promises no order across objects.
  switch (s.world.listenerOrder) {
    case World::ListenerOrder::kAsSet:
      break;
    case World::ListenerOrder::kReversed:
      std::reverse(changed.begin(), changed.end());
      break;
    case World::ListenerOrder::kShuffled:
      std::shuffle(changed.begin(), changed.end(), s.listenerRandom);
      break;
  }
  for (const auto& [object, selector] : changed)
    notifyListeners(s, object, selector);
}

}  // namespace

State& state() {
  static State* const s = [] {
    auto* s = new State;
    std::string json = "{}";
    const char* path = std::getenv("NIMBREL_SIM_WORLD");
    if (path && *path) {
      std::ifstream file(path);
      if (!file) die(std::string("cannot read the world ") + path);
      std::ostringstream text;
      text << file.rdbuf();
      json = text.str();
    }
    reset(*s, parseOrDie(json));
    posix::SignalsKeptFromNewThreads quiet;
    std::thread(runTimer, s).detach();
    return s;
  }();
  return *s;
}

void loadWorld(std::string_view json) {
  World world = parseOrDie(json);
  State& s = state();
  stopDeviceIO(0);
  {
    std::lock_guard lock(s.mutex);
    reset(s, std::move(world));
  }
  s.scriptChanged.notify_all();
}

std::optional<std::string> worldError(std::string_view json) {
  std::string error;
  if (parseWorld(json, &error)) return std::nullopt;
  return error;
}

uint64_t cyclesDelivered() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  return s.cyclesDelivered;
}

void setProcesses(State& s, std::vector<Process> processes) {
  s.processes = std::move(processes);
  s.processByObject.clear();
  s.processByPID.clear();
  for (uint32_t i = 0; i < s.processes.size(); ++i) {
    s.processByObject.emplace(s.processes[i].object, i);
    s.processByPID.emplace(s.processes[i].pid, i);
  }
}

const Process* findProcess(const State& s, ObjectID object) {
  if (object == s.self.object) return &s.self;
  auto found = s.processByObject.find(object);
  return found == s.processByObject.end() ? nullptr
                                          : &s.processes[found->second];
}

const Process* findProcessByPID(const State& s, int32_t pid) {
  auto found = s.processByPID.find(pid);
  return found == s.processByPID.end() ? nullptr : &s.processes[found->second];
}

DeviceObject* findDevice(State& s, ObjectID id) {
  for (DeviceObject& d : s.devices) {
    if (d.id == id) return &d;
  }
  return nullptr;
}

DeviceObject* findDeviceByUID(State& s, std::string_view uid) {
  for (DeviceObject& d : s.devices) {
    if (d.uid == uid) return &d;
  }
  return nullptr;
}

TapObject* findTap(State& s, ObjectID id) {
  for (TapObject& t : s.taps) {
    if (t.id == id) return &t;
  }
  return nullptr;
}

ObjectID freeObjectID(const State& s, ObjectID from) {
  auto used = [&](ObjectID id) {
    if (id == s.self.object) return true;
    for (const Process& p : s.processes) {
      if (p.object == id) return true;
    }
    for (const DeviceObject& d : s.devices) {
      if (d.id == id) return true;
    }
    for (const TapObject& t : s.taps) {
      if (t.id == id) return true;
    }
    return false;
  };
  ObjectID id = from;
  while (used(id)) ++id;
  return id;
}

std::optional<Status> failureFor(State& s, std::string_view op,
                                 std::optional<Selector> selector,
                                 ObjectID object, bool* noObject) {
  for (FailureRule& rule : s.world.failures) {
    if (rule.op != op) continue;
    if (rule.selector && rule.selector != selector) continue;
    if (rule.object && *rule.object != object) continue;
    if (rule.status == kNoError && !rule.noObject && rule.delayMs == 0)
      continue;
    if (rule.matched++ < rule.skip) continue;
    // Copied first: a world loaded during the wait replaces the rule.
    const Status status = rule.status;
    const bool withoutObject = rule.noObject;
    if (rule.delayMs > 0) {
      // The rest of the platform (clocks, script, other calls) goes on.
      const auto delay = std::chrono::milliseconds(rule.delayMs);
      s.mutex.unlock();
      std::this_thread::sleep_for(delay);
      s.mutex.lock();
    }
    if (status == kNoError && !withoutObject) return std::nullopt;
    if (noObject) *noObject = withoutObject;
    return status;
  }
  return std::nullopt;
}

void notifyListeners(const State& s, ObjectID object, Selector selector) {
  s.listeners.tell([&](const posix::Listener& l) {
    return l.object == object && l.selector == selector;
  });
}

void fireScript(State& s, ScriptEntry::Trigger trigger, uint64_t count) {
  for (size_t i = 0; i < s.world.script.size(); ++i) {
    const ScriptEntry& e = s.world.script[i];
    if (s.fired[i] || e.trigger != trigger || e.at > count) continue;
    s.fired[i] = true;
    if (s.world.notificationsNeedRunLoop && !s.hearsNotifications) {
      s.deferred.push_back(i);
    } else {
      applyEntry(s, e);
    }
  }
}

void startHearingNotifications(State& s) {
  s.hearsNotifications = true;
  for (size_t i : s.deferred) applyEntry(s, s.world.script[i]);
  s.deferred.clear();
}

void logCall(const State& s, const std::string& line) {
  if (s.callLogFd < 0) return;
  std::string text = line + "\n";
  if (write(s.callLogFd, text.data(), text.size()) < 0) {
    // The log is for tests; a failed append shows there as a missing line.
  }
}

std::string callLine(const char* op, uint64_t object, Status status) {
  std::string line = std::string(op) + " " + std::to_string(object);
  if (status != kNoError) line += " status " + std::to_string(status);
  return line;
}

}  // namespace audio::sim
