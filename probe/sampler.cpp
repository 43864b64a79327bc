// Sampling the audio system's process objects into a Report.
#include "probe/sampler.h"

#include <algorithm>
#include <cstring>

#include "audio/hardware.h"
#include "audio/process_info.h"
#include "support/unicode_text.h"
#include "support/utf8.h"

namespace probe {

std::unordered_set<std::string>& alwaysOnMicHolders =
    *new std::unordered_set<std::string>;
std::unordered_set<std::string>& alwaysOnMicHolderNames =
    *new std::unordered_set<std::string>;
std::vector<std::string>& excludedBundlePrefixes =
    *new std::vector<std::string>;
std::unordered_map<int32_t, CachedName>& nameCache =
    *new std::unordered_map<int32_t, CachedName>;

namespace {

constexpr uint32_t kPathBufferSize = 4096;  // PROC_PIDPATHINFO_MAXSIZE

std::vector<audio::ObjectID> readProcessObjects() {
  const auto address = audio::globalAddress(audio::kProcessObjectList);
  uint32_t size = 0;
  if (audio::getPropertyDataSize(audio::kSystemObject, address, 0, nullptr,
                                 &size) != audio::kNoError ||
      size < sizeof(audio::ObjectID)) {
    return {};
  }
  // Room for every byte of `size` (which need not be a multiple of 4), but
  // only whole entries count. Entries the read leaves unfilled stay 0 and
  // fail their PID read.
  std::vector<audio::ObjectID> objects((size + 3) / 4, audio::kUnknownObject);
  uint32_t ioSize = size;
  if (audio::getPropertyData(audio::kSystemObject, address, 0, nullptr, &ioSize,
                             objects.data()) != audio::kNoError) {
    return {};
  }
  objects.resize(size / 4);
  return objects;
}

template <typename T>
bool readScalar(audio::ObjectID object, audio::Selector selector, T& value) {
  uint32_t size = sizeof(T);
  return audio::getPropertyData(object, audio::globalAddress(selector), 0,
                                nullptr, &size, &value) == audio::kNoError;
}

bool readFlag(audio::ObjectID object, audio::Selector selector) {
  uint32_t value = 0;
  return readScalar(object, selector, value) && value != 0;
}

std::optional<std::string> readBundleID(audio::ObjectID object) {
  audio::StringRef string = nullptr;
  const bool read = readScalar(object, audio::kProcessBundleID, string);
  std::optional<std::string> bundleID;
  if (read && string) bundleID = audio::stringValue(string);
  if (string) audio::releaseString(string);
  return bundleID;
}

// Localized application name, else the executable's file name, else
// "pid N"; whatever comes out is cached, the "pid N" form included.
const CachedName& resolveName(int32_t pid) {
  if (const auto cached = nameCache.find(pid); cached != nameCache.end()) {
    return cached->second;
  }
  CachedName entry{"pid " + std::to_string(pid), false};
  if (auto name = audio::runningApplicationName(pid)) {
    entry = {std::move(*name), true};
  } else {
    char path[kPathBufferSize] = {};
    if (audio::processPath(pid, path, kPathBufferSize) >= 1) {
      entry.name = nameFromPath({path, strnlen(path, kPathBufferSize)});
    }
  }
  return nameCache.emplace(pid, std::move(entry)).first->second;
}

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x80;
  });
}

// Membership as Unicode text. The members are canonical, so ASCII text (its
// own canonical form) needs only the hash look-up; anything else is compared
// member by member.
bool containsText(const std::unordered_set<std::string>& set,
                  const std::string& text) {
  if (set.count(text) != 0) return true;
  if (isAscii(text)) return false;
  return std::any_of(set.begin(), set.end(), [&](const std::string& member) {
    return support::textEqual(member, text);
  });
}

bool isIgnored(const std::optional<std::string>& bundleID,
               const std::string& name) {
  if (bundleID) {
    // Never compared as raw bytes, which could match inside a character.
    const std::string text = support::repairUtf8(*bundleID);
    for (const std::string& prefix : excludedBundlePrefixes) {
      if (!prefix.empty() && support::textHasPrefix(text, prefix)) {
        return true;
      }
    }
    if (containsText(alwaysOnMicHolders, text)) return true;
  }
  return containsText(alwaysOnMicHolderNames, name);
}

}  // namespace

std::string nameFromPath(std::string_view pathBytes) {
  const std::string path = support::repairUtf8(pathBytes);
  const size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? path : "/";
  const size_t slash = path.rfind('/', end);
  const size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end + 1 - start);
}

Report sample(const std::unordered_set<int32_t>& excluding) {
  Report report;
  for (const audio::ObjectID object : readProcessObjects()) {
    int32_t pid = -1;
    if (!readScalar(object, audio::kProcessPID, pid) || pid < 1) continue;
    if (excluding.count(pid) != 0) continue;
    Owner owner;
    owner.pid = pid;
    owner.input = readFlag(object, audio::kProcessIsRunningInput);
    owner.output = readFlag(object, audio::kProcessIsRunningOutput);
    if (!owner.input && !owner.output) continue;
    owner.bundleID = readBundleID(object);
    const CachedName& name = resolveName(pid);
    owner.name = name.name;
    owner.gui = name.gui;
    owner.ignored = isIgnored(owner.bundleID, owner.name);
    if (!owner.ignored) {
      report.micHot = report.micHot || owner.input;
      report.audioPlaying = report.audioPlaying || owner.output;
    }
    report.owners.push_back(std::move(owner));
  }
  std::stable_sort(report.owners.begin(), report.owners.end(),
                   [](const Owner& a, const Owner& b) {
                     if (a.input != b.input) return a.input;
                     return a.pid < b.pid;
                   });
  return report;
}

}  // namespace probe
