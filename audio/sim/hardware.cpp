// The simulated audio hardware layer: string references, property reads,
// listeners, process taps and aggregate devices, with the platform's statuses.
#include "audio/hardware.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <unordered_set>

#include "audio/sim/sim.h"
#include "audio/sim/state.h"

namespace audio {

struct OpaqueString {
  std::string text;
  bool live = false;
  OpaqueString* nextReleased = nullptr;
};

namespace {

// Every string reference ever made stays allocated: a released one waits in
// a queue of kQuarantine before it is reused, so a use after release is
// caught by its flag instead of reading freed memory, and a steady stream of
// property reads allocates nothing once the pool is warm.
constexpr size_t kQuarantine = 256;

struct StringPool {
  std::mutex mutex;
  std::unordered_set<StringRef>
      made;  // to tell a reference from a stray pointer
  OpaqueString* oldestReleased = nullptr;
  OpaqueString* newestReleased = nullptr;
  size_t releasedCount = 0;
  int liveCount = 0;
};

StringPool& stringPool() {
  static StringPool* const pool = new StringPool;
  return *pool;
}

// A reference that is not live is a use after release: on the real platform
// that crashes, here it stops the test with a message.
[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "nimbrel-sim: %s\n", what);
  std::abort();
}

// Calls f(text) under the pool's lock, so a reference being released on
// another thread is either caught or read whole.
template <class F>
decltype(auto) withText(StringRef string, F&& f) {
  StringPool& pool = stringPool();
  std::lock_guard lock(pool.mutex);
  if (!pool.made.count(string) || !string->live) {
    misuse("a string reference used after its release");
  }
  return f(std::string_view(string->text));
}

}  // namespace

std::optional<std::string> stringValue(StringRef string) {
  if (!string) return std::nullopt;
  return withText(string,
                  [](std::string_view text) { return std::string(text); });
}

StringRef createString(std::string_view utf8) {
  StringPool& pool = stringPool();
  std::lock_guard lock(pool.mutex);
  OpaqueString* string;
  if (pool.releasedCount > kQuarantine) {
    string = pool.oldestReleased;
    pool.oldestReleased = string->nextReleased;
    if (!pool.oldestReleased) pool.newestReleased = nullptr;
    --pool.releasedCount;
  } else {
    string = new OpaqueString;
    pool.made.insert(string);
  }
  string->text.assign(utf8);
  string->live = true;
  ++pool.liveCount;
  return string;
}

void releaseString(StringRef string) {
  if (!string)
    misuse("releaseString of a null reference (CFRelease(NULL) crashes)");
  StringPool& pool = stringPool();
  std::lock_guard lock(pool.mutex);
  if (!pool.made.count(string) || !string->live)
    misuse("a string reference released twice");
  // Every reference was made here, without const.
  auto* released = const_cast<OpaqueString*>(string);
  released->live = false;
  released->nextReleased = nullptr;
  --pool.liveCount;
  if (pool.newestReleased) {
    pool.newestReleased->nextReleased = released;
  } else {
    pool.oldestReleased = released;
  }
  pool.newestReleased = released;
  ++pool.releasedCount;
}

