// What the tap's start-up failures mean on the desktop's audio server
// (PulseAudio, or PipeWire's PulseAudio service); "status" is then
// libpulse's error number.
#include "audio/start_failures.h"

namespace audio {

const char* const kStartFailureMessages[kStartFailureCount] = {
    "Could not connect to the audio server (PulseAudio or PipeWire): none "
    "is running for this user, it refused the connection, or it did not "
    "answer within 3 seconds (a timeout: status 8).",
    "Could not read the tap UID.",
    "The audio server has no default sink.",
    "The default sink or the audio server went away while capture was set "
    "up.",
    "Could not read the default sink's sample rate.",
    "Could not set up the capture streams.",
    "The audio server refused to record the default sink's monitor.",
    "Could not start the writer thread.",
};

}  // namespace audio
