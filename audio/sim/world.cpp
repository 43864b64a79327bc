// Reads the simulated world from JSON, strictly: an unknown key or a value of
// the wrong type is an error, so a typo in a test's world never passes.
#include "audio/sim/world.h"

#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>

namespace audio::sim {

double Signal::at(uint64_t n) const {
  switch (kind) {
    case Kind::kSilence:
      return 0;
    case Kind::kConstant:
      return value;
    case Kind::kRamp:
      return start + step * double(n % period);
    case Kind::kSquare:
      return 2 * (n % period) < period ? value : -value;
  }
  return 0;
}

uint32_t TapFormat::channels() const {
  uint32_t sum = 0;
  for (uint32_t c : buffers) sum += c;
  return sum;
}

namespace {

using nlohmann::json;

// Reads values at a path, keeping the first error; every reader returns
// absent once an error has been found.
class Reader {
 public:
  std::string error;

  bool ok() const { return error.empty(); }

  void fail(const std::string& path, const std::string& what) {
    if (error.empty()) error = path + ": " + what;
  }

  bool object(const json& v, const std::string& path,
              std::initializer_list<const char*> allowed) {
    if (!ok()) return false;
    if (!v.is_object()) {
      fail(path, "expected an object");
      return false;
    }
    for (auto it = v.begin(); it != v.end(); ++it) {
      bool known = false;
      for (const char* key : allowed) known = known || it.key() == key;
      if (!known) {
        fail(path, "unknown key \"" + it.key() + "\"");
        return false;
      }
    }
    return true;
  }

  // Calls read(element, path, index) for each element of the array `v`,
  // each an object with only `allowed` keys, until the first error.
  template <class Read>
  void eachObject(const json& v, const std::string& path,
                  std::initializer_list<const char*> allowed, Read read) {
    if (!array(v, path)) return;
    for (size_t i = 0; i < v.size() && ok(); ++i) {
      std::string at = path + "[" + std::to_string(i) + "]";
      if (!object(v[i], at, allowed)) return;
      read(v[i], at, i);
    }
  }

  const json* array(const json& v, const std::string& path) {
    if (!ok()) return nullptr;
    if (!v.is_array()) {
      fail(path, "expected an array");
      return nullptr;
    }
    return &v;
  }

  std::optional<bool> boolean(const json& v, const std::string& path) {
    if (!ok()) return std::nullopt;
    if (!v.is_boolean()) {
      fail(path, "expected true or false");
      return std::nullopt;
    }
    return v.get<bool>();
  }

  std::optional<std::string> string(const json& v, const std::string& path) {
    if (!ok()) return std::nullopt;
    if (!v.is_string()) {
      fail(path, "expected a string");
      return std::nullopt;
    }
    return v.get<std::string>();
  }

  // The position of the string `v` among `names`.
  std::optional<size_t> choice(const json& v, const std::string& path,
                               std::initializer_list<const char*> names) {
    std::optional<std::string> text = string(v, path);
    if (!text) return std::nullopt;
    std::string expected = "expected ";
    size_t i = 0;
    for (const char* name : names) {
      if (*text == name) return i;
      expected += std::string(i == 0                  ? ""
                              : i + 1 == names.size() ? " or "
                                                      : ", ") +
                  "\"" + name + "\"";
      ++i;
    }
    fail(path, expected);
    return std::nullopt;
  }

  std::optional<int64_t> integer(const json& v, const std::string& path,
                                 int64_t min, int64_t max) {
    if (!ok()) return std::nullopt;
    bool tooLarge =
        v.is_number_unsigned() &&
        v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max());
    if (!v.is_number_integer() || tooLarge || v.get<int64_t>() < min ||
        v.get<int64_t>() > max) {
      fail(path, "expected an integer from " + std::to_string(min) + " to " +
                     std::to_string(max));
      return std::nullopt;
    }
    return v.get<int64_t>();
  }

