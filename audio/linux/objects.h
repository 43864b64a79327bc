// How the server's things are named as audio objects: fixed ranges of object
// IDs for process objects (by PID), devices (by sink index), process taps and
// capture devices; and the taps and capture devices the programs made.
#ifndef NIMBREL_AUDIO_LINUX_OBJECTS_H_
#define NIMBREL_AUDIO_LINUX_OBJECTS_H_

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/hardware.h"

namespace audio::pulse {

class Capture;

constexpr ObjectID kKindMask = 0xF0000000;
constexpr ObjectID kProcessKind = 0x10000000;  // | PID
constexpr ObjectID kDeviceKind = 0x20000000;   // | sink index
constexpr ObjectID kTapKind = 0x30000000;
constexpr ObjectID kAggregateKind = 0x40000000;

constexpr ObjectID processObject(int32_t pid) {
  return pid >= 1 && ObjectID(pid) < ~kKindMask + 1u
             ? kProcessKind | ObjectID(pid)
             : kUnknownObject;
}
constexpr ObjectID deviceObject(uint32_t sink) {
  return sink < ~kKindMask + 1u ? kDeviceKind | sink : kUnknownObject;
}
constexpr ObjectID kindOf(ObjectID object) { return object & kKindMask; }
constexpr uint32_t indexOf(ObjectID object) { return object & ~kKindMask; }

// Failures of this layer's own are the seam's (kBadObject...); errors the
// server reports keep libpulse's numbers (PA_ERR_*), small positive values.

struct Tap {
  std::string uid;
  std::set<int32_t> excludedPIDs;
  std::string sink;  // the default sink when the tap was made
  uint32_t rate = 0;
};

struct Aggregate {
  std::string uid;
  std::string sink;  // its main sub-device's UID
  ObjectID tap = kUnknownObject;
  uint32_t rate = 0;           // fixed: the server resamples to it
  Capture* capture = nullptr;  // its I/O proc, once made; never freed
};

/// The objects the programs created, under `mutex`.
struct Objects {
  std::mutex mutex;
  std::map<ObjectID, Tap> taps;
  std::map<ObjectID, Aggregate> aggregates;
  std::vector<Capture*> retired;  // of destroyed devices, kept until exit
  ObjectID nextTap = kTapKind | 1;
  ObjectID nextAggregate = kAggregateKind | 1;
};
Objects& objects();

}  // namespace audio::pulse

#endif  // NIMBREL_AUDIO_LINUX_OBJECTS_H_
