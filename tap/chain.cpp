// The capture device chain: process tap, private aggregate device around the
// default output device, I/O proc; the reads it needs, and `teardown`.
#include "tap/chain.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "tap/events.h"
#include "tap/io_block.h"
#include "tap/shutdown.h"
#include "tap/state.h"

namespace tap {
namespace {

/// The process object of `pid`, or 0 when it does not translate.
audio::ObjectID processObject(int32_t pid) {
  audio::ObjectID object = audio::kUnknownObject;
  uint32_t size = sizeof(object);
  const audio::Status status = audio::getPropertyData(
      systemObject, audio::globalAddress(audio::kTranslatePIDToProcessObject),
      sizeof(pid), &pid, &size, &object);
  return status == audio::kNoError ? object : audio::kUnknownObject;
}

}  // namespace

std::optional<std::string> readString(audio::ObjectID object,
                                      audio::Selector selector) {
  audio::StringRef string = nullptr;
  uint32_t size = sizeof(string);
  const audio::Status status = audio::getPropertyData(
      object, audio::globalAddress(selector), 0, nullptr, &size, &string);
  std::optional<std::string> text;
  if (status == audio::kNoError) text = audio::stringValue(string);
  if (string != nullptr) audio::releaseString(string);
  return text;
}

std::optional<std::string> currentDefaultOutputUID() {
  audio::ObjectID device = audio::kUnknownObject;
  uint32_t size = sizeof(device);
  const audio::Status status = audio::getPropertyData(
      systemObject, audio::globalAddress(audio::kDefaultOutputDevice), 0,
      nullptr, &size, &device);
  if (status != audio::kNoError || device == audio::kUnknownObject) {
    return std::nullopt;
  }
  return readString(device, audio::kDeviceUID);
}

int64_t sumStreamChannels(std::span<const std::byte> bytes) {
  uint32_t numberBuffers = 0;
  if (bytes.size() < sizeof(numberBuffers)) return 0;
  std::memcpy(&numberBuffers, bytes.data(), sizeof(numberBuffers));
  constexpr std::size_t first = offsetof(audio::BufferList, buffers);
  constexpr std::size_t stride = sizeof(audio::Buffer);
  const std::size_t fit =
      bytes.size() >= first ? (bytes.size() - first) / stride : 0;
  const std::size_t count = std::min<std::size_t>(numberBuffers, fit);
  int64_t sum = 0;
  for (std::size_t i = 0; i < count; ++i) {
    uint32_t numberChannels = 0;
    std::memcpy(&numberChannels,
                bytes.data() + first + i * stride +
                    offsetof(audio::Buffer, numberChannels),
                sizeof(numberChannels));
    sum += numberChannels;
  }
  return sum;
}

int64_t inputChannelCount(audio::ObjectID device) {
  const audio::PropertyAddress address{audio::kDeviceStreamConfiguration,
                                       audio::kScopeInput, audio::kElementMain};
  uint32_t size = 0;
  if (audio::getPropertyDataSize(device, address, 0, nullptr, &size) !=
          audio::kNoError ||
      size == 0) {
    return 0;
  }
  std::vector<std::byte> buffer(size);
  uint32_t filled = size;
  if (audio::getPropertyData(device, address, 0, nullptr, &filled,
                             buffer.data()) != audio::kNoError) {
    return 0;
  }
  // Trust neither the buffer count nor a size beyond what was allocated.
  return sumStreamChannels(std::span(buffer).first(std::min(filled, size)));
}

void teardown() {
  // The aggregate device contains the tap, so it goes first.
  if (aggregateID != audio::kUnknownObject) {
    audio::destroyAggregateDevice(aggregateID);
  }
  if (tapID != audio::kUnknownObject) audio::destroyProcessTap(tapID);
}

std::string makeAggregateUID() {
  std::random_device entropy;
  std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
  std::mt19937_64 generator(seed);
  uint64_t high = generator();
  uint64_t low = generator();
  high = (high & ~uint64_t{0xF000}) | 0x4000;                // version 4
  low = (low & ~(uint64_t{3} << 62)) | (uint64_t{1} << 63);  // RFC 4122 variant
  char uuid[37];
  std::snprintf(uuid, sizeof(uuid), "%08X-%04X-%04X-%04X-%012llX",
                unsigned(high >> 32), unsigned((high >> 16) & 0xFFFF),
                unsigned(high & 0xFFFF), unsigned(low >> 48),
                static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
  return "nimbrel-agg-" + std::string(uuid);
}

audio::Dictionary makeAggregateDescription(const std::string& aggregateUID,
                                           const std::string& outputUID,
                                           const std::string& tapUID) {
  using audio::Dictionary;
  using audio::Value;
  Dictionary subDevice{{{"uid", Value{outputUID}}}};
  Dictionary tap{{{"uid", Value{tapUID}}, {"drift", Value{true}}}};
  return Dictionary{{
      {"name", Value{std::string("Nimbrel Capture")}},
      {"uid", Value{aggregateUID}},
      {"master", Value{outputUID}},
      {"private", Value{true}},
      {"stacked", Value{false}},
      {"tapautostart", Value{true}},
      {"subdevices", Value{std::vector<Dictionary>{subDevice}}},
      {"taps", Value{std::vector<Dictionary>{tap}}},
  }};
}

void translateExcludedPIDs() {
  excludedObjects.clear();
  for (int32_t pid : excludePIDs) {
    const audio::ObjectID object = processObject(pid);
    if (object != audio::kUnknownObject) excludedObjects.push_back(object);
  }
  const audio::ObjectID self = processObject(int32_t(getpid()));
  if (self != audio::kUnknownObject) excludedObjects.push_back(self);
}

void createTap() {
  tapDescription = audio::TapDescription{};
  tapDescription.excludedProcesses = excludedObjects;
  tapDescription.name = "nimbrel-tap";
  tapDescription.isPrivate = true;
  tapDescription.muteBehavior = 0;  // unmuted: the audio keeps playing
  tapID = audio::kUnknownObject;
  tapStatus = audio::createProcessTap(tapDescription, &tapID);
  if (tapStatus != audio::kNoError || tapID == audio::kUnknownObject) {
    fail(kTapCreateFailed, tapStatus);
  }
}

std::string readTapUID() {
  std::optional<std::string> tapUID = readString(tapID, audio::kTapUID);
  if (!tapUID) fail(kTapUIDFailed, std::nullopt);
  return *tapUID;
}

std::string readOutputUID() {
  std::optional<std::string> outputUID = currentDefaultOutputUID();
  if (!outputUID) fail(kNoOutputDevice, std::nullopt);
  return *outputUID;
}

void createAggregateDevice(const std::string& tapUID,
                           const std::string& outputUID) {
  aggregateUID = makeAggregateUID();
  aggregateDescription =
      makeAggregateDescription(aggregateUID, outputUID, tapUID);
  aggregateID = audio::kUnknownObject;
  aggregateStatus =
      audio::createAggregateDevice(aggregateDescription, &aggregateID);
  if (aggregateStatus != audio::kNoError ||
      aggregateID == audio::kUnknownObject) {
    fail(kAggregateCreateFailed, aggregateStatus);
  }
}

void readTapFormat() {
  streamDescription = audio::StreamBasicDescription{};
  formatSize = sizeof(streamDescription);
  formatAddress = audio::globalAddress(audio::kTapFormat);
  if (audio::getPropertyData(tapID, formatAddress, 0, nullptr, &formatSize,
                             &streamDescription) != audio::kNoError) {
    teardown();
    fail(kTapFormatFailed, std::nullopt);
  }
}

void deriveFormat(const std::string& outputUID) {
  tapRate = streamDescription.sampleRate;
  channels = streamDescription.channelsPerFrame;
  isFloat = (streamDescription.formatFlags & audio::kFormatFlagIsFloat) != 0;

  audio::StringRef uid = audio::createString(outputUID);
  audio::ObjectID device = audio::kUnknownObject;
  uint32_t size = sizeof(device);
  const audio::Status status = audio::getPropertyData(
      systemObject, audio::globalAddress(audio::kTranslateUIDToDevice),
      sizeof(uid), &uid, &size, &device);
  audio::releaseString(uid);
  outputDeviceID.reset();
  if (status == audio::kNoError && device != audio::kUnknownObject) {
    outputDeviceID = device;
  }

  double rate = 0;
  size = sizeof(rate);
  const audio::Status rateStatus = audio::getPropertyData(
      aggregateID, audio::globalAddress(audio::kDeviceNominalSampleRate), 0,
      nullptr, &size, &rate);
  aggregateRate = rateStatus == audio::kNoError ? rate : 0;
  // Not-a-number fails the comparison and falls back as well.
  sampleRate = aggregateRate > 0 ? aggregateRate : tapRate;

  subDeviceInputChannels =
      outputDeviceID ? inputChannelCount(*outputDeviceID) : 0;
}

void emitFormat(const std::string& outputUID) {
  emit(formatEvent(sampleRate, channels, isFloat, outputUID, tapRate,
                   subDeviceInputChannels));
}

void createIOProc() {
  procID = nullptr;
  procStatus = audio::createIOProcIDWithBlock(&procID, aggregateID, ioQueue,
                                              ioBlock, &ioBlockState);
  if (procStatus != audio::kNoError || procID == nullptr) {
    teardown();
    fail(kIOProcFailed, procStatus);
  }
}

void startDevice() {
  startStatus = audio::deviceStart(aggregateID, procID);
  if (startStatus != audio::kNoError) {
    // A stop that came while the start waited for audio may have made it
    // fail; that stop ends the process, with status 0.
    claimTheEnd();
    teardown();
    failAfterClaim(kDeviceStartFailed, startStatus);
  }
}

}  // namespace tap
