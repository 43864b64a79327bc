// nimbrel-probe: tells the parent application, as JSON lines on standard
// output, which processes use audio input or output. Runs until its standard
// input (a pipe or a stream socket) ends.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "audio/dispatch.h"
#include "audio/hardware.h"
#include "probe/messages.h"
#include "probe/options.h"
#include "probe/sampler.h"
#include "support/input_end.h"
#include "support/standard_streams.h"
#include "support/utf8.h"

namespace probe {
namespace {

// Module state of the main thread (the sampler's own lives in sampler.cpp).
// The stdin watcher touches none of it; what is not trivially destructible
// is allocated once and never freed all the same.
int64_t intervalMs = 1000;
std::unordered_set<int32_t>& excludedPIDs = *new std::unordered_set<int32_t>;
std::optional<Report>& lastReport = *new std::optional<Report>;
int64_t ticksSinceEmit = 0;
int64_t heartbeatTicks = 5;
struct stat stdinStat;
bool stdinHasWatchableEnd = false;
// The watcher itself lives in the platform layer for the rest of the
// process, never cancelled, so there is no handle to keep.

// usleep takes 32-bit microseconds, which covers 4294967 ms (71 minutes);
// longer intervals are slept in pieces of that size so nothing wraps.
void sleepFor(int64_t ms) {
  constexpr int64_t kLongestPieceMs = 4294967;
  while (ms > 0) {
    const int64_t piece = std::min(ms, kLongestPieceMs);
    usleep(static_cast<useconds_t>(piece * 1000));
    ms -= piece;
  }
}

// Runs on a background thread. It ends the process with _exit rather than
// exit: exit would run static destructors and flush stdio while the main
// thread may be sampling or in the middle of a line, whereas _exit touches
// nothing the main thread uses. Nothing already written is lost, since every
// line is flushed at once; at most the line in hand is dropped or cut short.
void onStdinReadable() {
  char buffer[256] = {};
  if (read(STDIN_FILENO, buffer, sizeof buffer) > 0) return;
  _exit(0);
}

void tick() {
  Report report = sample(excludedPIDs);
  ++ticksSinceEmit;
  if (!lastReport || report != *lastReport ||
      ticksSinceEmit >= heartbeatTicks) {
    emit(report);
    // Counted as written even if the line could not be encoded: the next
    // attempt comes with the next change or heartbeat.
    lastReport = std::move(report);
    ticksSinceEmit = 0;
  }
  if (nameCache.size() > 256) nameCache.clear();
  sleepFor(intervalMs);
}

}  // namespace
}  // namespace probe

int main(int argc, char** argv) {
  using namespace probe;

  // Before anything opens a file, which would otherwise take the number of
  // a closed standard descriptor and get the lines.
  support::openNullInPlaceOfClosedStandardStreams();

  // Start-up, in order; the stdin watcher comes last, once Hello is out.
  alwaysOnMicHolders = {kAlwaysOnMicHolders.begin(), kAlwaysOnMicHolders.end()};
  alwaysOnMicHolderNames = {kAlwaysOnMicHolderNames.begin(),
                            kAlwaysOnMicHolderNames.end()};

  // Nothing on the command line is ever rejected or reported.
  Options options =
      parseOptions(std::vector<std::string>(argv + 1, argv + argc));
  intervalMs = options.intervalMs;
  excludedPIDs = std::move(options.excludedPIDs);
  // Compared as text: a prefix that is not UTF-8 is decoded as paths are,
  // so it can never match half of a character.
  for (const std::string& prefix : options.excludedBundlePrefixes) {
    excludedBundlePrefixes.push_back(support::repairUtf8(prefix));
  }

  // The main thread never runs a run loop, where the audio system would
  // otherwise handle the notifications that keep the polled values fresh.
  audio::clearNotificationRunLoop();

  // Never report ourselves.
  excludedPIDs.insert(static_cast<int32_t>(getpid()));

  // The JSON writer always sorts keys: there is no encoder to set up.
  emit(Hello{.intervalMs = intervalMs});

  lastReport.reset();
  ticksSinceEmit = 0;
  heartbeatTicks = heartbeatTicksFor(intervalMs);

  // Only a pipe or a stream socket is watched: a terminal, a file or
  // /dev/null never ends the probe.
  stdinStat = {};
  if (fstat(STDIN_FILENO, &stdinStat) == 0) {
    stdinHasWatchableEnd = support::hasWatchableEnd(STDIN_FILENO, stdinStat);
    if (stdinHasWatchableEnd) {
      audio::watchReadable(STDIN_FILENO, audio::globalQueue(), onStdinReadable);
    }
  }

  // Objects the platform hands out during a tick are freed at its end.
  for (;;) audio::withAutoreleasePool(tick);
}
