// nimbrel-tap: records the system output mix, minus the given processes and
// itself, as mono s16le PCM on standard output; events on standard error.
#include <string>

#include "audio/dispatch.h"
#include "support/standard_streams.h"
#include "tap/chain.h"
#include "tap/device_changes.h"
#include "tap/events.h"
#include "tap/io_block.h"
#include "tap/options.h"
#include "tap/output_queue.h"
#include "tap/shutdown.h"
#include "tap/state.h"

int main(int argc, char** argv) {
  using namespace tap;
  constexpr int64_t kWorkArrayFrames = 65536;

  // Before anything opens a file: PCM must never reach whatever would
  // otherwise become descriptor 1.
  support::openNullInPlaceOfClosedStandardStreams();

  tap::argv.assign(argv, argv + argc);
  excludePIDs = parseExcludePIDs(tap::argv);
  // Connecting to the audio system may wait on it: the end of standard
  // input must stop the tap meanwhile too, as while auto-start waits for
  // audio below.
  installStdinWatcher();

  translateExcludedPIDs();
  createTap();
  const std::string tapUID = readTapUID();
  const std::string outputUID = readOutputUID();
  createAggregateDevice(tapUID, outputUID);
  readTapFormat();
  deriveFormat(outputUID);
  emitFormat(outputUID);

  // outputQueue already exists, in storage that outlives every thread.
  if (!startWriterThread(outputQueue)) {
    teardown();
    fail(kWriterStartFailed, std::nullopt);
  }
  scratch.assign(kWorkArrayFrames, 0);
  accumulator.assign(kWorkArrayFrames, 0.0f);
  ioQueue = audio::createSerialQueue(NIMBREL_TAP_BUNDLE_ID ".io");
  procID = nullptr;
  bytesPerSourceSample = isFloat ? 4 : 2;
  ioBlockState.input = {subDeviceInputChannels, isFloat, bytesPerSourceSample};
  ioBlockState.queue = &outputQueue;

  createIOProc();
  chainBuilt = true;
  startDevice();
  // Before "started": a parent may send SIGTERM the moment it reads it.
  installSignalWatchers();
  emit(startedEvent());

  installDeviceChangeListeners(outputUID);
  audio::runMainLoop();
  return 0;
}
