// Property reads, answered from the server's snapshot: the system object,
// process objects (one per PID with a stream), devices (sinks), and the taps
// and capture devices the programs made.
#include <unistd.h>

#include <cstring>
#include <set>

#include "audio/hardware.h"
#include "audio/linux/capture.h"
#include "audio/linux/objects.h"
#include "audio/linux/server.h"

namespace audio {
namespace {

using namespace pulse;

template <class T>
Status put(const T& value, uint32_t* ioSize, void* out) {
  if (ioSize == nullptr || out == nullptr || *ioSize < sizeof(T))
    return kBadPropertySize;
  std::memcpy(out, &value, sizeof(T));
  *ioSize = sizeof(T);
  return kNoError;
}

Status putString(const std::optional<std::string>& text, uint32_t* ioSize,
                 void* out) {
  StringRef string = text ? createString(*text) : nullptr;
  const Status status = put(string, ioSize, out);
  if (status != kNoError && string != nullptr) releaseString(string);
  return status;
}

std::vector<ObjectID> processObjects(const Snapshot& s) {
  std::set<int32_t> pids;
  for (const auto& [index, stream] : s.sinkInputs) pids.insert(stream.pid);
  for (const auto& [index, stream] : s.sourceOutputs) pids.insert(stream.pid);
  std::vector<ObjectID> list;
  for (int32_t pid : pids) {
    if (ObjectID object = processObject(pid)) list.push_back(object);
  }
  return list;
}

bool runningOutput(const Snapshot& s, int32_t pid) {
  for (const auto& [index, stream] : s.sinkInputs) {
    if (stream.pid == pid && !stream.corked) return true;
  }
  return false;
}

// Recording a sink's monitor is recording the speakers, not the microphone;
// so is recording one playback stream, which PipeWire shows as recording
// no source at all.
bool runningInput(const Snapshot& s, int32_t pid) {
  for (const auto& [index, stream] : s.sourceOutputs) {
    if (stream.pid != pid || stream.corked) continue;
    const auto source = s.sources.find(stream.device);
    if (source != s.sources.end() && !source->second.isMonitor) return true;
  }
  return false;
}

std::optional<std::string> bundleID(const Snapshot& s, int32_t pid) {
  for (const auto* streams : {&s.sinkInputs, &s.sourceOutputs}) {
    for (const auto& [index, stream] : *streams) {
      if (stream.pid == pid && stream.applicationID)
        return stream.applicationID;
    }
  }
  return std::nullopt;
}

std::optional<uint32_t> sinkNamed(const Snapshot& s, const std::string& name) {
  for (const auto& [index, sink] : s.sinks) {
    if (sink.name == name) return index;
  }
  return std::nullopt;
}

Status systemProperty(Selector selector, uint32_t qualifierSize,
                      const void* qualifier, uint32_t* ioSize, void* out) {
  if (selector == kTranslatePIDToProcessObject) {
    // Any PID has its object, so a process excluded before it plays
    // stays excluded once it does.
    int32_t pid = 0;
    if (qualifierSize != sizeof(pid) || qualifier == nullptr)
      return kBadPropertySize;
    std::memcpy(&pid, qualifier, sizeof(pid));
    return put(processObject(pid), ioSize, out);
  }
  if (selector != kProcessObjectList && selector != kDefaultOutputDevice &&
      selector != kTranslateUIDToDevice) {
    return kUnknownProperty;
  }
  std::optional<std::string> uid;
  if (selector == kTranslateUIDToDevice) {
    StringRef string = nullptr;
    if (qualifierSize != sizeof(string) || qualifier == nullptr)
      return kBadPropertySize;
    std::memcpy(&string, qualifier, sizeof(string));
    uid = stringValue(string);
  }
  if (const Status status = ensureConnected(); status != kNoError)
    return status;
  return withSnapshot([&](const Snapshot& s) -> Status {
    if (selector == kProcessObjectList) {
      if (ioSize == nullptr || out == nullptr) return kBadPropertySize;
      const std::vector<ObjectID> list = processObjects(s);
      const size_t count =
          std::min<size_t>(list.size(), *ioSize / sizeof(ObjectID));
      std::memcpy(out, list.data(), count * sizeof(ObjectID));
      *ioSize = uint32_t(count * sizeof(ObjectID));
      return kNoError;
    }
    const std::optional<std::string> name =
        selector == kDefaultOutputDevice ? s.defaultSink : uid;
    const std::optional<uint32_t> sink =
        name ? sinkNamed(s, *name) : std::nullopt;
    return put(sink ? deviceObject(*sink) : kUnknownObject, ioSize, out);
  });
}

Status processProperty(int32_t pid, Selector selector, uint32_t* ioSize,
                       void* out) {
  if (selector == kProcessPID) return put(pid, ioSize, out);
  if (selector != kProcessIsRunningInput &&
      selector != kProcessIsRunningOutput && selector != kProcessBundleID) {
    return kUnknownProperty;
  }
  if (const Status status = ensureConnected(); status != kNoError)
    return status;
  return withSnapshot([&](const Snapshot& s) {
    if (selector == kProcessBundleID)
      return putString(bundleID(s, pid), ioSize, out);
    const bool running = selector == kProcessIsRunningInput
                             ? runningInput(s, pid)
                             : runningOutput(s, pid);
    return put(uint32_t(running), ioSize, out);
  });
}

Status deviceProperty(uint32_t sinkIndex, Selector selector, uint32_t* ioSize,
                      void* out) {
  if (const Status status = ensureConnected(); status != kNoError)
    return status;
  return withSnapshot([&](const Snapshot& s) {
    const auto sink = s.sinks.find(sinkIndex);
    if (sink == s.sinks.end()) return kBadObject;
    switch (selector) {
      case kDeviceUID:
        return putString(sink->second.name, ioSize, out);
      case kDeviceNominalSampleRate:
        return put(double(sink->second.rate), ioSize, out);
      case kDeviceIsAlive:
        return put(uint32_t(1), ioSize, out);
      case kDeviceStreamConfiguration: {
        // A sink has no input streams: a buffer list of none.
        const uint32_t empty[2] = {0, 0};
        return put(empty, ioSize, out);
      }
      default:
        return kUnknownProperty;
    }
  });
}

Status tapProperty(ObjectID tap, Selector selector, uint32_t* ioSize,
                   void* out) {
  Objects& o = objects();
  std::unique_lock lock(o.mutex);
  const auto entry = o.taps.find(tap);
  if (entry == o.taps.end()) return kBadObject;
  if (selector == kTapUID) return putString(entry->second.uid, ioSize, out);
  if (selector != kTapFormat) return kUnknownProperty;
  if (entry->second.rate == 0) return kIllegalOperation;
  // A mono tap of 32-bit floats at the sink's rate: the server mixes the
  // sink's channels down, as the platform's mono taps do.
  const StreamBasicDescription format{double(entry->second.rate),
                                      fourCharCode("lpcm"),
                                      kFormatFlagIsFloat | (1u << 3),  // packed
                                      4,
                                      1,
                                      4,
                                      1,
                                      32,
                                      0};
  return put(format, ioSize, out);
}

Status aggregateProperty(ObjectID device, Selector selector, uint32_t* ioSize,
                         void* out) {
  Aggregate aggregate;
  {
    Objects& o = objects();
    std::lock_guard lock(o.mutex);
    const auto entry = o.aggregates.find(device);
    if (entry == o.aggregates.end()) return kBadObject;
    aggregate = entry->second;
  }
  switch (selector) {
    case kDeviceUID:
      return putString(aggregate.uid, ioSize, out);
    case kDeviceNominalSampleRate:
      return put(double(aggregate.rate), ioSize, out);
    case kDeviceIsAlive: {
      // Alive while its server connection, its sink and its stream are.
      bool alive = aggregate.capture == nullptr || aggregate.capture->alive();
      if (alive && ensureConnected() == kNoError) {
        alive = withSnapshot([&](const Snapshot& s) {
                  return sinkNamed(s, aggregate.sink);
                }).has_value();
      } else {
        alive = false;
      }
      return put(uint32_t(alive), ioSize, out);
    }
    case kDeviceStreamConfiguration: {
      const uint32_t empty[2] = {0, 0};
      return put(empty, ioSize, out);
    }
    default:
      return kUnknownProperty;
  }
}

bool isStringProperty(Selector selector) {
  return selector == kDeviceUID || selector == kTapUID ||
         selector == kProcessBundleID;
}

}  // namespace

Status getPropertyData(ObjectID object, const PropertyAddress& address,
                       uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioDataSize, void* outData) {
  const Selector selector = address.selector;
  if (object == kSystemObject) {
    return systemProperty(selector, qualifierSize, qualifier, ioDataSize,
                          outData);
  }
  switch (kindOf(object)) {
    case kProcessKind:
      return processProperty(int32_t(indexOf(object)), selector, ioDataSize,
                             outData);
    case kDeviceKind:
      return deviceProperty(indexOf(object), selector, ioDataSize, outData);
    case kTapKind:
      return tapProperty(object, selector, ioDataSize, outData);
    case kAggregateKind:
      return aggregateProperty(object, selector, ioDataSize, outData);
    default:
      return kBadObject;
  }
}

Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier,
                           uint32_t* outDataSize) {
  if (outDataSize == nullptr) return kBadPropertySize;
  if (object == kSystemObject && address.selector == kProcessObjectList) {
    if (const Status status = ensureConnected(); status != kNoError)
      return status;
    *outDataSize = withSnapshot([](const Snapshot& s) {
      return uint32_t(processObjects(s).size() * sizeof(ObjectID));
    });
    return kNoError;
  }
  // Every other property is small: read it and say how much it was.
  alignas(8) unsigned char value[64];
  uint32_t size = sizeof(value);
  const Status status =
      getPropertyData(object, address, qualifierSize, qualifier, &size, value);
  if (status != kNoError) return status;
  if (isStringProperty(address.selector)) {
    StringRef string = nullptr;
    std::memcpy(&string, value, sizeof(string));
    if (string != nullptr) releaseString(string);
  }
  *outDataSize = size;
  return kNoError;
}

}  // namespace audio
