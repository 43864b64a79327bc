// Process taps, capture devices (what the programs call aggregate devices)
// and their I/O procs. Taps and devices are records of this process; only a
// started I/O proc holds anything on the server: its record streams.
#include <unistd.h>

#include "audio/hardware.h"
#include "audio/linux/capture.h"
#include "audio/linux/objects.h"
#include "audio/linux/server.h"

namespace audio {

pulse::Objects& pulse::objects() {
  static Objects* const o = new Objects;  // never destroyed
  return *o;
}

namespace {

using namespace pulse;

const std::string* textOf(const Dictionary& dictionary, std::string_view key) {
  const Value* value = dictionary.find(key);
  return value ? std::get_if<std::string>(&value->v) : nullptr;
}

// The first tap's UID in an aggregate description.
const std::string* tapUIDOf(const Dictionary& description) {
  const Value* taps = description.find("taps");
  const auto* list =
      taps ? std::get_if<std::vector<Dictionary>>(&taps->v) : nullptr;
  return list && !list->empty() ? textOf(list->front(), "uid") : nullptr;
}

Capture* captureOf(ObjectID device, IOProcID proc) {
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  const auto entry = o.aggregates.find(device);
  if (entry == o.aggregates.end() || entry->second.capture == nullptr ||
      entry->second.capture != proc) {
    return nullptr;
  }
  return entry->second.capture;
}

}  // namespace

Status createProcessTap(const TapDescription& description, ObjectID* outTapID) {
  if (outTapID == nullptr) return kIllegalOperation;
  if (const Status status = ensureConnected(); status != kNoError)
    return status;
  Tap tap;
  // The tap's own process never plays: leaving it out changes nothing, and
  // keeps "nobody to leave out" recognisable.
  for (ObjectID process : description.excludedProcesses) {
    const auto pid = int32_t(indexOf(process));
    if (kindOf(process) == kProcessKind && pid != getpid())
      tap.excludedPIDs.insert(pid);
  }
  withSnapshot([&](const Snapshot& s) {
    for (const auto& [index, sink] : s.sinks) {
      if (s.defaultSink && sink.name == *s.defaultSink) {
        tap.sink = sink.name;
        tap.rate = sink.rate;
      }
    }
  });
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  const ObjectID id = o.nextTap++;
  tap.uid = "nimbrel-tap-" + std::to_string(getpid()) + "-" +
            std::to_string(indexOf(id));
  o.taps[id] = std::move(tap);
  *outTapID = id;
  return kNoError;
}

Status destroyProcessTap(ObjectID tap) {
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  return o.taps.erase(tap) != 0 ? kNoError : kBadObject;
}

Status createAggregateDevice(const Dictionary& description,
                             ObjectID* outDeviceID) {
  if (outDeviceID == nullptr) return kIllegalOperation;
  const std::string* uid = textOf(description, "uid");
  const std::string* sinkName = textOf(description, "master");
  const std::string* tapUID = tapUIDOf(description);
  if (uid == nullptr || sinkName == nullptr || tapUID == nullptr)
    return kIllegalOperation;
  if (const Status status = ensureConnected(); status != kNoError)
    return status;
  const std::optional<uint32_t> rate = withSnapshot([&](const Snapshot& s) {
    std::optional<uint32_t> found;
    for (const auto& [index, sink] : s.sinks) {
      if (sink.name == *sinkName) found = sink.rate;
    }
    return found;
  });
  if (!rate) return PA_ERR_NOENTITY;
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  ObjectID tap = kUnknownObject;
  for (const auto& [id, entry] : o.taps) {
    if (entry.uid == *tapUID) tap = id;
  }
  if (tap == kUnknownObject) return kBadObject;
  // A UID names one device: a second one would make UID look-ups ambiguous.
  for (const auto& [id, entry] : o.aggregates) {
    if (entry.uid == *uid) return kIllegalOperation;
  }
  const ObjectID id = o.nextAggregate++;
  o.aggregates[id] = Aggregate{*uid, *sinkName, tap, *rate, nullptr};
  *outDeviceID = id;
  return kNoError;
}

Status destroyAggregateDevice(ObjectID device) {
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  const auto entry = o.aggregates.find(device);
  if (entry == o.aggregates.end()) return kBadObject;
  if (entry->second.capture) o.retired.push_back(entry->second.capture);
  o.aggregates.erase(entry);
  return kNoError;
}

Status createIOProcIDWithBlock(IOProcID* outProcID, ObjectID device,
                               DispatchQueue* queue, IOFunction function,
                               void* context) {
  if (outProcID == nullptr || queue == nullptr || function == nullptr)
    return kIllegalOperation;
  Objects& o = objects();
  std::lock_guard lock(o.mutex);
  const auto entry = o.aggregates.find(device);
  if (entry == o.aggregates.end()) return kBadObject;
  Aggregate& aggregate = entry->second;
  if (aggregate.capture != nullptr)
    return kIllegalOperation;  // one I/O proc a device
  const auto tap = o.taps.find(aggregate.tap);
  if (tap == o.taps.end()) return kBadObject;
  // Never freed: the I/O queue and the server thread may use it until exit.
  aggregate.capture =
      new Capture({aggregate.sink, aggregate.rate, tap->second.excludedPIDs},
                  queue, function, context);
  *outProcID = aggregate.capture;
  return kNoError;
}

Status destroyIOProcID(ObjectID device, IOProcID proc) {
  Capture* capture = captureOf(device, proc);
  if (capture == nullptr) return kBadObject;
  capture->stop();
  return kNoError;
}

Status deviceStart(ObjectID device, IOProcID proc) {
  Capture* capture = captureOf(device, proc);
  return capture != nullptr ? capture->start() : kBadObject;
}

Status deviceStop(ObjectID device, IOProcID proc) {
  Capture* capture = captureOf(device, proc);
  if (capture == nullptr) return kBadObject;
  capture->stop();
  return kNoError;
}

}  // namespace audio