namespace sim {

int liveStringCount() {
  StringPool& pool = stringPool();
  std::lock_guard lock(pool.mutex);
  return pool.liveCount;
}

namespace {

enum class Kind { kNone, kSystem, kProcess, kTap, kDevice };

// The object an ID names, found once per call; pointers into the state, valid
// while its lock is held.
struct Target {
  Kind kind = Kind::kNone;
  const Process* process = nullptr;
  const TapObject* tap = nullptr;
  const DeviceObject* device = nullptr;
};

Target targetOf(State& s, ObjectID object) {
  Target t;
  if (object == kSystemObject) {
    t.kind = Kind::kSystem;
  } else if ((t.process = findProcess(s, object))) {
    t.kind = Kind::kProcess;
  } else if ((t.tap = findTap(s, object))) {
    t.kind = Kind::kTap;
  } else if ((t.device = findDevice(s, object))) {
    t.kind = Kind::kDevice;
  }
  return t;
}

bool hasProperty(Kind kind, Selector selector) {
  switch (kind) {
    case Kind::kSystem:
      return selector == kProcessObjectList ||
             selector == kTranslatePIDToProcessObject ||
             selector == kDefaultOutputDevice ||
             selector == kTranslateUIDToDevice;
    case Kind::kProcess:
      return selector == kProcessPID || selector == kProcessIsRunningInput ||
             selector == kProcessIsRunningOutput ||
             selector == kProcessBundleID;
    case Kind::kTap:
      return selector == kTapUID || selector == kTapFormat;
    case Kind::kDevice:
      return selector == kDeviceUID || selector == kDeviceIsAlive ||
             selector == kDeviceNominalSampleRate ||
             selector == kDeviceStreamConfiguration;
    case Kind::kNone:
      break;
  }
  return false;
}

// '!obj' for an unknown object, 'who?' for a property it does not have.
Status checkAddress(Kind kind, const PropertyAddress& a) {
  if (kind == Kind::kNone) return kBadObject;
  Scope scope =
      a.selector == kDeviceStreamConfiguration ? kScopeInput : kScopeGlobal;
  if (!hasProperty(kind, a.selector) || a.scope != scope ||
      a.element != kElementMain) {
    return kUnknownProperty;
  }
  return kNoError;
}

// 'livn' of an aggregate destroyed in a world with "deadAfterDestroy".
bool isDeadAggregate(const State& s, ObjectID object,
                     const PropertyAddress& a) {
  return a.selector == kDeviceIsAlive && a.scope == kScopeGlobal &&
         a.element == kElementMain &&
         std::find(s.deadAggregates.begin(), s.deadAggregates.end(), object) !=
             s.deadAggregates.end();
}

// A property's value. Scalars are held inline; strings, the process list and
// stream configurations point into the state and are written out under the
// same lock, so that a read allocates nothing but the string it hands out.
struct PropertyValue {
  enum class Form { kBytes, kString, kProcessList, kStreamConfiguration };
  Status status = kNoError;
  Form form = Form::kBytes;
  uint32_t size = 0;
  alignas(8) uint8_t bytes[sizeof(StreamBasicDescription)] = {};
  const std::string* text = nullptr;     // kString; null is a null reference
  const DeviceObject* device = nullptr;  // kStreamConfiguration