  std::optional<double> number(const json& v, const std::string& path,
                               double min) {
    if (!ok()) return std::nullopt;
    if (!v.is_number() || !(v.get<double>() >= min)) {
      fail(path, "expected a number of at least " + std::to_string(min));
      return std::nullopt;
    }
    return v.get<double>();
  }

  std::optional<uint32_t> fourChar(const std::string& text,
                                   const std::string& path) {
    if (!ok()) return std::nullopt;
    if (text.size() != 4) {
      fail(path, "expected a four-character code");
      return std::nullopt;
    }
    uint32_t code = 0;
    for (char c : text) code = (code << 8) | uint8_t(c);
    return code;
  }
};

constexpr int64_t kMaxU32 = std::numeric_limits<uint32_t>::max();
constexpr int64_t kMinI32 = std::numeric_limits<int32_t>::min();
constexpr int64_t kMaxI32 = std::numeric_limits<int32_t>::max();

std::optional<std::string> decodeHex(const std::string& hex) {
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string bytes;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int value = 0;
    for (size_t k = i; k < i + 2; ++k) {
      char c = hex[k];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return std::nullopt;
      value = value * 16 + digit;
    }
    if (value == 0) return std::nullopt;  // proc_pidpath stops at a zero byte
    bytes.push_back(char(value));
  }
  return bytes;
}

Signal readSignal(Reader& r, const json& v, const std::string& path) {
  Signal signal;
  if (!r.object(v, path, {"kind", "value", "start", "step", "period"}))
    return signal;
  if (!v.contains("kind")) {
    r.fail(path, "missing \"kind\"");
    return signal;
  }
  std::string kind = r.string(v["kind"], path + ".kind").value_or("");
  if (kind == "constant") {
    signal.kind = Signal::Kind::kConstant;
    r.object(v, path, {"kind", "value"});
  } else if (kind == "ramp") {
    signal.kind = Signal::Kind::kRamp;
    r.object(v, path, {"kind", "start", "step", "period"});
  } else if (kind == "square") {
    signal.kind = Signal::Kind::kSquare;
    r.object(v, path, {"kind", "value", "period"});
  } else {
    r.fail(path + ".kind", "expected \"constant\", \"ramp\" or \"square\"");
  }
  if (!r.ok()) return signal;
  auto real = [&](const char* key) {
    return v.contains(key)
               ? r.number(v[key], path + "." + key, -1e9).value_or(0)
               : 0;
  };
  signal.value = real("value");
  signal.start = real("start");
  signal.step = real("step");
  if (signal.kind != Signal::Kind::kConstant) {
    if (!v.contains("period")) {
      r.fail(path, "missing \"period\"");
    } else {
      signal.period = uint64_t(
          r.integer(v["period"], path + ".period", 1, kMaxU32).value_or(1));
    }
  }
  return signal;
}

