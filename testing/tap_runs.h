// What the tap's end-to-end tests expect of a run on a CaptureWorld: its
// event lines, its platform calls, and the ways it is stopped.
#ifndef NIMBREL_TESTING_TAP_RUNS_H_
#define NIMBREL_TESTING_TAP_RUNS_H_

#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "testing/e2e_harness.h"

namespace tapworld {

using Lines = std::vector<std::string>;

/// `a` followed by `b` (tests bring it in with `using tapworld::operator+`).
inline Lines operator+(Lines a, const Lines& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

inline const std::string kStarted = R"({"type":"started"})";

/// A "format" line; the UID is given as JSON, quotes included.
inline std::string formatLine(int channels, int deviceInputChannels,
                              const std::string& outputUIDJson,
                              const std::string& sampleRate, bool sourceIsFloat,
                              const std::string& tapRate) {
  return "{\"channels\":" + std::to_string(channels) +
         ",\"deviceInputChannels\":" + std::to_string(deviceInputChannels) +
         ",\"encoding\":\"s16le\",\"outputDeviceUID\":" + outputUIDJson +
         ",\"sampleRate\":" + sampleRate +
         ",\"sourceIsFloat\":" + (sourceIsFloat ? "true" : "false") +
         ",\"tapRate\":" + tapRate + ",\"type\":\"format\"}";
}

/// The "format" line of a default CaptureWorld.
inline const std::string kSpeakersFormat =
    formatLine(1, 0, R"("speakers")", "48000", true, "48000");

inline std::string errorLine(const std::string& code,
                             const std::string& message,
                             std::optional<int32_t> status = std::nullopt) {
  std::string line =
      "{\"code\":\"" + code + "\",\"message\":\"" + message + "\"";
  if (status) line += ",\"status\":" + std::to_string(*status);
  return line + ",\"type\":\"error\"}";
}

/// A "device-changed" line; the UIDs are given as JSON, quotes included.
inline std::string changeLine(const std::string& reason,
                              const std::string& fromJson,
                              const std::string& toJson) {
  return "{\"from\":" + fromJson + ",\"reason\":\"" + reason +
         "\",\"to\":" + toJson + ",\"type\":\"device-changed\"}";
}

/// The call log of a start-up that gets as far as capture, and of the
/// orderly stop after it.
inline const Lines kChain{"createProcessTap 300", "createAggregateDevice 400",
                          "createIOProcID 400", "deviceStart 400"};
inline const Lines kShutdown{"deviceStop 400", "destroyIOProcID 400",
                             "destroyAggregateDevice 400",
                             "destroyProcessTap 300"};

// A "device-changed" line shows the tap serving its main queue, where the
// signal handlers run. The aggregate device is declared dead again and
// again, so the line comes whenever the listener got installed.
inline const std::string kDeathScript =
    R"(,"script":[{"atCycle":2,"aggregateAlive":false},)"
    R"({"atCycle":8,"aggregateAlive":false},)"
    R"({"atCycle":32,"aggregateAlive":false},)"
    R"({"atCycle":128,"aggregateAlive":false},)"
    R"({"atCycle":512,"aggregateAlive":false}])";
inline const std::string kDeathLine =
    changeLine("aggregate-dead", R"("speakers")", R"("speakers")");

/// The three ways to ask the tap to stop.
enum class Stop { kSigterm, kSigint, kEndOfStdin };

inline void stop(e2e::Child& tap, Stop how) {
  switch (how) {
    case Stop::kSigterm:
      tap.sendSignal(SIGTERM);
      break;
    case Stop::kSigint:
      tap.sendSignal(SIGINT);
      break;
    case Stop::kEndOfStdin:
      tap.closeStdin();
      break;
  }
}

/// Stops the tap and expects exit status 0 with no further event line.
inline void stopAndExpectCleanExit(e2e::Child& tap, Stop how) {
  stop(tap, how);
  e2e::expectExit(tap, 0);
  EXPECT_EQ(tap.readToEnd(e2e::Stream::Stderr), "");
}

/// The cycles the I/O proc delivered, from the call log of a world with
/// "logCycles"; absent if the device never stopped.
inline std::optional<uint64_t> cyclesDelivered(const e2e::Child& tap) {
  for (const std::string& line : tap.callLog()) {
    if (line.rfind("cycles 400 ", 0) == 0) return std::stoull(line.substr(11));
  }
  return std::nullopt;
}

}  // namespace tapworld

#endif  // NIMBREL_TESTING_TAP_RUNS_H_
