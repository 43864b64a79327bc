// The simulated audio hardware layer: string references, property reads,
// listeners, process taps and aggregate devices, with the platform's statuses.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_set>

#include "audio/hardware.h"
#include "audio/simulated.h"
#include "audio/simulated_state.h"

namespace audio {

struct OpaqueString {
  std::string text;
};

namespace {

struct LiveStrings {
  std::mutex mutex;
  std::unordered_set<StringRef> live;
};

LiveStrings& liveStrings() {
  static LiveStrings* const strings = new LiveStrings;
  return *strings;
}

// A reference that is not live is a use after release: on the real platform
// that crashes, here it stops the test with a message.
[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "nimbrel-sim: %s\n", what);
  std::abort();
}

const std::string& textOf(StringRef string) {
  LiveStrings& strings = liveStrings();
  std::lock_guard lock(strings.mutex);
  if (!strings.live.count(string)) misuse("a string reference used after its release");
  return string->text;
}

}  // namespace

std::optional<std::string> stringValue(StringRef string) {
  if (!string) return std::nullopt;
  return textOf(string);
}

StringRef createString(std::string_view utf8) {
  auto* string = new OpaqueString{std::string(utf8)};
  LiveStrings& strings = liveStrings();
  std::lock_guard lock(strings.mutex);
  strings.live.insert(string);
  return string;
}

void releaseString(StringRef string) {
  if (!string) misuse("releaseString of a null reference (CFRelease(NULL) crashes)");
  {
    LiveStrings& strings = liveStrings();
    std::lock_guard lock(strings.mutex);
    if (!strings.live.erase(string)) misuse("a string reference released twice");
  }
  delete string;
}

const Value* Dictionary::find(std::string_view key) const {
  for (const auto& [k, v] : entries) {
    if (k == key) return &v;
  }
  return nullptr;
}

namespace sim {

int liveStringCount() {
  LiveStrings& strings = liveStrings();
  std::lock_guard lock(strings.mutex);
  return int(strings.live.size());
}

namespace {

enum class Kind { kNone, kSystem, kProcess, kTap, kDevice };

Kind kindOf(State& s, ObjectID object) {
  if (object == kSystemObject) return Kind::kSystem;
  if (findProcess(s, object)) return Kind::kProcess;
  if (findTap(s, object)) return Kind::kTap;
  if (findDevice(s, object)) return Kind::kDevice;
  return Kind::kNone;
}

// '!obj' for an unknown object, 'who?' for a property it does not have.
Status checkAddress(State& s, ObjectID object, const PropertyAddress& a) {
  Kind kind = kindOf(s, object);
  if (kind == Kind::kNone) return kBadObject;
  std::set<Selector> selectors;
  switch (kind) {
    case Kind::kSystem:
      selectors = {kProcessObjectList, kTranslatePIDToProcessObject, kDefaultOutputDevice,
                   kTranslateUIDToDevice};
      break;
    case Kind::kProcess:
      selectors = {kProcessPID, kProcessIsRunningInput, kProcessIsRunningOutput,
                   kProcessBundleID};
      break;
    case Kind::kTap:
      selectors = {kTapUID, kTapFormat};
      break;
    case Kind::kDevice:
      selectors = {kDeviceUID, kDeviceIsAlive, kDeviceNominalSampleRate,
                   kDeviceStreamConfiguration};
      break;
    case Kind::kNone:
      break;
  }
  Scope scope = a.selector == kDeviceStreamConfiguration ? kScopeInput : kScopeGlobal;
  if (!selectors.count(a.selector) || a.scope != scope || a.element != kElementMain) {
    return kUnknownProperty;
  }
  return kNoError;
}

struct PropertyValue {
  Status status = kNoError;
  std::vector<uint8_t> bytes;
  bool isString = false;
  std::optional<std::string> text;  // a string value; absent is a null reference
  bool partial = false;             // a short read fills what fits

