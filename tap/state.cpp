// The tap's module-level state. Heap objects here are made once and never
// freed, so no exit-time destructor can pull them from under a live thread.
#include "tap/state.h"

namespace tap {

std::vector<int32_t>& excludePIDs = *new std::vector<int32_t>();
std::vector<std::string>& argv = *new std::vector<std::string>();

std::vector<audio::ObjectID>& excludedObjects =
    *new std::vector<audio::ObjectID>();
audio::TapDescription& tapDescription = *new audio::TapDescription();
audio::ObjectID tapID = audio::kUnknownObject;
audio::Status tapStatus = audio::kNoError;
std::string& aggregateUID = *new std::string();
audio::Dictionary& aggregateDescription = *new audio::Dictionary();
audio::ObjectID aggregateID = audio::kUnknownObject;
audio::Status aggregateStatus = audio::kNoError;
audio::StreamBasicDescription streamDescription{};
uint32_t formatSize = sizeof(audio::StreamBasicDescription);
audio::PropertyAddress formatAddress{audio::kTapFormat, audio::kScopeGlobal,
                                     audio::kElementMain};
double tapRate = 0;
int64_t channels = 0;
bool isFloat = false;
std::optional<audio::ObjectID> outputDeviceID;
double aggregateRate = 0;
double sampleRate = 0;
int64_t subDeviceInputChannels = 0;

OutputQueue& outputQueue = *new OutputQueue();
IOBlockState& ioBlockState = *new IOBlockState();
std::vector<int16_t>& scratch = ioBlockState.scratch;
std::vector<float>& accumulator = ioBlockState.accumulator;
audio::DispatchQueue* ioQueue = nullptr;
audio::IOProcID procID = nullptr;
int64_t bytesPerSourceSample = 2;
audio::Status procStatus = audio::kNoError;
audio::Status startStatus = audio::kNoError;

bool announced = false;
std::atomic<bool> announcing{false};
std::atomic<bool> shuttingDown{false};
std::atomic<bool> chainBuilt{false};
audio::PropertyAddress deviceChangeAddress{
    audio::kDefaultOutputDevice, audio::kScopeGlobal, audio::kElementMain};
struct stat stdinStat {};

}  // namespace tap
