// The seam to the platform's event machinery: the main queue and its run
// loop, serial and global queues, signal and read-readiness watchers, and
// plain threads.
#ifndef NIMBREL_AUDIO_DISPATCH_H_
#define NIMBREL_AUDIO_DISPATCH_H_

#include <functional>

namespace audio {

/// A dispatch queue. Queues live for the whole process and are never freed.
class DispatchQueue;

using Task = std::function<void()>;

/// The queue that `runMainLoop` serves on the main thread, one task at a time.
DispatchQueue* mainQueue();
/// The shared background queue of default quality of service (concurrent).
DispatchQueue* globalQueue();
/// A new serial queue of user-initiated quality of service.
DispatchQueue* createSerialQueue(const char* label);

/// Runs `task` on `queue` later; returns at once.
void dispatchAsync(DispatchQueue* queue, Task task);

/// Serves the main queue on the calling (main) thread. Never returns on the
/// real platform; the simulated one returns only if it is told to stop.
void runMainLoop();

/// Stops the default action of `signo` and runs `handler` on the main queue
/// each time it arrives (arrivals may be merged). Never cancelled.
void watchSignal(int signo, Task handler);

/// Runs `handler` on `queue` whenever `fd` is readable or at its end, never
/// twice at the same time. Never cancelled.
void watchReadable(int fd, DispatchQueue* queue, Task handler);

/// Starts a detached thread running `body`; it is never joined. False when
/// the platform could not create it.
bool startThread(Task body);

}  // namespace audio

#endif  // NIMBREL_AUDIO_DISPATCH_H_