  uint32_t size() const { return isString ? uint32_t(sizeof(StringRef)) : uint32_t(bytes.size()); }
};

template <class T>
void put(PropertyValue& v, const T& value) {
  v.bytes.resize(sizeof value);
  std::memcpy(v.bytes.data(), &value, sizeof value);
}

void putString(PropertyValue& v, std::optional<std::string> text) {
  v.isString = true;
  v.text = std::move(text);
}

ObjectID deviceIDOf(State& s, const std::optional<std::string>& uid) {
  DeviceObject* device = uid ? findDeviceByUID(s, *uid) : nullptr;
  return device ? device->id : kUnknownObject;
}

struct Stream {
  uint32_t channels;
  uint32_t bytesPerSample;
};

std::vector<Stream> inputStreams(State& s, const DeviceObject& device) {
  std::vector<Stream> streams;
  for (uint32_t channels : device.inputStreams) streams.push_back({channels, 4});
  for (ObjectID tap : device.taps) {
    if (!findTap(s, tap)) continue;
    for (uint32_t channels : s.world.tap.buffers) {
      streams.push_back({channels, s.world.tap.isFloat ? 4u : 2u});
    }
  }
  return streams;
}

// The platform's AudioBufferList with null data pointers: 8 bytes of header
// and 16 per buffer, never less than sizeof(BufferList).
void putStreamConfiguration(State& s, const DeviceObject& device, PropertyValue& v) {
  std::vector<Stream> streams = inputStreams(s, device);
  size_t size = std::max(sizeof(BufferList), offsetof(BufferList, buffers) + streams.size() * sizeof(Buffer));
  v.bytes.assign(size, 0);
  uint32_t count = device.reportedBufferCount.value_or(uint32_t(streams.size()));
  std::memcpy(v.bytes.data(), &count, sizeof count);
  for (size_t i = 0; i < streams.size(); ++i) {
    Buffer buffer{streams[i].channels,
                  s.world.ioBufferFrames * streams[i].channels * streams[i].bytesPerSample, nullptr};
    std::memcpy(v.bytes.data() + offsetof(BufferList, buffers) + i * sizeof(Buffer), &buffer,
                sizeof buffer);
  }
}

StreamBasicDescription tapFormat(const TapFormat& tap) {
  uint32_t bytes = tap.isFloat ? 4 : 2;
  StreamBasicDescription format{};
  format.sampleRate = tap.rate;
  format.formatID = fourCharCode("lpcm");
  // IsFloat or IsSignedInteger, and IsPacked.
  format.formatFlags = (tap.isFloat ? kFormatFlagIsFloat : 0x4u) | 0x8u;
  format.bytesPerPacket = bytes * tap.channels();
  format.framesPerPacket = 1;
  format.bytesPerFrame = bytes * tap.channels();
  format.channelsPerFrame = tap.channels();
  format.bitsPerChannel = 8 * bytes;
  return format;
}

PropertyValue readProperty(State& s, ObjectID object, const PropertyAddress& a,
                           uint32_t qualifierSize, const void* qualifier) {
  PropertyValue v;
  v.status = checkAddress(s, object, a);
  if (v.status != kNoError) return v;
  switch (kindOf(s, object)) {
    case Kind::kSystem:
      if (a.selector == kProcessObjectList) {
        std::vector<ObjectID> ids;
        for (const Process& p : s.processes) ids.push_back(p.object);
        if (s.world.selfListed) ids.push_back(s.self.object);
        v.bytes.resize(ids.size() * sizeof(ObjectID));
        if (!ids.empty()) std::memcpy(v.bytes.data(), ids.data(), v.bytes.size());
        v.partial = true;
      } else if (a.selector == kTranslatePIDToProcessObject) {
        if (qualifierSize != sizeof(int32_t) || !qualifier) {
          v.status = kBadPropertySize;
          return v;
        }
        int32_t pid;
        std::memcpy(&pid, qualifier, sizeof pid);
        ObjectID found = pid == s.self.pid ? s.self.object : kUnknownObject;
        for (auto it = s.processes.rbegin(); it != s.processes.rend(); ++it) {
          if (it->pid == pid) found = it->object;
        }
        put(v, found);
      } else if (a.selector == kDefaultOutputDevice) {
        put(v, deviceIDOf(s, s.defaultOutput));
      } else if (a.selector == kTranslateUIDToDevice) {
        if (qualifierSize != sizeof(StringRef) || !qualifier) {
          v.status = kBadPropertySize;
          return v;
        }
        StringRef uid;
        std::memcpy(&uid, qualifier, sizeof uid);
        if (!uid) {
          v.status = kIllegalOperation;
          return v;
        }
        put(v, deviceIDOf(s, textOf(uid)));
      }
      break;
    case Kind::kProcess: {
      const Process& p = *findProcess(s, object);
      if (auto it = p.failures.find(a.selector); it != p.failures.end()) {
        v.status = it->second;
        return v;
      }
      if (a.selector == kProcessPID) put(v, p.pid);
      if (a.selector == kProcessIsRunningInput) put(v, uint32_t(p.input));
      if (a.selector == kProcessIsRunningOutput) put(v, uint32_t(p.output));
      if (a.selector == kProcessBundleID) putString(v, p.bundleID);
      break;
    }
    case Kind::kTap: {
      const TapObject& tap = *findTap(s, object);
      if (a.selector == kTapUID) putString(v, tap.uid);
      if (a.selector == kTapFormat) put(v, tapFormat(s.world.tap));
      break;
    }
    case Kind::kDevice: {
      const DeviceObject& device = *findDevice(s, object);
      if (a.selector == kDeviceUID) putString(v, device.uid);
      if (a.selector == kDeviceIsAlive) put(v, uint32_t(device.alive));
      if (a.selector == kDeviceNominalSampleRate) put(v, device.rate);
      if (a.selector == kDeviceStreamConfiguration) putStreamConfiguration(s, device, v);
      break;
    }
    case Kind::kNone:
      break;
  }
  return v;
}

std::string callLine(const char* op, uint64_t object, Status status) {
  std::string line = std::string(op) + " " + std::to_string(object);
  if (status != kNoError) line += " status " + std::to_string(status);
  return line;
}

// Checks an aggregate description as strictly as the platform should: the
// eight keys with their types, known sub-devices, existing taps with drift.
bool validAggregate(State& s, const Dictionary& d, std::string* mainUID,
                    std::vector<ObjectID>* taps) {
  static const std::set<std::string> kStrings = {"name", "uid", "master"};
  static const std::set<std::string> kBooleans = {"private", "stacked", "tapautostart"};
  static const std::set<std::string> kLists = {"subdevices", "taps"};
  std::set<std::string> seen;
  for (const auto& [key, value] : d.entries) {
    if (!seen.insert(key).second) return false;
    if (kStrings.count(key) && !std::holds_alternative<std::string>(value.v)) return false;
    if (kBooleans.count(key) && !std::holds_alternative<bool>(value.v)) return false;
    if (kLists.count(key) && !std::holds_alternative<std::vector<Dictionary>>(value.v)) return false;
    if (!kStrings.count(key) && !kBooleans.count(key) && !kLists.count(key)) return false;
  }
  if (seen.size() != 8) return false;
  const std::string& uid = std::get<std::string>(d.find("uid")->v);
  if (uid.empty() || findDeviceByUID(s, uid)) return false;
  *mainUID = std::get<std::string>(d.find("master")->v);
  bool mainListed = false;
  for (const Dictionary& sub : std::get<std::vector<Dictionary>>(d.find("subdevices")->v)) {
    const Value* subUID = sub.find("uid");
    if (sub.entries.size() != 1 || !subUID || !std::holds_alternative<std::string>(subUID->v)) {
      return false;
    }
    DeviceObject* device = findDeviceByUID(s, std::get<std::string>(subUID->v));
    if (!device || device->aggregate) return false;
    mainListed = mainListed || device->uid == *mainUID;
  }
  if (!mainListed) return false;
  for (const Dictionary& sub : std::get<std::vector<Dictionary>>(d.find("taps")->v)) {
    const Value* tapUID = sub.find("uid");
    const Value* drift = sub.find("drift");
    if (sub.entries.size() != 2 || !tapUID || !drift ||
        !std::holds_alternative<std::string>(tapUID->v) ||
        !std::holds_alternative<bool>(drift->v) || !std::get<bool>(drift->v)) {
      return false;
    }
    ObjectID found = kUnknownObject;
    for (const TapObject& tap : s.taps) {
      if (tap.uid == std::get<std::string>(tapUID->v)) found = tap.id;
    }
    if (found == kUnknownObject) return false;
    taps->push_back(found);
  }
  return true;
}

}  // namespace

std::optional<TapDescription> tapDescription(ObjectID tap) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (TapObject* found = findTap(s, tap)) return found->description;
  return std::nullopt;
}

}  // namespace sim