std::vector<Process> readProcesses(Reader& r, const json& v,
                                   const std::string& path) {
  std::vector<Process> processes;
  r.eachObject(
      v, path,
      {"object", "pid", "bundleID", "input", "output", "app", "path", "pathHex",
       "signal", "failures"},
      [&](const json& p, const std::string& at, size_t i) {
        Process process;
        process.object = ObjectID(100 + i);
        process.pid = int32_t(1000 + i);
        if (p.contains("object")) {
          process.object = ObjectID(
              r.integer(p["object"], at + ".object", 2, kMaxU32).value_or(0));
        }
        if (p.contains("pid")) {
          process.pid = int32_t(
              r.integer(p["pid"], at + ".pid", kMinI32, kMaxI32).value_or(0));
        }
        if (p.contains("bundleID") && !p["bundleID"].is_null()) {
          process.bundleID = r.string(p["bundleID"], at + ".bundleID");
        }
        if (p.contains("input"))
          process.input = r.boolean(p["input"], at + ".input").value_or(false);
        if (p.contains("output")) {
          process.output =
              r.boolean(p["output"], at + ".output").value_or(false);
        }
        if (p.contains("app") && !p["app"].is_null()) {
          process.hasApp = r.object(p["app"], at + ".app", {"name"});
          if (process.hasApp && p["app"].contains("name")) {
            process.appName = r.string(p["app"]["name"], at + ".app.name");
          }
        }
        if (p.contains("path") && p.contains("pathHex")) {
          r.fail(at, "give \"path\" or \"pathHex\", not both");
        } else if (p.contains("path")) {
          process.path = r.string(p["path"], at + ".path");
        } else if (p.contains("pathHex")) {
          std::optional<std::string> hex =
              r.string(p["pathHex"], at + ".pathHex");
          if (hex) {
            process.path = decodeHex(*hex);
            if (!process.path)
              r.fail(at + ".pathHex", "expected pairs of hex digits, none 00");
          }
        }
        if (p.contains("signal"))
          process.signal = readSignal(r, p["signal"], at + ".signal");
        if (p.contains("failures")) {
          const json& f = p["failures"];
          if (!f.is_object()) {
            r.fail(at + ".failures", "expected an object");
          } else {
            for (auto it = f.begin(); it != f.end() && r.ok(); ++it) {
              std::string fat = at + ".failures." + it.key();
              std::optional<uint32_t> selector = r.fourChar(it.key(), fat);
              std::optional<int64_t> status =
                  r.integer(it.value(), fat, kMinI32, kMaxI32);
              if (selector && status && *status != 0) {
                process.failures[*selector] = Status(*status);
              }
            }
          }
        }
        processes.push_back(std::move(process));
      });
  std::set<ObjectID> objects;
  for (const Process& p : processes) {
    if (!objects.insert(p.object).second) {
      r.fail(path,
             "process object " + std::to_string(p.object) + " listed twice");
    }
  }
  return processes;
}

std::vector<Device> readDevices(Reader& r, const json& v) {
  std::vector<Device> devices;
  r.eachObject(
      v, "devices",
      {"id", "uid", "rate", "inputStreams", "alive", "reportedBufferCount"},
      [&](const json& d, const std::string& at, size_t i) {
        Device device;
        device.id = ObjectID(50 + i);
        device.uid = "nimbrel-sim-device-" + std::to_string(i);
        if (d.contains("id"))
          device.id =
              ObjectID(r.integer(d["id"], at + ".id", 2, kMaxU32).value_or(0));
        if (d.contains("uid"))
          device.uid = r.string(d["uid"], at + ".uid").value_or("");
        if (d.contains("rate"))
          device.rate = r.number(d["rate"], at + ".rate", 0).value_or(0);
        if (d.contains("inputStreams") &&
            r.array(d["inputStreams"], at + ".inputStreams")) {
          for (size_t k = 0; k < d["inputStreams"].size(); ++k) {
            device.inputStreams.push_back(uint32_t(
                r.integer(d["inputStreams"][k], at + ".inputStreams", 1, 1024)
                    .value_or(1)));
          }
        }
        if (d.contains("alive"))
          device.alive = r.boolean(d["alive"], at + ".alive").value_or(true);
        if (d.contains("reportedBufferCount")) {
          device.reportedBufferCount =
              uint32_t(r.integer(d["reportedBufferCount"],
                                 at + ".reportedBufferCount", 0, kMaxU32)
                           .value_or(0));
        }
        devices.push_back(std::move(device));
      });
  return devices;
}

