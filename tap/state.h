// The tap's module-level state: one variable per fact, written by start-up
// in order and read afterwards by the handlers, the I/O block and shutdown.
#ifndef NIMBREL_TAP_STATE_H_
#define NIMBREL_TAP_STATE_H_

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "tap/io_block.h"
#include "tap/output_queue.h"

namespace tap {

// Objects that are not trivially destructible are references to storage that
// is never destroyed: the writer thread, the I/O queue and a second shutdown
// may still touch them while exit() runs.

constexpr audio::ObjectID systemObject = audio::kSystemObject;

extern std::vector<int32_t>& excludePIDs;
extern std::vector<std::string>& argv;

extern std::vector<audio::ObjectID>& excludedObjects;
extern audio::TapDescription& tapDescription;
extern audio::ObjectID tapID;
extern audio::Status tapStatus;
extern std::string& aggregateUID;
extern audio::Dictionary& aggregateDescription;
extern audio::ObjectID aggregateID;
extern audio::Status aggregateStatus;
extern audio::StreamBasicDescription streamDescription;
extern uint32_t formatSize;
extern audio::PropertyAddress formatAddress;
extern double tapRate;
extern int64_t channels;
extern bool isFloat;
extern std::optional<audio::ObjectID> outputDeviceID;
extern double aggregateRate;
extern double sampleRate;
extern int64_t subDeviceInputChannels;

extern OutputQueue& outputQueue;
/// The I/O block's context: `scratch`, `accumulator`, the conversion inputs
/// and the queue it pushes into.
extern IOBlockState& ioBlockState;
extern std::vector<int16_t>& scratch;
extern std::vector<float>& accumulator;
extern audio::DispatchQueue* ioQueue;
extern audio::IOProcID procID;  // null means absent
extern int64_t bytesPerSourceSample;
extern audio::Status procStatus;
extern audio::Status startStatus;

extern bool announced;  // main queue only
/// True while a device change is being written; `shutdown` waits for it.
extern std::atomic<bool> announcing;
/// Set by whichever ends the process first (`shutdown`, or a start-up
/// failure), on whichever thread; from then on no device change is
/// announced.
extern std::atomic<bool> shuttingDown;
/// Set once the device chain is built: from then on the end of standard
/// input stops the tap through `shutdown`, before it without teardown.
extern std::atomic<bool> chainBuilt;
extern audio::PropertyAddress deviceChangeAddress;
extern struct stat stdinStat;

}  // namespace tap

#endif  // NIMBREL_TAP_STATE_H_