using namespace sim;

Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier,
                           uint32_t* outDataSize) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (object == kSystemObject && address.selector == kProcessObjectList) {
    ++s.listReads;
    logCall(s, "processList");
    fireScript(s, ScriptEntry::Trigger::kOnListRead, s.listReads);
  }
  if (auto status = failureFor(s, "getSize", address.selector, object, nullptr)) return *status;
  if (!outDataSize) return kIllegalOperation;
  PropertyValue v = readProperty(s, object, address, qualifierSize, qualifier);
  if (v.status != kNoError) return v.status;
  *outDataSize = v.size();
  return kNoError;
}

Status getPropertyData(ObjectID object, const PropertyAddress& address,
                       uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioDataSize, void* outData) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status = failureFor(s, "get", address.selector, object, nullptr)) return *status;
  if (!ioDataSize || !outData) return kIllegalOperation;
  PropertyValue v = readProperty(s, object, address, qualifierSize, qualifier);
  if (v.status != kNoError) return v.status;
  uint32_t size = v.size();
  if (*ioDataSize < size) {
    if (!v.partial) return kBadPropertySize;
    size = *ioDataSize / sizeof(ObjectID) * sizeof(ObjectID);
  }
  if (v.isString) {
    StringRef string = v.text ? createString(*v.text) : nullptr;
    std::memcpy(outData, &string, sizeof string);
  } else if (size > 0) {
    std::memcpy(outData, v.bytes.data(), size);
  }
  *ioDataSize = size;
  return kNoError;
}

Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                           DispatchQueue* queue, ListenerFunction listener, void* context) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status = failureFor(s, "addListener", address.selector, object, nullptr)) return *status;
  if (!listener) return kIllegalOperation;
  if (Status status = checkAddress(s, object, address); status != kNoError) return status;
  s.listeners.push_back({object, address.selector, queue, listener, context});
  return kNoError;
}

