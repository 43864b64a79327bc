// The seam to the platform's audio hardware layer: the handful of Core Audio
// operations both programs call, in the platform's own shape and success rule.
#ifndef NIMBREL_AUDIO_HARDWARE_H_
#define NIMBREL_AUDIO_HARDWARE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace audio {

class DispatchQueue;

using ObjectID = uint32_t;
using Status = int32_t;  // 0 is success; any other value is a failure
using Selector = uint32_t;
using Scope = uint32_t;
using Element = uint32_t;

/// Four-character code, first character in the most significant byte.
constexpr uint32_t fourCharCode(const char (&c)[5]) {
  return (uint32_t(uint8_t(c[0])) << 24) | (uint32_t(uint8_t(c[1])) << 16) |
         (uint32_t(uint8_t(c[2])) << 8) | uint32_t(uint8_t(c[3]));
}

constexpr Status kNoError = 0;
// The platform's failures of its own; a platform may add others.
constexpr Status kBadObject = fourCharCode("!obj");
constexpr Status kUnknownProperty = fourCharCode("who?");
constexpr Status kBadPropertySize = fourCharCode("!siz");
constexpr Status kIllegalOperation = fourCharCode("nope");
constexpr Status kNotRunning = fourCharCode("stop");
constexpr ObjectID kUnknownObject = 0;
constexpr ObjectID kSystemObject = 1;

constexpr Scope kScopeGlobal = fourCharCode("glob");
constexpr Scope kScopeInput = fourCharCode("inpt");
constexpr Element kElementMain = 0;

// System object.
constexpr Selector kProcessObjectList = fourCharCode("prs#");
constexpr Selector kTranslatePIDToProcessObject = fourCharCode("id2p");
constexpr Selector kDefaultOutputDevice = fourCharCode("dOut");
constexpr Selector kTranslateUIDToDevice = fourCharCode("uidd");
// Process objects.
constexpr Selector kProcessPID = fourCharCode("ppid");
constexpr Selector kProcessIsRunningInput = fourCharCode("piri");
constexpr Selector kProcessIsRunningOutput = fourCharCode("piro");
constexpr Selector kProcessBundleID = fourCharCode("pbid");
// Process taps.
constexpr Selector kTapUID = fourCharCode("tuid");
constexpr Selector kTapFormat = fourCharCode("tfmt");
// Devices.
constexpr Selector kDeviceUID = fourCharCode("uid ");
constexpr Selector kDeviceIsAlive = fourCharCode("livn");
constexpr Selector kDeviceNominalSampleRate = fourCharCode("nsrt");
constexpr Selector kDeviceStreamConfiguration = fourCharCode("slay");

struct PropertyAddress {
  Selector selector;
  Scope scope;
  Element element;
};

/// The address of `selector` in the global scope, main element.
constexpr PropertyAddress globalAddress(Selector selector) {
  return {selector, kScopeGlobal, kElementMain};
}

/// Same layout as the platform's AudioBuffer / AudioBufferList.
struct Buffer {
  uint32_t numberChannels;
  uint32_t dataByteSize;
  void* data;
};
struct BufferList {
  uint32_t numberBuffers;
  Buffer buffers[1];  // numberBuffers of them
};

/// Same layout as the platform's AudioStreamBasicDescription (40 bytes).
struct StreamBasicDescription {
  double sampleRate;
  uint32_t formatID;
  uint32_t formatFlags;
  uint32_t bytesPerPacket;
  uint32_t framesPerPacket;
  uint32_t bytesPerFrame;
  uint32_t channelsPerFrame;
  uint32_t bitsPerChannel;
  uint32_t reserved;
};
static_assert(sizeof(StreamBasicDescription) == 40);
constexpr uint32_t kFormatFlagIsFloat = 1u << 0;

/// A platform string reference (CFStringRef on macOS). String-valued
/// properties hand one out that the caller must release; the data size of
/// such a property, and of a string qualifier, is sizeof(StringRef) = 8.
using StringRef = const struct OpaqueString*;
static_assert(sizeof(StringRef) == 8);

/// The UTF-8 text of a string reference; absent for a null reference.
std::optional<std::string> stringValue(StringRef string);
/// A new string reference the caller releases.
StringRef createString(std::string_view utf8);
void releaseString(StringRef string);

/// Has the platform deliver its notifications on a thread of its own rather
/// than the main run loop ('rnlp' of the system object set to NULL). A
/// program whose main thread never runs a run loop calls it first: without
/// it, values that change by notification (the process list, the running
/// flags) may stay as they were for that program.
Status clearNotificationRunLoop();

/// Runs `work` inside an autorelease pool where the platform has them, so
/// that what platform calls hand out during it is freed when it returns.
void withAutoreleasePool(void (*work)());

Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier,
                           uint32_t* outDataSize);
Status getPropertyData(ObjectID object, const PropertyAddress& address,
                       uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioDataSize, void* outData);

/// A listener runs on `queue` after the property changed. It is never removed.
/// The callback is copied; `context` must outlive the process.
using ListenerFunction = void (*)(void* context);
Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                           DispatchQueue* queue, ListenerFunction listener,
                           void* context);

/// What CATapDescription's initMonoGlobalTapButExcludeProcesses: describes,
/// with the three settings the tap applies afterwards.
struct TapDescription {
  std::vector<ObjectID> excludedProcesses;  // process objects, not PIDs
  std::string name;
  bool isPrivate = false;
  int muteBehavior = 0;  // 0 = CATapUnmuted
};
Status createProcessTap(const TapDescription& description, ObjectID* outTapID);
Status destroyProcessTap(ObjectID tap);

/// A property-list dictionary: string keys to strings, booleans or lists of
/// dictionaries; entries keep the order they were added in.
struct Dictionary;
struct Value {
  std::variant<std::string, bool, std::vector<Dictionary>> v;
};
struct Dictionary {
  std::vector<std::pair<std::string, Value>> entries;
  const Value* find(std::string_view key) const;
};
// Clang with libstdc++ rejects std::pair<std::string, Value> if the pair is
// instantiated before Value's destructor (a circular trait check); this use
// of the destructor settles the order in every file.
inline void destroyValue(Value& value) { value.~Value(); }
inline const Value* Dictionary::find(std::string_view key) const {
  for (const auto& [name, value] : entries) {
    if (name == key) return &value;
  }
  return nullptr;
}
Status createAggregateDevice(const Dictionary& description,
                             ObjectID* outDeviceID);
Status destroyAggregateDevice(ObjectID device);

/// An I/O proc identifier; null means none.
using IOProcID = void*;
/// Called once per I/O cycle with the device's input buffers. Runs on the
/// queue given at creation; must not allocate, lock for long, or block.
using IOFunction = void (*)(void* context, const BufferList* input);
Status createIOProcIDWithBlock(IOProcID* outProcID, ObjectID device,
                               DispatchQueue* queue, IOFunction function,
                               void* context);
Status destroyIOProcID(ObjectID device, IOProcID proc);
Status deviceStart(ObjectID device, IOProcID proc);
Status deviceStop(ObjectID device, IOProcID proc);

}  // namespace audio

#endif  // NIMBREL_AUDIO_HARDWARE_H_
