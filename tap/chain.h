// The capture device chain: process tap, private aggregate device around the
// default output device, I/O proc; the reads it needs, and `teardown`.
#ifndef NIMBREL_TAP_CHAIN_H_
#define NIMBREL_TAP_CHAIN_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "audio/hardware.h"

namespace tap {

/// A string property of `object` at (selector, global, main); absent on any
/// failure. Whatever string reference the platform hands out is released.
std::optional<std::string> readString(audio::ObjectID object,
                                      audio::Selector selector);

/// The default output device's UID now; absent when there is none or its UID
/// cannot be read.
std::optional<std::string> currentDefaultOutputUID();

/// The sum of the input stream configuration's channel counts; 0 when it
/// cannot be read.
int64_t inputChannelCount(audio::ObjectID device);

/// The channel counts summed over a stream configuration of `bytes.size()`
/// bytes: only the buffer records that lie wholly inside it are counted,
/// whatever its buffer count claims.
int64_t sumStreamChannels(std::span<const std::byte> bytes);

/// Destroys the aggregate device, then the tap, each only if it exists.
void teardown();

/// "nimbrel-agg-" and a fresh random version-4 UUID in upper case.
std::string makeAggregateUID();

/// The eight-entry description of the private aggregate device.
audio::Dictionary makeAggregateDescription(const std::string& aggregateUID,
                                           const std::string& outputUID,
                                           const std::string& tapUID);

// The chain's steps, in the order start-up calls them. Each failure emits
// its "error" line and exits with status 1.

/// `excludedObjects`: the translated `excludePIDs`, then the tap's own process.
void translateExcludedPIDs();
/// `tapDescription` and `tapID`.
void createTap();
/// The tap's UID.
std::string readTapUID();
/// The default output device's UID (`outputUID`).
std::string readOutputUID();
/// `aggregateUID`, `aggregateDescription`, `aggregateID`.
void createAggregateDevice(const std::string& tapUID,
                           const std::string& outputUID);
/// `streamDescription`; tears the chain down on failure.
void readTapFormat();
/// `tapRate`, `channels`, `isFloat`, `outputDeviceID`, `aggregateRate`,
/// `sampleRate` and `subDeviceInputChannels`.
void deriveFormat(const std::string& outputUID);
/// The "format" event.
void emitFormat(const std::string& outputUID);
/// `procID`: the I/O block on `ioQueue`; tears the chain down on failure.
void createIOProc();
/// Starts the aggregate device; tears the chain down on failure.
void startDevice();

}  // namespace tap

#endif  // NIMBREL_TAP_CHAIN_H_