  bool partial() const {
    return form == Form::kProcessList;
  }  // a short read fills what fits
};

template <class T>
void put(PropertyValue& v, const T& value) {
  static_assert(sizeof value <= sizeof v.bytes);
  v.size = uint32_t(sizeof value);
  std::memcpy(v.bytes, &value, sizeof value);
}

void putString(PropertyValue& v, const std::string* text) {
  v.form = PropertyValue::Form::kString;
  v.size = uint32_t(sizeof(StringRef));
  v.text = text;
}

ObjectID deviceIDOf(State& s, const std::optional<std::string>& uid) {
  DeviceObject* device = uid ? findDeviceByUID(s, *uid) : nullptr;
  return device ? device->id : kUnknownObject;
}

// Calls f(channels, bytesPerSample) for each input stream: the device's own,
// then each existing tap's buffers.
template <class F>
void forEachInputStream(State& s, const DeviceObject& device, F&& f) {
  for (uint32_t channels : device.inputStreams) f(channels, 4u);
  for (ObjectID tap : device.taps) {
    if (!findTap(s, tap)) continue;
    for (uint32_t channels : s.world.tap.buffers)
      f(channels, s.world.tap.isFloat ? 4u : 2u);
  }
}

// The platform's AudioBufferList with null data pointers: 8 bytes of header
// and 16 per buffer, never less than sizeof(BufferList).
uint32_t streamConfigurationSize(State& s, const DeviceObject& device) {
  size_t streams = 0;
  forEachInputStream(s, device, [&](uint32_t, uint32_t) { ++streams; });
  return uint32_t(std::max(sizeof(BufferList), offsetof(BufferList, buffers) +
                                                   streams * sizeof(Buffer)));
}

void writeStreamConfiguration(State& s, const DeviceObject& device,
                              uint32_t size, uint8_t* out) {
  std::memset(out, 0, size);
  uint32_t streams = 0;
  forEachInputStream(
      s, device, [&](uint32_t channels, uint32_t bytesPerSample) {
        Buffer buffer{channels,
                      s.world.ioBufferFrames * channels * bytesPerSample,
                      nullptr};
        std::memcpy(
            out + offsetof(BufferList, buffers) + streams * sizeof(Buffer),
            &buffer, sizeof buffer);
        ++streams;
      });
  uint32_t count = device.reportedBufferCount.value_or(streams);
  std::memcpy(out, &count, sizeof count);
}

// The first `size` bytes of the process list: listed objects, then the
// calling process when the world lists it.
void writeProcessList(const State& s, uint32_t size, uint8_t* out) {
  uint32_t entries = size / sizeof(ObjectID);
  uint32_t i = 0;
  for (const Process& p : s.processes) {
    if (i == entries) return;
    std::memcpy(out + i++ * sizeof(ObjectID), &p.object, sizeof(ObjectID));
  }
  if (s.world.selfListed && i < entries) {
    std::memcpy(out + i * sizeof(ObjectID), &s.self.object, sizeof(ObjectID));
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

// A qualifier of exactly T's size, as the platform requires.
template <typename T>
bool readQualifier(uint32_t size, const void* qualifier, T* out) {
  if (size != sizeof(T) || !qualifier) return false;
  std::memcpy(out, qualifier, sizeof(T));
  return true;
}

PropertyValue readProperty(State& s, ObjectID object, const PropertyAddress& a,
                           uint32_t qualifierSize, const void* qualifier) {
  PropertyValue v;
  const Target t = targetOf(s, object);
  if (t.kind == Kind::kNone && isDeadAggregate(s, object, a)) {
    put(v, uint32_t{0});
    return v;
  }
  v.status = checkAddress(t.kind, a);
  if (v.status != kNoError) return v;
  switch (t.kind) {
    case Kind::kSystem:
      if (a.selector == kProcessObjectList) {
        v.form = PropertyValue::Form::kProcessList;
        v.size = uint32_t((s.processes.size() + (s.world.selfListed ? 1 : 0)) *
                          sizeof(ObjectID));
      } else if (a.selector == kTranslatePIDToProcessObject) {
        int32_t pid;
        if (!readQualifier(qualifierSize, qualifier, &pid)) {
          v.status = kBadPropertySize;
          return v;
        }
        const Process* listed = findProcessByPID(s, pid);
        ObjectID found = listed              ? listed->object
                         : pid == s.self.pid ? s.self.object
                                             : kUnknownObject;
        put(v, found);
      } else if (a.selector == kDefaultOutputDevice) {
        put(v, deviceIDOf(s, s.defaultOutput));
      } else if (a.selector == kTranslateUIDToDevice) {
        StringRef uid;
        if (!readQualifier(qualifierSize, qualifier, &uid)) {
          v.status = kBadPropertySize;
          return v;
        }
        if (!uid) {
          v.status = kIllegalOperation;
          return v;
        }
        DeviceObject* device = withText(uid, [&](std::string_view text) {
          return findDeviceByUID(s, text);
        });
        put(v, device ? device->id : kUnknownObject);
      }
      break;
    case Kind::kProcess: {
      const Process& p = *t.process;
      if (auto it = p.failures.find(a.selector); it != p.failures.end()) {
        v.status = it->second;
        return v;
      }
      if (a.selector == kProcessPID) put(v, p.pid);
      if (a.selector == kProcessIsRunningInput) put(v, uint32_t(p.input));
      if (a.selector == kProcessIsRunningOutput) put(v, uint32_t(p.output));
      if (a.selector == kProcessBundleID)
        putString(v, p.bundleID ? &*p.bundleID : nullptr);
      break;
    }
    case Kind::kTap:
      if (a.selector == kTapUID) putString(v, &t.tap->uid);
      if (a.selector == kTapFormat) put(v, tapFormat(s.world.tap));
      break;
    case Kind::kDevice:
      if (a.selector == kDeviceUID) putString(v, &t.device->uid);
      if (a.selector == kDeviceIsAlive) put(v, uint32_t(t.device->alive));
      if (a.selector == kDeviceNominalSampleRate) put(v, t.device->rate);
      if (a.selector == kDeviceStreamConfiguration) {
        v.form = PropertyValue::Form::kStreamConfiguration;
        v.device = t.device;
        v.size = streamConfigurationSize(s, *t.device);
      }
      break;
    case Kind::kNone:
      break;
  }
  return v;
}

// Checks an aggregate description as strictly as the platform should: the
// eight keys with their types, known sub-devices, existing taps with drift.
bool validAggregate(State& s, const Dictionary& d, std::string* mainUID,
                    std::vector<ObjectID>* taps) {
  static const std::set<std::string> kStrings = {"name", "uid", "master"};
  static const std::set<std::string> kBooleans = {"private", "stacked",
                                                  "tapautostart"};
  static const std::set<std::string> kLists = {"subdevices", "taps"};
  std::set<std::string> seen;
  for (const auto& [key, value] : d.entries) {
    if (!seen.insert(key).second) return false;
    if (kStrings.count(key) && !std::holds_alternative<std::string>(value.v))
      return false;
    if (kBooleans.count(key) && !std::holds_alternative<bool>(value.v))
      return false;
    if (kLists.count(key) &&
        !std::holds_alternative<std::vector<Dictionary>>(value.v))
      return false;
    if (!kStrings.count(key) && !kBooleans.count(key) && !kLists.count(key))
      return false;
  }
  if (seen.size() != 8) return false;
  const std::string& uid = std::get<std::string>(d.find("uid")->v);
  if (uid.empty() || findDeviceByUID(s, uid)) return false;
  *mainUID = std::get<std::string>(d.find("master")->v);
  bool mainListed = false;
  for (const Dictionary& sub :
       std::get<std::vector<Dictionary>>(d.find("subdevices")->v)) {
    const Value* subUID = sub.find("uid");
    if (sub.entries.size() != 1 || !subUID ||
        !std::holds_alternative<std::string>(subUID->v)) {
      return false;
    }
    DeviceObject* device = findDeviceByUID(s, std::get<std::string>(subUID->v));
    if (!device || device->aggregate) return false;
    mainListed = mainListed || device->uid == *mainUID;
  }
  if (!mainListed) return false;
  for (const Dictionary& sub :
       std::get<std::vector<Dictionary>>(d.find("taps")->v)) {
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

// The failure rule of a create call, logged; a rule that succeeds without an
// object hands back object 0.
std::optional<Status> creationFailure(State& s, const char* op, ObjectID* out) {
  bool noObject = false;
  std::optional<Status> status = failureFor(s, op, std::nullopt, 0, &noObject);
  if (!status) return std::nullopt;
  if (noObject && *status == kNoError && out) *out = kUnknownObject;
  logCall(s, callLine(op, 0, *status));
  return status;
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

Status clearNotificationRunLoop() {
  State& s = state();
  std::lock_guard lock(s.mutex);
  startHearingNotifications(s);
  return kNoError;
}

void withAutoreleasePool(void (*work)()) { work(); }

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
  if (auto status = failureFor(s, "getSize", address.selector, object, nullptr))
    return *status;
  if (!outDataSize) return kIllegalOperation;
  PropertyValue v = readProperty(s, object, address, qualifierSize, qualifier);
  if (v.status != kNoError) return v.status;
  *outDataSize = v.size;
  return kNoError;
}

Status getPropertyData(ObjectID object, const PropertyAddress& address,
                       uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioDataSize, void* outData) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status = failureFor(s, "get", address.selector, object, nullptr))
    return *status;
  if (!ioDataSize || !outData) return kIllegalOperation;
  PropertyValue v = readProperty(s, object, address, qualifierSize, qualifier);
  if (v.status != kNoError) return v.status;
  uint32_t size = v.size;
  if (*ioDataSize < size) {
    if (!v.partial()) return kBadPropertySize;
    size = *ioDataSize / sizeof(ObjectID) * sizeof(ObjectID);
  }
  auto* out = static_cast<uint8_t*>(outData);
  switch (v.form) {
    case PropertyValue::Form::kBytes:
      if (size > 0) std::memcpy(out, v.bytes, size);
      break;
    case PropertyValue::Form::kString: {
      StringRef string = v.text ? createString(*v.text) : nullptr;
      std::memcpy(out, &string, sizeof string);
      break;
    }
    case PropertyValue::Form::kProcessList:
      writeProcessList(s, size, out);
      break;
    case PropertyValue::Form::kStreamConfiguration:
      writeStreamConfiguration(s, *v.device, size, out);
      break;
  }
  *ioDataSize = size;
  return kNoError;
}

Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                           DispatchQueue* queue, ListenerFunction listener,
                           void* context) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status =
          failureFor(s, "addListener", address.selector, object, nullptr))
    return *status;
  if (!listener) return kIllegalOperation;
  if (Status status = checkAddress(targetOf(s, object).kind, address);
      status != kNoError) {
    return status;
  }
  s.listeners.add({object, address.selector, queue, listener, context});
  return kNoError;
}

Status createProcessTap(const TapDescription& description, ObjectID* outTapID) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status = creationFailure(s, "createProcessTap", outTapID))
    return *status;
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
  Status status = failureFor(s, "destroyProcessTap", std::nullopt, tap, nullptr)
                      .value_or(kNoError);
  if (status == kNoError && !findTap(s, tap)) status = kBadObject;
  if (status == kNoError)
    std::erase_if(s.taps, [&](const TapObject& t) { return t.id == tap; });
  logCall(s, callLine("destroyProcessTap", tap, status));
  return status;
}

Status createAggregateDevice(const Dictionary& description,
                             ObjectID* outDeviceID) {
  State& s = state();
  std::lock_guard lock(s.mutex);
  if (auto status = creationFailure(s, "createAggregateDevice", outDeviceID))
    return *status;
  DeviceObject device;
  if (!outDeviceID ||
      !validAggregate(s, description, &device.mainUID, &device.taps)) {
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
        failureFor(s, "destroyAggregateDevice", std::nullopt, device, nullptr)
            .value_or(kNoError);
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
  std::erase_if(s.devices,
                [&](const DeviceObject& d) { return d.id == device; });
  logCall(s, callLine("destroyAggregateDevice", device, kNoError));
  if (s.world.deadAfterDestroy) {
    // Told on the listeners' own queues, so possibly after this returns.
    s.deadAggregates.push_back(device);
    notifyListeners(s, device, kDeviceIsAlive);
  }
  return kNoError;
}

}  // namespace audio
