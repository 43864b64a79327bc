// What the tap's start-up failures mean on Core Audio, named by its calls;
// the simulated platform models Core Audio and says the same.
#include "audio/start_failures.h"

namespace audio {

const char* const kStartFailureMessages[kStartFailureCount] = {
    "AudioHardwareCreateProcessTap failed. This usually means the System "
    "Audio Recording permission was denied, or "
    "NSAudioCaptureUsageDescription is missing from Info.plist.",
    "Could not read the tap UID.",
    "No default output device.",
    "AudioHardwareCreateAggregateDevice failed.",
    "Could not read the tap stream format.",
    "AudioDeviceCreateIOProcIDWithBlock failed.",
    "AudioDeviceStart failed.",
    "Could not start the writer thread.",
};

}  // namespace audio
