// The Linux platform's part in the POSIX event machinery: nothing to set up
// first, no say on threads, and libpulse delivers the server's events on its
// own thread whether or not the main loop runs.
#include "audio/posix/platform.h"

namespace audio::posix {

void preparePlatform() {}
bool platformAllowsThread() { return true; }
void beforeMainLoop() {}

}  // namespace audio::posix
