// The POSIX event machinery beyond the seam: a serial queue's turn taken on
// the calling thread, and the main queue served step by step.
#ifndef NIMBREL_AUDIO_POSIX_QUEUES_H_
#define NIMBREL_AUDIO_POSIX_QUEUES_H_

#include <chrono>
#include <optional>

namespace audio {
class DispatchQueue;
namespace posix {

/// Waits for `queue` (a serial one) to be idle, then runs `function` on the
/// calling thread before the queue takes its next task, as a synchronous
/// dispatch does.
void runOnQueue(DispatchQueue* queue, void (*function)(void*), void* context);

/// Runs one main-queue task on the calling thread, waiting for one until
/// `deadline` (absent: for ever, or not at all when `wait` is false); false
/// when none came.
bool serveMainQueueOnce(
    std::optional<std::chrono::steady_clock::time_point> deadline, bool wait);

/// Makes `runMainLoop` return after the task it is running.
void stopMainLoop();

}  // namespace posix
}  // namespace audio

#endif  // NIMBREL_AUDIO_POSIX_QUEUES_H_
