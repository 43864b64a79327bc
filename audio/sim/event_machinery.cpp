// The simulated platform's part in the POSIX event machinery (its world is
// loaded first, its failure rules may refuse a thread, its notifications are
// heard once the main loop runs), and the main-queue drivers in-process
// tests use.
#include <optional>

#include "audio/posix/platform.h"
#include "audio/posix/queues.h"
#include "audio/sim/sim.h"
#include "audio/sim/state.h"

namespace audio {
namespace posix {

void preparePlatform() { sim::state(); }

bool platformAllowsThread() {
  sim::State& s = sim::state();
  std::lock_guard lock(s.mutex);
  return sim::failureFor(s, "startThread", std::nullopt, 0, nullptr)
             .value_or(kNoError) == kNoError;
}

void beforeMainLoop() {
  sim::State& s = sim::state();
  std::lock_guard lock(s.mutex);
  sim::startHearingNotifications(s);
}

}  // namespace posix

namespace sim {

void runMainQueueUntilIdle() {
  while (posix::serveMainQueueOnce(std::nullopt, false)) {
  }
}

bool runMainQueueUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (!posix::serveMainQueueOnce(deadline, true)) return done();
  }
  return true;
}

void stopMainLoop() { posix::stopMainLoop(); }

}  // namespace sim
}  // namespace audio
