// The audio hardware seam on Core Audio: property reads, listener blocks, the
// process tap, the private aggregate device and the I/O proc.
#include "audio/hardware.h"

#import <CoreAudio/AudioHardware.h>
#import <CoreAudio/AudioHardwareTapping.h>
#import <CoreAudio/CATapDescription.h>
#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <type_traits>
#include <utility>

#include "audio/dispatch_apple.h"
#include "support/utf16.h"

#if !__has_feature(objc_arc)
#error "The macOS platform layer is written for ARC (-fobjc-arc)."
#endif

namespace audio {

// The seam's records are the platform's, so pointers pass straight through.
static_assert(std::is_same_v<ObjectID, AudioObjectID>);
static_assert(std::is_same_v<Status, OSStatus>);
static_assert(std::is_same_v<Selector, AudioObjectPropertySelector>);
// The seam's records are the platform's, byte for byte.
#define NIMBREL_SAME_FIELD(ours, field, theirs, theirField) \
  static_assert(offsetof(ours, field) == offsetof(theirs, theirField))
static_assert(sizeof(Buffer) == sizeof(AudioBuffer));
NIMBREL_SAME_FIELD(Buffer, numberChannels, AudioBuffer, mNumberChannels);
NIMBREL_SAME_FIELD(Buffer, dataByteSize, AudioBuffer, mDataByteSize);
NIMBREL_SAME_FIELD(Buffer, data, AudioBuffer, mData);
static_assert(sizeof(BufferList) == sizeof(AudioBufferList));
NIMBREL_SAME_FIELD(BufferList, numberBuffers, AudioBufferList, mNumberBuffers);
NIMBREL_SAME_FIELD(BufferList, buffers, AudioBufferList, mBuffers);
static_assert(sizeof(StreamBasicDescription) ==
              sizeof(AudioStreamBasicDescription));
NIMBREL_SAME_FIELD(StreamBasicDescription, sampleRate,
                   AudioStreamBasicDescription, mSampleRate);
NIMBREL_SAME_FIELD(StreamBasicDescription, formatID,
                   AudioStreamBasicDescription, mFormatID);
NIMBREL_SAME_FIELD(StreamBasicDescription, formatFlags,
                   AudioStreamBasicDescription, mFormatFlags);
NIMBREL_SAME_FIELD(StreamBasicDescription, bytesPerPacket,
                   AudioStreamBasicDescription, mBytesPerPacket);
NIMBREL_SAME_FIELD(StreamBasicDescription, framesPerPacket,
                   AudioStreamBasicDescription, mFramesPerPacket);
NIMBREL_SAME_FIELD(StreamBasicDescription, bytesPerFrame,
                   AudioStreamBasicDescription, mBytesPerFrame);
NIMBREL_SAME_FIELD(StreamBasicDescription, channelsPerFrame,
                   AudioStreamBasicDescription, mChannelsPerFrame);
NIMBREL_SAME_FIELD(StreamBasicDescription, bitsPerChannel,
                   AudioStreamBasicDescription, mBitsPerChannel);
NIMBREL_SAME_FIELD(StreamBasicDescription, reserved,
                   AudioStreamBasicDescription, mReserved);
static_assert(sizeof(StringRef) == sizeof(CFStringRef));
static_assert(sizeof(IOProcID) == sizeof(AudioDeviceIOProcID));

// The seam's codes are the platform's.
constexpr std::pair<uint32_t, uint32_t> kSameCodes[] = {
    {kFormatFlagIsFloat, kAudioFormatFlagIsFloat},
    {kSystemObject, kAudioObjectSystemObject},
    {kUnknownObject, kAudioObjectUnknown},
    {kScopeGlobal, kAudioObjectPropertyScopeGlobal},
    {kScopeInput, kAudioObjectPropertyScopeInput},
    {kElementMain, kAudioObjectPropertyElementMain},
    {kProcessObjectList, kAudioHardwarePropertyProcessObjectList},
    {kTranslatePIDToProcessObject,
     kAudioHardwarePropertyTranslatePIDToProcessObject},
    {kDefaultOutputDevice, kAudioHardwarePropertyDefaultOutputDevice},
    {kTranslateUIDToDevice, kAudioHardwarePropertyTranslateUIDToDevice},
    {kProcessPID, kAudioProcessPropertyPID},
    {kProcessIsRunningInput, kAudioProcessPropertyIsRunningInput},
    {kProcessIsRunningOutput, kAudioProcessPropertyIsRunningOutput},
    {kProcessBundleID, kAudioProcessPropertyBundleID},
    {kTapUID, kAudioTapPropertyUID},
    {kTapFormat, kAudioTapPropertyFormat},
    {kDeviceUID, kAudioDevicePropertyDeviceUID},
    {kDeviceIsAlive, kAudioDevicePropertyDeviceIsAlive},
    {kDeviceNominalSampleRate, kAudioDevicePropertyNominalSampleRate},
    {kDeviceStreamConfiguration, kAudioDevicePropertyStreamConfiguration},
};
static_assert(std::ranges::all_of(kSameCodes,
                                  [](auto p) { return p.first == p.second; }));

namespace {

CFStringRef platformString(StringRef string) {
  return reinterpret_cast<CFStringRef>(string);
}

AudioObjectPropertyAddress platformAddress(const PropertyAddress& address) {
  return {address.selector, address.scope, address.element};
}

dispatch_queue_t platformQueue(DispatchQueue* queue) {
  return queue != nullptr ? queue->queue : nil;
}

// Null for text that is not valid UTF-8.
NSString* nsString(std::string_view text) {
  return [[NSString alloc] initWithBytes:text.data()
                                  length:text.size()
                                encoding:NSUTF8StringEncoding];
}

// Aggregate descriptions: every key must be one of the platform's own
// constants for its level, with the value kind that constant takes.
enum class Kind { string, number, subDevices, subTaps };
struct Key {
  const char* name;
  Kind kind;
};
constexpr Key kAggregateKeys[] = {
    {kAudioAggregateDeviceNameKey, Kind::string},
    {kAudioAggregateDeviceUIDKey, Kind::string},
    {kAudioAggregateDeviceMainSubDeviceKey, Kind::string},
    {kAudioAggregateDeviceIsPrivateKey, Kind::number},
    {kAudioAggregateDeviceIsStackedKey, Kind::number},
    {kAudioAggregateDeviceTapAutoStartKey, Kind::number},
    {kAudioAggregateDeviceSubDeviceListKey, Kind::subDevices},
    {kAudioAggregateDeviceTapListKey, Kind::subTaps},
};
constexpr Key kSubDeviceKeys[] = {
    {kAudioSubDeviceUIDKey, Kind::string},
};
constexpr Key kSubTapKeys[] = {
    {kAudioSubTapUIDKey, Kind::string},
    {kAudioSubTapDriftCompensationKey, Kind::number},
};

NSDictionary* platformDictionary(const Dictionary& dictionary,
                                 std::span<const Key> keys);

id platformValue(const Value& value, Kind kind) {
  switch (kind) {
    case Kind::string: {
      const auto* text = std::get_if<std::string>(&value.v);
      return text != nullptr ? nsString(*text) : nil;
    }
    case Kind::number: {
      // The platform documents these flags as numbers, not booleans.
      const auto* flag = std::get_if<bool>(&value.v);
      return flag != nullptr ? @(*flag ? 1 : 0) : nil;
    }
    case Kind::subDevices:
    case Kind::subTaps: {
      const auto* list = std::get_if<std::vector<Dictionary>>(&value.v);
      if (list == nullptr) return nil;
      const std::span<const Key> keys =
          kind == Kind::subDevices ? std::span<const Key>(kSubDeviceKeys)
                                   : std::span<const Key>(kSubTapKeys);
      NSMutableArray* array = [NSMutableArray arrayWithCapacity:list->size()];
      for (const Dictionary& entry : *list) {
        NSDictionary* element = platformDictionary(entry, keys);
        if (element == nil) return nil;
        [array addObject:element];
      }
      return array;
    }
  }
  return nil;
}

NSDictionary* platformDictionary(const Dictionary& dictionary,
                                 std::span<const Key> keys) {
  NSMutableDictionary* result =
      [NSMutableDictionary dictionaryWithCapacity:dictionary.entries.size()];
  for (const auto& [name, value] : dictionary.entries) {
    const Key* key = nullptr;
    for (const Key& candidate : keys) {
      if (name == candidate.name) key = &candidate;
    }
    if (key == nullptr) return nil;
    id object = platformValue(value, key->kind);
    if (object == nil) return nil;
    result[@(key->name)] = object;
  }
  return result;
}

}  // namespace

std::optional<std::string> stringValue(StringRef string) {
  CFStringRef text = platformString(string);
  if (text == nullptr) return std::nullopt;
  // The stored UTF-16 units, converted by our own rule: the platform's UTF-8
  // conversions give up or write '?' at an unpaired surrogate.
  std::u16string units(size_t(CFStringGetLength(text)), u'\0');
  CFStringGetCharacters(text, CFRangeMake(0, CFIndex(units.size())),
                        reinterpret_cast<UniChar*>(units.data()));
  return support::utf8FromUtf16(units);
}

StringRef createString(std::string_view utf8) {
  CFStringRef string = CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(utf8.data()),
      CFIndex(utf8.size()), kCFStringEncodingUTF8, false);
  return reinterpret_cast<StringRef>(string);
}