Status createProcessTap(const TapDescription& description, ObjectID* outTapID) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  bool noObject = false;
  if (auto status = failureFor(s, "createProcessTap", std::nullopt, 0, &noObject)) {
    if (noObject && *status == kNoError && outTapID) *outTapID = kUnknownObject;
    logCall(s, callLine("createProcessTap", 0, *status));
    return *status;
  }
  if (!outTapID) return kIllegalOperation;
  TapObject tap;
  tap.id = freeObjectID(s, s.nextTap);
  tap.description = description;
  tap.uid = "nimbrel-sim-tap-" + std::to_string(tap.id);
  s.nextTap = tap.id + 1;
  s.taps.push_back(tap);
  *outTapID = tap.id;
  logCall(s, callLine("createProcessTap", tap.id, kNoError));
  return kNoError;
}

Status destroyProcessTap(ObjectID tap) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  Status status = failureFor(s, "destroyProcessTap", std::nullopt, tap, nullptr).value_or(kNoError);
  if (status == kNoError && !findTap(s, tap)) status = kBadObject;
  if (status == kNoError) std::erase_if(s.taps, [&](const TapObject& t) { return t.id == tap; });
  logCall(s, callLine("destroyProcessTap", tap, status));
  return status;
}

Status createAggregateDevice(const Dictionary& description, ObjectID* outDeviceID) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  bool noObject = false;
  if (auto status = failureFor(s, "createAggregateDevice", std::nullopt, 0, &noObject)) {
    if (noObject && *status == kNoError && outDeviceID) *outDeviceID = kUnknownObject;
    logCall(s, callLine("createAggregateDevice", 0, *status));
    return *status;
  }
  DeviceObject device;
  if (!outDeviceID || !validAggregate(s, description, &device.mainUID, &device.taps)) {
    logCall(s, callLine("createAggregateDevice", 0, kIllegalOperation));
    return kIllegalOperation;
  }
  const DeviceObject& main = *findDeviceByUID(s, device.mainUID);
  device.id = freeObjectID(s, s.nextAggregate);
  device.uid = std::get<std::string>(description.find("uid")->v);
  device.rate = main.rate;
  device.inputStreams = main.inputStreams;
  device.aggregate = true;
  device.description = description;
  s.nextAggregate = device.id + 1;
  *outDeviceID = device.id;
  logCall(s, callLine("createAggregateDevice", device.id, kNoError));
  s.devices.push_back(std::move(device));
  return kNoError;
}

Status destroyAggregateDevice(ObjectID device) {
  State& s = state();
  {
    std::lock_guard lock(s.mutex);
    Status status =
        failureFor(s, "destroyAggregateDevice", std::nullopt, device, nullptr).value_or(kNoError);
    DeviceObject* found = findDevice(s, device);
    if (status == kNoError && !found) status = kBadObject;
    if (status == kNoError && !found->aggregate) status = kIllegalOperation;
    if (status != kNoError) {
      logCall(s, callLine("destroyAggregateDevice", device, status));
      return status;
    }
  }
  stopDeviceIO(device);
  std::lock_guard lock(s.mutex);
  std::erase_if(s.devices, [&](const DeviceObject& d) { return d.id == device; });
  logCall(s, callLine("destroyAggregateDevice", device, kNoError));
  return kNoError;
}

}  // namespace audio
