// Stop watchers (SIGINT, SIGTERM, the end of a standard input that is a pipe
// or a stream socket) and `shutdown`, the orderly stop that ends the process
// with status 0.
#ifndef NIMBREL_TAP_SHUTDOWN_H_
#define NIMBREL_TAP_SHUTDOWN_H_

#include <chrono>

namespace tap {

/// How long an orderly stop waits for the writer to hand what is still
/// queued to the reader; a stalled reader must not hang the stop.
constexpr std::chrono::milliseconds kWriteOutDeadline{1000};

/// Stops the device, removes the I/O proc, finishes the queue, destroys the
/// aggregate device and the tap, lets the writer write out what is queued
/// (bounded by kWriteOutDeadline, and ended early by a reader that goes
/// away), and exits with status 0. Only the first
/// entry runs the steps; a concurrent second one parks until the exit.
[[noreturn]] void shutdown();

/// Makes the caller the one that ends the process: returns to the first
/// caller, and parks every later one for good (the first one's exit ends
/// the process). `shutdown` and the start-up failure exit both claim it.
void claimTheEnd();

/// SIGINT, then SIGTERM: their default action stops, and each arrival runs
/// `shutdown` on the main queue.
void installSignalWatchers();

/// Watches descriptor 0 on the global queue when it is a pipe or a stream
/// socket; its end (the peer's close or shutdown of writing) or a
/// read error shuts the tap down, and bytes read are discarded. Installed
/// first thing, so that the end of stdin also stops a start that waits on
/// the audio system: before `chainBuilt` that stop exits 0 at once.
void installStdinWatcher();

}  // namespace tap

#endif  // NIMBREL_TAP_SHUTDOWN_H_