void releaseString(StringRef string) {
  if (string != nullptr) CFRelease(platformString(string));
}

Status clearNotificationRunLoop() {
  const AudioObjectPropertyAddress address = {kAudioHardwarePropertyRunLoop,
                                              kAudioObjectPropertyScopeGlobal,
                                              kAudioObjectPropertyElementMain};
  CFRunLoopRef none = nullptr;
  return AudioObjectSetPropertyData(kAudioObjectSystemObject, &address, 0,
                                    nullptr, sizeof(none), &none);
}

void withAutoreleasePool(void (*work)()) {
  @autoreleasepool {
    work();
  }
}

Status getPropertyDataSize(ObjectID object, const PropertyAddress& address,
                           uint32_t qualifierSize, const void* qualifier,
                           uint32_t* outDataSize) {
  const AudioObjectPropertyAddress platform = platformAddress(address);
  return AudioObjectGetPropertyDataSize(object, &platform, qualifierSize,
                                        qualifier, outDataSize);
}

Status getPropertyData(ObjectID object, const PropertyAddress& address,
                       uint32_t qualifierSize, const void* qualifier,
                       uint32_t* ioDataSize, void* outData) {
  const AudioObjectPropertyAddress platform = platformAddress(address);
  return AudioObjectGetPropertyData(object, &platform, qualifierSize, qualifier,
                                    ioDataSize, outData);
}

