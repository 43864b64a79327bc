// Fuzzes `sample(excluding)` on arbitrary simulated worlds built from the
// fuzz bytes: process objects with any PIDs, flags, per-object and global
// read failures, bundle identifiers, application names and paths, plus
// exclusions, prefixes and a part-filled name cache. The report must match a
// plain model of the sampling rules; whatever the model says, owners are
// sorted, the flags follow from the owners, and excluded PIDs and PIDs
// below 1 are never listed. A second sample, from the warm cache, is the same.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "audio/hardware.h"
#include "audio/sim/sim.h"
#include "fuzz/checks.h"
#include "fuzz/fuzz_input.h"
#include "probe/sampler.h"
#include "support/unicode_text.h"

namespace {

using fuzz::check;
using fuzz::validUtf8;
using nlohmann::json;

const char* const kSelectors[] = {"prs#", "ppid", "piri",
                                  "piro", "pbid", "uid "};

// The model's view of one process object of the world.
struct ModelProcess {
  uint32_t object = 0;
  int32_t pid = 0;
  std::optional<std::string> bundleID;
  bool input = false;
  bool output = false;
  bool hasApp = false;
  std::optional<std::string> appName;
  std::optional<std::string> path;
  std::map<std::string, int32_t> failures;  // selector text to status
};

struct ModelRule {
  std::string op;
  std::optional<std::string> selector;
  std::optional<uint32_t> object;
  int32_t status = 0;
  bool noObject = false;
};

struct ModelWorld {
  std::vector<ModelProcess> processes;
  bool selfListed = false;
  ModelProcess self;
  std::vector<ModelRule> rules;
};

// Text for names, bundle identifiers and prefixes: the fixed lists and
// pieces of them, canonically equivalent spellings, and odd characters.
std::string text(fuzz::FuzzInput& in) {
  static const std::string kPieces[] = {
      "com.apple.",
      "CoreSpeech",
      "assistantd",
      "corespeechd",
      "VTDecoderXPCService",
      "org.example.",
      "talker",
      "/",
      ".",
      " ",
      "Siri",
      "\xC3\xA9",      // e with acute, precomposed
      "e\xCC\x81",     // e, then the combining acute
      "\xE2\x84\xAA",  // Kelvin sign, canonically "K"
      "\xCC\x81",      // a lone combining mark
      "\xEF\xBF\xBD",
      "\xF0\x9F\x8E\xA7",
      std::string(1, '\0')};
  const uint32_t kinds = in.below(8);
  if (kinds == 0)
    return probe::kAlwaysOnMicHolders[in.below(
        uint32_t(probe::kAlwaysOnMicHolders.size()))];
  if (kinds == 1) {
    return probe::kAlwaysOnMicHolderNames[in.below(
        uint32_t(probe::kAlwaysOnMicHolderNames.size()))];
  }
  std::string out;
  for (uint32_t n = in.below(5); n > 0; --n) {
    if (in.flag()) {
      out += kPieces[in.below(sizeof kPieces / sizeof kPieces[0])];
    } else {
      out += char('a' + in.below(26));
    }
  }
  return out;
}

int32_t pid(fuzz::FuzzInput& in) {
  static const int32_t kPids[] = {1,
                                  2,
                                  3,
                                  7,
                                  100,
                                  0,
                                  -1,
                                  std::numeric_limits<int32_t>::min(),
                                  std::numeric_limits<int32_t>::max()};
  switch (in.below(4)) {
    case 0:
      return int32_t(getpid());
    case 1:
      return in.value<int32_t>();
    default:
      return kPids[in.below(sizeof kPids / sizeof kPids[0])];
  }
}

int32_t failureStatus(fuzz::FuzzInput& in) {
  switch (in.below(4)) {
    case 0:
      return 0;
    case 1:
      return in.value<int32_t>();
    default:
      return in.flag() ? -50 : 0x77686F3F;  // 'who?'
  }
}

std::string hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

// Builds the world both as JSON for the simulated platform and as the model.
json makeWorld(fuzz::FuzzInput& in, ModelWorld& world) {
  json out = json::object();
  std::set<uint32_t> used = {50};  // the default machine's speakers
  world.self.object = 900;
  if (in.below(3) == 0) {
    world.selfListed = true;
    json self = json::object();
    if (in.flag()) {
      world.self.object = 2 + in.below(40);
      if (world.self.object == 50) world.self.object = 900;
      self["object"] = world.self.object;
    }
    world.self.input = in.flag();
    world.self.output = in.flag();
    self["input"] = world.self.input;
    self["output"] = world.self.output;
    out["self"] = self;
  }
  world.self.pid = int32_t(getpid());
  used.insert(world.self.object);

  json processes = json::array();
  for (uint32_t n = in.below(9); n > 0; --n) {
    ModelProcess p;
    p.object = in.flag() ? 2 + in.below(40)
                         : std::max<uint32_t>(2, in.value<uint32_t>());
    while (used.count(p.object))
      p.object = p.object == UINT32_MAX ? 2 : p.object + 1;
    used.insert(p.object);
    p.pid = pid(in);
    json j = {{"object", p.object}, {"pid", p.pid}};
    switch (in.below(4)) {
      case 0:
        break;
      case 1:
        j["bundleID"] = nullptr;
        break;
      default:
        p.bundleID = text(in);
        j["bundleID"] = *p.bundleID;
    }
    const uint8_t flags = in.byte();
    p.input = flags & 1;
    p.output = flags & 2;
    if (p.input || in.flag()) j["input"] = p.input;
    if (p.output || in.flag()) j["output"] = p.output;
    switch (in.below(4)) {
      case 0:
        break;
      case 1:
        j["app"] = in.flag() ? json(nullptr) : json::object();
        p.hasApp = j["app"].is_object();
        break;
      default:
        p.hasApp = true;
        p.appName = text(in);
        j["app"] = {{"name", *p.appName}};
    }
    const uint32_t pathKind = in.below(16);
    if (pathKind < 3) {
      // no path: proc_pidpath fails
    } else if (pathKind < 6) {  // bytes that need not be UTF-8, none zero
      std::string bytes = in.bytes(16);
      std::replace(bytes.begin(), bytes.end(), '\0', '/');
      if (!bytes.empty()) {
        p.path = bytes;
        j["pathHex"] = hex(bytes);
      }
    } else if (pathKind ==
               6) {  // too long for the 4096-byte buffer, or just fitting
      p.path = "/" + std::string(4094 + in.below(3), 'x');
      j["path"] = *p.path;
    } else {
      p.path = (in.flag() ? "/Applications/" : "") + text(in) +
               (in.flag() ? "/" : "");
      j["path"] = *p.path;
    }
    if (in.below(4) == 0) {
      json failures = json::object();
      for (uint32_t k = in.below(3) + 1; k > 0; --k) {
        const std::string selector = kSelectors[1 + in.below(4)];
        const int32_t status = failureStatus(in);
        failures[selector] = status;
        if (status != 0) {
          p.failures[selector] = status;
        } else {
          p.failures.erase(selector);
        }
      }
      j["failures"] = failures;
    }
    processes.push_back(j);
    world.processes.push_back(std::move(p));
  }
  if (!processes.empty() || in.flag()) out["processes"] = processes;

  json rules = json::array();
  for (uint32_t n = in.below(8) < 5 ? 0 : in.below(3) + 1; n > 0; --n) {
    ModelRule rule;
    rule.op = in.flag() ? "get" : in.below(4) == 0 ? "start" : "getSize";
    json j = {{"op", rule.op}};
    if (in.below(4) != 0) {
      rule.selector = kSelectors[in.below(6)];
      j["selector"] = *rule.selector;
    }
    if (in.flag()) {
      const uint32_t pick = in.below(4);
      rule.object =
          pick == 0   ? 1u
          : pick == 1 ? 0u
          : world.processes.empty()
              ? 7u
              : world.processes[in.below(uint32_t(world.processes.size()))]
                    .object;
      j["object"] = *rule.object;
    }
    rule.status = failureStatus(in);
    j["status"] = rule.status;
    if (in.flag()) {
      rule.noObject = in.flag();
      j["noObject"] = rule.noObject;
    }
    rules.push_back(j);
    world.rules.push_back(std::move(rule));
  }
  if (!rules.empty()) out["failures"] = rules;
  return out;
}

// ---- The model: the sampling rules over the model world.

// The simulated platform's rule: the first matching rule that is not inert
// decides the call; its status is returned and nothing is read.
std::optional<int32_t> ruleFor(const ModelWorld& w, const std::string& op,
                               const std::string& selector, uint32_t object) {
  for (const ModelRule& r : w.rules) {
    if (r.op != op || (r.selector && *r.selector != selector) ||
        (r.object && *r.object != object)) {
      continue;
    }
    if (r.status == 0 && !r.noObject) continue;
    return r.status;
  }
  return std::nullopt;
}

const ModelProcess* processOf(const ModelWorld& w, uint32_t object) {
  if (object == w.self.object) return &w.self;
  for (const ModelProcess& p : w.processes) {
    if (p.object == object) return &p;
  }
  return nullptr;
}

// A read of a process property: the value, or absent when the read fails or
// succeeds without filling the value.
template <typename T>
std::optional<T> readModel(const ModelWorld& w, uint32_t object,
                           const std::string& selector,
                           T ModelProcess::*field) {
  if (ruleFor(w, "get", selector, object)) return std::nullopt;
  const ModelProcess* p = processOf(w, object);
  if (!p || p->failures.count(selector)) return std::nullopt;
  return p->*field;
}

// The last path component, trailing slashes disregarded ("/" stays "/").
std::string lastComponent(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p == "/") return p;
  const size_t slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

probe::CachedName modelName(const ModelWorld& w, int32_t pid) {
  const ModelProcess* first = nullptr;
  for (const ModelProcess& p : w.processes) {
    if (p.pid == pid) {
      first = &p;
      break;
    }
  }
  if (first && first->hasApp && first->appName) return {*first->appName, true};
  if (first && first->path && !first->path->empty() &&
      first->path->size() < 4096) {
    // The bytes up to the first zero byte.
    const std::string bytes = first->path->substr(0, first->path->find('\0'));
    if (validUtf8(bytes)) return {lastComponent(bytes), false};
    const std::string name = probe::nameFromPath(bytes);  // U+FFFD repair
    check(validUtf8(name));
    return {name, false};
  }
  return {"pid " + std::to_string(pid), false};
}

bool modelIgnored(const std::optional<std::string>& bundleID,
                  const std::string& name) {
  if (bundleID) {
    for (const std::string& prefix : probe::excludedBundlePrefixes) {
      if (!prefix.empty() && support::textHasPrefix(*bundleID, prefix))
        return true;
    }
    for (const char* holder : probe::kAlwaysOnMicHolders) {
      if (support::textEqual(*bundleID, holder)) return true;
    }
  }
  for (const char* holder : probe::kAlwaysOnMicHolderNames) {
    if (support::textEqual(name, holder)) return true;
  }
  return false;
}

probe::Report modelSample(const ModelWorld& w,
                          const std::unordered_set<int32_t>& excluding,
                          std::map<int32_t, probe::CachedName>& cache) {
  probe::Report report;
  std::vector<uint32_t> objects;
  for (const ModelProcess& p : w.processes) objects.push_back(p.object);
  if (w.selfListed) objects.push_back(w.self.object);
  if (ruleFor(w, "getSize", "prs#", 1) || objects.empty()) return report;
  if (auto status = ruleFor(w, "get", "prs#", 1)) {
    if (*status != 0) return report;
    std::fill(objects.begin(), objects.end(), 0u);  // read "succeeded" unfilled
  }
  for (uint32_t object : objects) {
    const std::optional<int32_t> pid =
        readModel(w, object, "ppid", &ModelProcess::pid);
    if (!pid || *pid < 1 || excluding.count(*pid)) continue;
    probe::Owner owner;
    owner.pid = *pid;
    owner.input =
        readModel(w, object, "piri", &ModelProcess::input).value_or(false);
    owner.output =
        readModel(w, object, "piro", &ModelProcess::output).value_or(false);
    if (!owner.input && !owner.output) continue;
    owner.bundleID = readModel(w, object, "pbid", &ModelProcess::bundleID)
                         .value_or(std::nullopt);
    auto cached = cache.find(*pid);
    if (cached == cache.end())
      cached = cache.emplace(*pid, modelName(w, *pid)).first;
    owner.name = cached->second.name;
    owner.gui = cached->second.gui;
    owner.ignored = modelIgnored(owner.bundleID, owner.name);
    report.micHot = report.micHot || (owner.input && !owner.ignored);
    report.audioPlaying =
        report.audioPlaying || (owner.output && !owner.ignored);
    report.owners.push_back(std::move(owner));
  }
  std::stable_sort(report.owners.begin(), report.owners.end(),
                   [](const probe::Owner& a, const probe::Owner& b) {
                     return a.input != b.input ? a.input : a.pid < b.pid;
                   });
  return report;
}

// Byte-for-byte equality, stricter than the reports' Unicode equality.
bool sameBytes(const probe::Report& a, const probe::Report& b) {
  if (a.type != b.type || a.micHot != b.micHot ||
      a.audioPlaying != b.audioPlaying || a.owners.size() != b.owners.size()) {
    return false;
  }
  for (size_t k = 0; k < a.owners.size(); ++k) {
    const probe::Owner &x = a.owners[k], &y = b.owners[k];
    if (x.pid != y.pid || x.name != y.name || x.bundleID != y.bundleID ||
        x.input != y.input || x.output != y.output || x.gui != y.gui ||
        x.ignored != y.ignored) {
      return false;
    }
  }
  return true;
}

// What must hold whatever the world was.
void checkInvariants(const probe::Report& report,
                     const std::unordered_set<int32_t>& excluding) {
  check(report.type == "state");
  bool micHot = false, audioPlaying = false;
  for (size_t k = 0; k < report.owners.size(); ++k) {
    const probe::Owner& o = report.owners[k];
    check(o.pid >= 1 && !excluding.count(o.pid));
    check(o.input || o.output);
    micHot = micHot || (o.input && !o.ignored);
    audioPlaying = audioPlaying || (o.output && !o.ignored);
    if (k > 0) {
      const probe::Owner& p = report.owners[k - 1];
      check(p.input > o.input || (p.input == o.input && p.pid <= o.pid));
    }
  }
  check(report.micHot == micHot && report.audioPlaying == audioPlaying);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool tablesSet = [] {
    probe::alwaysOnMicHolders = {probe::kAlwaysOnMicHolders.begin(),
                                 probe::kAlwaysOnMicHolders.end()};
    probe::alwaysOnMicHolderNames = {probe::kAlwaysOnMicHolderNames.begin(),
                                     probe::kAlwaysOnMicHolderNames.end()};
    return true;
  }();
  (void)tablesSet;

  fuzz::FuzzInput in(data, size);
  ModelWorld world;
  const json worldJson = makeWorld(in, world);

  std::unordered_set<int32_t> excluding;
  for (uint32_t n = in.below(4); n > 0; --n) {
    excluding.insert(
        in.flag() && !world.processes.empty()
            ? world.processes[in.below(uint32_t(world.processes.size()))].pid
            : pid(in));
  }
  probe::excludedBundlePrefixes.clear();
  for (uint32_t n = in.below(3); n > 0; --n)
    probe::excludedBundlePrefixes.push_back(text(in));
  // Names already cached, as from earlier ticks.
  probe::nameCache.clear();
  std::map<int32_t, probe::CachedName> cache;
  for (uint32_t n = in.below(4) == 0 ? 1 + in.below(2) : 0; n > 0; --n) {
    const int32_t cachedPid = pid(in);
    probe::CachedName name{text(in), in.flag()};
    if (probe::nameCache.emplace(cachedPid, name).second)
      cache.emplace(cachedPid, name);
  }

  audio::sim::loadWorld(worldJson.dump());
  const probe::Report report = probe::sample(excluding);
  checkInvariants(report, excluding);
  check(sameBytes(report, modelSample(world, excluding, cache)));
  check(audio::sim::liveStringCount() == 0);

  // The same world again, every name now from the cache.
  check(sameBytes(probe::sample(excluding), report));
  check(audio::sim::liveStringCount() == 0);

  // Leave as many allocations as were found, so that libFuzzer does not
  // take the cache and the world for a leak and re-run every input to check.
  probe::nameCache.clear();
  probe::excludedBundlePrefixes.clear();
  audio::sim::loadWorld("{}");
  return 0;
}
