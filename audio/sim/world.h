// The simulated platform's world: what docs/simulated-world.md describes, as
// plain records, and the strict reader that builds it from JSON.
#ifndef NIMBREL_AUDIO_SIM_WORLD_H_
#define NIMBREL_AUDIO_SIM_WORLD_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/hardware.h"

namespace audio::sim {

/// What a process plays at frame n counted from device start.
struct Signal {
  enum class Kind { kSilence, kConstant, kRamp, kSquare };
  Kind kind = Kind::kSilence;
  double value = 0;
  double start = 0;
  double step = 0;
  uint64_t period = 1;

  double at(uint64_t n) const;
};

struct Process {
  ObjectID object = 0;
  int32_t pid = 0;
  std::optional<std::string> bundleID;
  bool input = false;
  bool output = false;
  bool hasApp = false;                 // a running application for the PID
  std::optional<std::string> appName;  // its localized name
  std::optional<std::string> path;     // what proc_pidpath returns
  Signal signal;
  std::map<Selector, Status> failures;  // per-selector read failures
};

struct Device {
  ObjectID id = 0;
  std::string uid;
  double rate = 48000;
  std::vector<uint32_t> inputStreams;  // channels per input stream
  bool alive = true;
  // What 'slay' reports as the buffer count instead of the true one.
  std::optional<uint32_t> reportedBufferCount;
};

struct TapFormat {
  double rate = 48000;
  bool isFloat = true;
  std::vector<uint32_t> buffers{1};  // channels per buffer
  std::vector<double> gains;         // one per channel

  uint32_t channels() const;
};

struct FailureRule {
  std::string op;
  std::optional<Selector> selector;
  std::optional<ObjectID> object;
  Status status = 0;
  bool noObject = false;
  uint64_t skip = 0;     // matching calls let through before the rule applies
  uint32_t delayMs = 0;  // how long a matching call waits first
  uint64_t matched = 0;  // matching calls so far, counted by the platform
};

struct ScriptEntry {
  enum class Trigger { kAtMs, kAtCycle, kOnListRead };
  Trigger trigger = Trigger::kAtMs;
  uint64_t at = 0;

  std::optional<std::vector<Process>> processes;
  bool setsDefaultOutput = false;
  std::optional<std::string> defaultOutput;  // null: no default output
  std::optional<std::pair<std::string, double>> deviceRate;  // uid, rate
  std::optional<double> aggregateRate;
  std::optional<bool> aggregateAlive;
};

struct World {
  bool selfListed = false;
  ObjectID selfObject = 900;
  bool selfInput = false;
  bool selfOutput = false;
  std::vector<Process> processes;
  std::vector<Device> devices;
  std::optional<std::string> defaultOutput;
  TapFormat tap;
  uint32_t ioBufferFrames = 512;
  double speed = 1.0;
  std::vector<FailureRule> failures;
  std::vector<ScriptEntry> script;
  std::optional<std::string> callLog;
  bool logCycles = false;  // the call log tells how many cycles each stop ended
  bool logCycleTimes = false;  // ... and when each of them was handed over
  // A destroyed aggregate then reports itself dead, as the real platform may
  // while it finishes the destruction.
  bool deadAfterDestroy = false;
  // Script changes reach a program only once it runs its main loop or has
  // cleared the notification run loop ('rnlp').
  bool notificationsNeedRunLoop = false;
  // What deviceStart does on an aggregate with "tapautostart" while no
  // tapped process plays: start at once, wait inside the call, or return
  // and hold back the I/O cycles.
  enum class AutoStart { kImmediate, kStartWaits, kCyclesWait };
  AutoStart tapAutoStart = AutoStart::kImmediate;
  // The order in which the listeners of one script entry are notified.
  enum class ListenerOrder { kAsSet, kReversed, kShuffled };
  ListenerOrder listenerOrder = ListenerOrder::kAsSet;
  std::optional<uint32_t> listenerSeed;  // kShuffled; absent: a fresh one
};

/// Reads a world; on a bad world returns absent and says why in `error`.
std::optional<World> parseWorld(std::string_view json, std::string* error);

}  // namespace audio::sim

#endif  // NIMBREL_AUDIO_SIM_WORLD_H_
