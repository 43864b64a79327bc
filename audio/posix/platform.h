// What the POSIX event machinery asks of the platform it serves: set-up
// before first use, a say on starting threads, and a word before the main
// loop runs. The simulated and Linux platforms each define these.
#ifndef NIMBREL_AUDIO_POSIX_PLATFORM_H_
#define NIMBREL_AUDIO_POSIX_PLATFORM_H_

namespace audio::posix {

/// Runs before any queue, watcher or thread is made.
void preparePlatform();

/// False when the platform refuses to start a thread now.
bool platformAllowsThread();

/// Runs on the main thread when `runMainLoop` begins.
void beforeMainLoop();

}  // namespace audio::posix

#endif  // NIMBREL_AUDIO_POSIX_PLATFORM_H_
