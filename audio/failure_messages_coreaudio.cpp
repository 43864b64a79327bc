// What the tap's start-up failures mean on Core Audio, named by its calls;
// the simulated platform models Core Audio and says the same.
#include "audio/start_failures.h"

namespace audio {

const char* failureMessage(StartFailure failure) {
  switch (failure) {
    case StartFailure::kCreateTap:
      return "AudioHardwareCreateProcessTap failed. This usually means the "
             "System Audio Recording permission was denied, or "
             "NSAudioCaptureUsageDescription is missing from Info.plist.";
    case StartFailure::kReadTapUID:
      return "Could not read the tap UID.";
    case StartFailure::kFindOutputDevice:
      return "No default output device.";
    case StartFailure::kCreateAggregate:
      return "AudioHardwareCreateAggregateDevice failed.";
    case StartFailure::kReadTapFormat:
      return "Could not read the tap stream format.";
    case StartFailure::kCreateIOProc:
      return "AudioDeviceCreateIOProcIDWithBlock failed.";
    case StartFailure::kStartDevice:
      return "AudioDeviceStart failed.";
    case StartFailure::kStartWriter:
      return "Could not start the writer thread.";
  }
  return "";
}

}  // namespace audio