TapFormat readTap(Reader& r, const json& v) {
  TapFormat tap;
  if (!r.object(v, "tap", {"rate", "float", "buffers", "gains"})) return tap;
  if (v.contains("rate"))
    tap.rate = r.number(v["rate"], "tap.rate", 0).value_or(0);
  if (v.contains("float"))
    tap.isFloat = r.boolean(v["float"], "tap.float").value_or(true);
  if (v.contains("buffers") && r.array(v["buffers"], "tap.buffers")) {
    tap.buffers.clear();
    for (const json& c : v["buffers"]) {
      tap.buffers.push_back(
          uint32_t(r.integer(c, "tap.buffers", 1, 64).value_or(1)));
    }
  }
  if (v.contains("gains") && r.array(v["gains"], "tap.gains")) {
    for (const json& g : v["gains"])
      tap.gains.push_back(r.number(g, "tap.gains", -1e9).value_or(0));
  }
  if (tap.gains.size() > tap.channels())
    r.fail("tap.gains", "more gains than channels");
  tap.gains.resize(tap.channels(), 1.0);
  return tap;
}

std::vector<FailureRule> readFailures(Reader& r, const json& v) {
  static const std::set<std::string> kOps = {"get",
                                             "getSize",
                                             "createProcessTap",
                                             "destroyProcessTap",
                                             "createAggregateDevice",
                                             "destroyAggregateDevice",
                                             "createIOProc",
                                             "destroyIOProc",
                                             "start",
                                             "stop",
                                             "addListener",
                                             "startThread"};
  std::vector<FailureRule> rules;
  r.eachObject(
      v, "failures",
      {"op", "selector", "object", "status", "noObject", "skip", "delayMs"},
      [&](const json& f, const std::string& at, size_t) {
        FailureRule rule;
        if (!f.contains("op")) {
          r.fail(at, "missing \"op\"");
          return;
        }
        rule.op = r.string(f["op"], at + ".op").value_or("");
        if (r.ok() && !kOps.count(rule.op))
          r.fail(at + ".op", "unknown operation \"" + rule.op + "\"");
        if (f.contains("selector")) {
          std::optional<std::string> text =
              r.string(f["selector"], at + ".selector");
          if (text) rule.selector = r.fourChar(*text, at + ".selector");
        }
        if (f.contains("object")) {
          rule.object = ObjectID(
              r.integer(f["object"], at + ".object", 0, kMaxU32).value_or(0));
        }
        if (f.contains("status")) {
          rule.status =
              Status(r.integer(f["status"], at + ".status", kMinI32, kMaxI32)
                         .value_or(0));
        }
        if (f.contains("noObject"))
          rule.noObject =
              r.boolean(f["noObject"], at + ".noObject").value_or(false);
        if (f.contains("skip"))
          rule.skip = uint64_t(
              r.integer(f["skip"], at + ".skip", 0, kMaxU32).value_or(0));
        if (f.contains("delayMs")) {
          rule.delayMs = uint32_t(
              r.integer(f["delayMs"], at + ".delayMs", 0, 600000).value_or(0));
        }
        rules.push_back(std::move(rule));
      });
  return rules;
}

