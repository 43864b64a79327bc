// What in-process tests can do with the simulated platform beyond the seam:
// set the world, drive the main queue, and look at what the programs left.
#ifndef NIMBREL_AUDIO_SIM_SIM_H_
#define NIMBREL_AUDIO_SIM_SIM_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "audio/hardware.h"

namespace audio::sim {

/// Replaces the world (JSON as in docs/simulated-world.md): stops every
/// running device, forgets created objects and listeners, restarts the
/// script's clock. A bad world prints one line on standard error and exits 70.
void loadWorld(std::string_view json);

/// Why `json` is not a valid world, or absent when it is.
std::optional<std::string> worldError(std::string_view json);

/// String references created and not yet released.
int liveStringCount();

/// Runs the main queue's tasks on the calling thread until none is left.
void runMainQueueUntilIdle();

/// Runs the main queue's tasks on the calling thread until `done` holds
/// (checked before waiting and after every task) or `timeout` has passed;
/// returns `done()`.
bool runMainQueueUntil(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout);

/// Makes `runMainLoop` return after the task it is running.
void stopMainLoop();

/// The description a process tap was created with, while the tap exists.
std::optional<TapDescription> tapDescription(ObjectID tap);

/// I/O cycles delivered so far, over all devices.
uint64_t cyclesDelivered();

}  // namespace audio::sim

#endif  // NIMBREL_AUDIO_SIM_SIM_H_
