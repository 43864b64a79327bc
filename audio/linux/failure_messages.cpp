// What the tap's start-up failures mean on the desktop's audio server
// (PulseAudio, or PipeWire's PulseAudio service); "status" is then
// libpulse's error number.
#include "audio/start_failures.h"

namespace audio {

const char* failureMessage(StartFailure failure) {
  switch (failure) {
    case StartFailure::kCreateTap:
      return "Could not connect to the audio server (PulseAudio or PipeWire): "
             "none is running for this user, or it refused the connection.";
    case StartFailure::kReadTapUID:
      return "Could not read the tap UID.";
    case StartFailure::kFindOutputDevice:
      return "The audio server has no default sink.";
    case StartFailure::kCreateAggregate:
      return "The default sink or the audio server went away while capture "
             "was set up.";
    case StartFailure::kReadTapFormat:
      return "Could not read the default sink's sample rate.";
    case StartFailure::kCreateIOProc:
      return "Could not set up the capture streams.";
    case StartFailure::kStartDevice:
      return "The audio server refused to record the default sink's monitor.";
    case StartFailure::kStartWriter:
      return "Could not start the writer thread.";
  }
  return "";
}

}  // namespace audio