Status addPropertyListener(ObjectID object, const PropertyAddress& address,
                           DispatchQueue* queue, ListenerFunction listener,
                           void* context) {
  const AudioObjectPropertyAddress platform = platformAddress(address);
  // The changed addresses are not passed on: each listener re-reads its one
  // property.
  return AudioObjectAddPropertyListenerBlock(
      object, &platform, platformQueue(queue),
      ^(UInt32, const AudioObjectPropertyAddress*) {
        listener(context);
      });
}

Status createProcessTap(const TapDescription& description, ObjectID* outTapID) {
  @autoreleasepool {
    NSMutableArray<NSNumber*>* excluded =
        [NSMutableArray arrayWithCapacity:description.excludedProcesses.size()];
    for (ObjectID process : description.excludedProcesses) {
      [excluded addObject:@(process)];
    }
    CATapDescription* tap = [[CATapDescription alloc]
        initMonoGlobalTapButExcludeProcesses:excluded];
    NSString* name = nsString(description.name);
    if (name == nil) return kAudioHardwareIllegalOperationError;
    tap.name = name;
    [tap setPrivate:description.isPrivate ? YES : NO];
    tap.muteBehavior = CATapMuteBehavior(description.muteBehavior);
    return AudioHardwareCreateProcessTap(tap, outTapID);
  }
}

Status destroyProcessTap(ObjectID tap) {
  return AudioHardwareDestroyProcessTap(tap);
}

Status createAggregateDevice(const Dictionary& description,
                             ObjectID* outDeviceID) {
  @autoreleasepool {
    NSDictionary* platform = platformDictionary(description, kAggregateKeys);
    if (platform == nil) return kAudioHardwareIllegalOperationError;
    return AudioHardwareCreateAggregateDevice(
        (__bridge CFDictionaryRef)platform, outDeviceID);
  }
}

Status destroyAggregateDevice(ObjectID device) {
  return AudioHardwareDestroyAggregateDevice(device);
}

Status createIOProcIDWithBlock(IOProcID* outProcID, ObjectID device,
                               DispatchQueue* queue, IOFunction function,
                               void* context) {
  AudioDeviceIOProcID procID = nullptr;
  // Runs once per I/O cycle on `queue`: it captures two plain pointers and
  // only calls through, so the cycle costs no allocation, lock or message.
  const Status status = AudioDeviceCreateIOProcIDWithBlock(
      &procID, device, platformQueue(queue),
      ^(const AudioTimeStamp*, const AudioBufferList* inInputData,
        const AudioTimeStamp*, AudioBufferList*, const AudioTimeStamp*) {
        function(context, reinterpret_cast<const BufferList*>(inInputData));
      });
  *outProcID = reinterpret_cast<IOProcID>(procID);
  return status;
}

Status destroyIOProcID(ObjectID device, IOProcID proc) {
  return AudioDeviceDestroyIOProcID(
      device, reinterpret_cast<AudioDeviceIOProcID>(proc));
}

Status deviceStart(ObjectID device, IOProcID proc) {
  return AudioDeviceStart(device, reinterpret_cast<AudioDeviceIOProcID>(proc));
}

Status deviceStop(ObjectID device, IOProcID proc) {
  return AudioDeviceStop(device, reinterpret_cast<AudioDeviceIOProcID>(proc));
}

}  // namespace audio
