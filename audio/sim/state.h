// The simulated platform's live state, shared by the audio/sim/*.cpp
// files: the current world, the objects the programs created, the listeners.
// Created once and never destroyed, since threads may use it during exit().
#ifndef NIMBREL_AUDIO_SIM_STATE_H_
#define NIMBREL_AUDIO_SIM_STATE_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "audio/posix/listeners.h"
#include "audio/sim/world.h"

namespace audio::sim {

struct TapObject {
  ObjectID id = 0;
  TapDescription description;
  std::string uid;
};

/// A device of the world, or an aggregate device a program created.
struct DeviceObject : Device {
  bool aggregate = false;
  std::string mainUID;         // the aggregate's main sub-device
  std::vector<ObjectID> taps;  // the aggregate's taps, in description order
  Dictionary description;
};

struct IOProc;

struct State {
  std::mutex mutex;
  std::condition_variable scriptChanged;  // wakes the atMs timer
  World world;
  std::vector<bool> fired;  // per script entry
  std::chrono::steady_clock::time_point origin;
  std::vector<Process>
      processes;  // listed by 'prs#'; changed by setProcesses only
  Process self;   // the calling process, always readable
  // Positions in `processes` by object and by PID (the first listed), so that
  // a property read does not search the list.
  std::unordered_map<ObjectID, uint32_t> processByObject;
  std::unordered_map<int32_t, uint32_t> processByPID;
  std::vector<DeviceObject> devices;
  std::optional<std::string> defaultOutput;
  std::vector<TapObject> taps;
  posix::ListenerRegistry listeners;
  std::vector<IOProc*> ioProcs;  // never freed: an IOProcID is the pointer
  std::vector<IOProc*> retired;  // those of earlier worlds
  std::vector<ObjectID> deadAggregates;  // destroyed, 'livn' still reads 0
  // The program runs its main loop or has cleared 'rnlp'; until then, with
  // notificationsNeedRunLoop, fired script entries wait in `deferred`.
  bool hearsNotifications = false;
  std::vector<size_t> deferred;
  std::mt19937 listenerRandom;  // shuffles listeners for kShuffled
  uint64_t listReads = 0;
  uint64_t cyclesDelivered = 0;
  ObjectID nextTap = 300;
  ObjectID nextAggregate = 400;
  int callLogFd = -1;
};

/// The state, with the world of NIMBREL_SIM_WORLD loaded on first use.
State& state();

// The helpers below are called with state().mutex held.
/// Replaces the listed processes and their indexes.
void setProcesses(State& s, std::vector<Process> processes);
/// The calling process or a listed one; the first listed wins.
const Process* findProcess(const State& s, ObjectID object);
/// The first listed process with this PID (the calling process is not one).
const Process* findProcessByPID(const State& s, int32_t pid);
DeviceObject* findDevice(State& s, ObjectID id);
DeviceObject* findDeviceByUID(State& s, std::string_view uid);
TapObject* findTap(State& s, ObjectID id);
ObjectID freeObjectID(const State& s, ObjectID from);
/// The status a failure rule gives this call, if one matches; `noObject`
/// tells a rule that makes the call succeed without an object. A rule with a
/// delay releases the lock while the call waits, so callers look objects up
/// only after this.
std::optional<Status> failureFor(State& s, std::string_view op,
                                 std::optional<Selector> selector,
                                 ObjectID object, bool* noObject);
/// Runs every listener of (object, selector) once, on its queue.
void notifyListeners(const State& s, ObjectID object, Selector selector);
/// Applies the script entries that `trigger` has reached at `count`.
void fireScript(State& s, ScriptEntry::Trigger trigger, uint64_t count);
/// From now on script changes reach the program; those held back apply now.
void startHearingNotifications(State& s);
/// Appends one line to the call log with a single write(2).
void logCall(const State& s, const std::string& line);
/// A call-log line: the operation, its object, and the status if it failed.
std::string callLine(const char* op, uint64_t object, Status status);

// I/O, implemented in io.cpp; called without the state lock.
/// Stops every I/O proc of `device`, or of every device when it is 0.
void stopDeviceIO(ObjectID device);

}  // namespace audio::sim

#endif  // NIMBREL_AUDIO_SIM_STATE_H_
