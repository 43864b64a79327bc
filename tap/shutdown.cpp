// Stop watchers (SIGINT, SIGTERM, the end of a standard input that is a pipe
// or a stream socket) and `shutdown`, the orderly stop that ends the process
// with status 0.
#include "tap/shutdown.h"

#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "support/input_end.h"
#include "tap/chain.h"
#include "tap/state.h"

namespace tap {
namespace {

[[noreturn]] void parkForever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

void stdinReadable() {
  char buffer[256] = {};
  const ssize_t count = read(0, buffer, sizeof(buffer));
  if (count > 0) return;  // content has no meaning
  if (chainBuilt.load()) shutdown();
  // Still connecting or building: the main thread owns the chain's state
  // and nothing has been written to stdout, so end here without touching
  // either. The system takes back the private objects of a process that
  // ends.
  claimTheEnd();
  _exit(0);
}

}  // namespace

void claimTheEnd() {
  // The later caller must not return: the stdin watcher would be called
  // again at once on a persistent end of file, and a failed start must not
  // tear down what a stop is tearing down.
  if (shuttingDown.exchange(true)) parkForever();
}

void shutdown() {
  // A signal on the main queue and the end of input on a background thread
  // can both get here, and so can a failed start.
  claimTheEnd();
  // A device change being written on the main queue finishes first; a
  // stalled stderr reader delays the stop by at most the write-out deadline.
  for (auto waited = std::chrono::milliseconds(0);
       announcing.load() && waited < kWriteOutDeadline;
       waited += std::chrono::milliseconds(1)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  // A reader that leaves now only ends the write-out early: its write fails
  // instead of killing the process before it exits 0.
  signal(SIGPIPE, SIG_IGN);
  audio::deviceStop(aggregateID, procID);
  audio::destroyIOProcID(aggregateID, procID);
  outputQueue.finish();
  teardown();
  // The parent is usually still reading: hand it the end of the recording.
  outputQueue.waitUntilWritten(kWriteOutDeadline);
  std::exit(0);
}

void installSignalWatchers() {
  for (int signo : {SIGINT, SIGTERM}) {
    audio::watchSignal(signo, [] { shutdown(); });
  }
}

void installStdinWatcher() {
  stdinStat = {};
  if (fstat(0, &stdinStat) != 0) return;
  if (!support::hasWatchableEnd(0, stdinStat)) return;
  audio::watchReadable(0, audio::globalQueue(), stdinReadable);
}

}  // namespace tap