std::vector<ScriptEntry> readScript(Reader& r, const json& v) {
  std::vector<ScriptEntry> script;
  r.eachObject(
      v, "script",
      {"atMs", "atCycle", "onListRead", "processes", "defaultOutput",
       "aggregateAlive", "aggregateRate", "deviceRate"},
      [&](const json& e, const std::string& at, size_t) {
        ScriptEntry entry;
        int triggers = 0;
        if (e.contains("atMs")) {
          ++triggers;
          entry.trigger = ScriptEntry::Trigger::kAtMs;
          entry.at = uint64_t(
              r.integer(e["atMs"], at + ".atMs", 0, kMaxU32).value_or(0));
        }
        if (e.contains("atCycle")) {
          ++triggers;
          entry.trigger = ScriptEntry::Trigger::kAtCycle;
          entry.at = uint64_t(
              r.integer(e["atCycle"], at + ".atCycle", 1, kMaxU32).value_or(0));
        }
        if (e.contains("onListRead")) {
          ++triggers;
          entry.trigger = ScriptEntry::Trigger::kOnListRead;
          entry.at = uint64_t(
              r.integer(e["onListRead"], at + ".onListRead", 1, kMaxU32)
                  .value_or(0));
        }
        if (triggers != 1)
          r.fail(at,
                 "needs exactly one of \"atMs\", \"atCycle\", \"onListRead\"");
        if (e.contains("processes"))
          entry.processes = readProcesses(r, e["processes"], at + ".processes");
        if (e.contains("defaultOutput")) {
          entry.setsDefaultOutput = true;
          if (!e["defaultOutput"].is_null()) {
            entry.defaultOutput =
                r.string(e["defaultOutput"], at + ".defaultOutput");
          }
        }
        if (e.contains("aggregateAlive")) {
          entry.aggregateAlive =
              r.boolean(e["aggregateAlive"], at + ".aggregateAlive");
        }
        if (e.contains("aggregateRate")) {
          entry.aggregateRate =
              r.number(e["aggregateRate"], at + ".aggregateRate", 0);
        }
        if (e.contains("deviceRate") &&
            r.object(e["deviceRate"], at + ".deviceRate", {"uid", "rate"})) {
          const json& d = e["deviceRate"];
          if (!d.contains("uid") || !d.contains("rate")) {
            r.fail(at + ".deviceRate", "needs \"uid\" and \"rate\"");
          } else {
            std::optional<std::string> uid =
                r.string(d["uid"], at + ".deviceRate.uid");
            std::optional<double> rate =
                r.number(d["rate"], at + ".deviceRate.rate", 0);
            if (uid && rate) entry.deviceRate = std::make_pair(*uid, *rate);
          }
        }
        script.push_back(std::move(entry));
      });
  return script;
}

// A default output UID that no device has names a plain device, added here.
void addImplicitDevice(World& world, const std::string& uid) {
  for (const Device& d : world.devices) {
    if (d.uid == uid) return;
  }
  std::set<ObjectID> used;
  for (const Device& d : world.devices) used.insert(d.id);
  Device device;
  device.id = 50;
  while (used.count(device.id)) ++device.id;
  device.uid = uid;
  world.devices.push_back(std::move(device));
}

void checkObjectIDs(Reader& r, const World& world) {
  std::set<ObjectID> used{world.selfObject};
  std::set<std::string> uids;
  for (const Process& p : world.processes) {
    if (!used.insert(p.object).second) {
      r.fail("processes",
             "object " + std::to_string(p.object) + " is used twice");
    }
  }
  for (const Device& d : world.devices) {
    if (!used.insert(d.id).second)
      r.fail("devices", "id " + std::to_string(d.id) + " is used twice");
    if (!uids.insert(d.uid).second)
      r.fail("devices", "uid \"" + d.uid + "\" is used twice");
  }
  for (const ScriptEntry& e : world.script) {
    for (const Process& p : e.processes.value_or(std::vector<Process>{})) {
      bool isDevice = false;
      for (const Device& d : world.devices)
        isDevice = isDevice || d.id == p.object;
      if (isDevice || p.object == world.selfObject) {
        r.fail("script",
               "process object " + std::to_string(p.object) + " is used twice");
      }
    }
    if (e.deviceRate && !uids.count(e.deviceRate->first)) {
      r.fail("script", "deviceRate names an unknown device \"" +
                           e.deviceRate->first + "\"");
    }
  }
}

}  // namespace

std::optional<World> parseWorld(std::string_view text, std::string* error) {
  json v = json::parse(text.begin(), text.end(), nullptr, false);
  Reader r;
  World world;
  if (v.is_discarded()) {
    r.fail("world", "not valid JSON");
  } else if (r.object(v, "world",
                      {"self", "processes", "devices", "defaultOutput", "tap",
                       "ioBufferFrames", "speed", "failures", "script",
                       "callLog", "logCycles", "logCycleTimes",
                       "deadAfterDestroy", "notificationsNeedRunLoop",
                       "tapAutoStart", "listenerOrder", "listenerSeed"})) {
    if (v.contains("self") &&
        r.object(v["self"], "self", {"object", "input", "output"})) {
      const json& s = v["self"];
      world.selfListed = true;
      if (s.contains("object")) {
        world.selfObject = ObjectID(
            r.integer(s["object"], "self.object", 2, kMaxU32).value_or(0));
      }
      if (s.contains("input"))
        world.selfInput = r.boolean(s["input"], "self.input").value_or(false);
      if (s.contains("output")) {
        world.selfOutput =
            r.boolean(s["output"], "self.output").value_or(false);
      }
    }
    if (v.contains("processes"))
      world.processes = readProcesses(r, v["processes"], "processes");
    if (v.contains("devices")) {
      world.devices = readDevices(r, v["devices"]);
    } else {
      world.devices.push_back(
          Device{50, "nimbrel-sim-speakers", 48000, {}, true, std::nullopt});
    }
    if (!v.contains("defaultOutput")) {
      if (!world.devices.empty())
        world.defaultOutput = world.devices.front().uid;
    } else if (!v["defaultOutput"].is_null()) {
      world.defaultOutput = r.string(v["defaultOutput"], "defaultOutput");
    }
    if (v.contains("tap")) world.tap = readTap(r, v["tap"]);
    if (world.tap.gains.size() < world.tap.channels())
      world.tap.gains.resize(world.tap.channels(), 1.0);
    if (v.contains("ioBufferFrames")) {
      world.ioBufferFrames =
          uint32_t(r.integer(v["ioBufferFrames"], "ioBufferFrames", 1, 65536)
                       .value_or(1));
    }
    if (v.contains("speed")) {
      world.speed = r.number(v["speed"], "speed", 0).value_or(1);
      if (r.ok() && !(world.speed > 0 && world.speed <= 1000)) {
        r.fail("speed", "expected a number above 0 and at most 1000");
      }
    }
    if (v.contains("failures")) world.failures = readFailures(r, v["failures"]);
    if (v.contains("script")) world.script = readScript(r, v["script"]);
    if (v.contains("callLog"))
      world.callLog = r.string(v["callLog"], "callLog");
    if (v.contains("logCycles"))
      world.logCycles = r.boolean(v["logCycles"], "logCycles").value_or(false);
    if (v.contains("logCycleTimes")) {
      world.logCycleTimes =
          r.boolean(v["logCycleTimes"], "logCycleTimes").value_or(false);
    }
    if (v.contains("deadAfterDestroy")) {
      world.deadAfterDestroy =
          r.boolean(v["deadAfterDestroy"], "deadAfterDestroy").value_or(false);
    }
    if (v.contains("notificationsNeedRunLoop")) {
      world.notificationsNeedRunLoop =
          r.boolean(v["notificationsNeedRunLoop"], "notificationsNeedRunLoop")
              .value_or(false);
    }
    if (v.contains("tapAutoStart")) {
      if (auto mode = r.choice(v["tapAutoStart"], "tapAutoStart",
                               {"immediate", "startWaits", "cyclesWait"}))
        world.tapAutoStart = World::AutoStart(*mode);
    }
    if (v.contains("listenerOrder")) {
      if (auto order = r.choice(v["listenerOrder"], "listenerOrder",
                                {"asSet", "reversed", "shuffled"}))
        world.listenerOrder = World::ListenerOrder(*order);
    }
    if (v.contains("listenerSeed")) {
      world.listenerSeed = uint32_t(
          r.integer(v["listenerSeed"], "listenerSeed", 0, kMaxU32).value_or(0));
    }
    if (r.ok()) {
      if (world.defaultOutput) addImplicitDevice(world, *world.defaultOutput);
      for (const ScriptEntry& e : world.script) {
        if (e.defaultOutput) addImplicitDevice(world, *e.defaultOutput);
      }
      checkObjectIDs(r, world);
    }
  }
  if (!r.ok()) {
    if (error) *error = r.error;
    return std::nullopt;
  }
  return world;
}

}  // namespace audio::sim
