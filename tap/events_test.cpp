// Tests of the tap's event lines, byte for byte, and of what emit and fail
// put on descriptor 2.
#include "tap/events.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <limits>

namespace tap {
namespace {

TEST(Events, ErrorLinesCarryCodeMessageAndOptionalStatus) {
  struct Case {
    const ErrorKind& kind;
    std::optional<int32_t> status;
    const char* line;
  };
  const Case cases[] = {
      {kTapCreateFailed, -50,
       "{\"code\":\"TAP_CREATE_FAILED\",\"message\":"
       "\"AudioHardwareCreateProcessTap "
       "failed. This usually means the System Audio Recording permission was "
       "denied, or NSAudioCaptureUsageDescription is missing from "
       "Info.plist.\",\"status\":-50,\"type\":\"error\"}\n"},
      {kTapCreateFailed, 0,
       "{\"code\":\"TAP_CREATE_FAILED\",\"message\":"
       "\"AudioHardwareCreateProcessTap "
       "failed. This usually means the System Audio Recording permission was "
       "denied, or NSAudioCaptureUsageDescription is missing from "
       "Info.plist.\",\"status\":0,\"type\":\"error\"}\n"},
      {kTapUIDFailed, std::nullopt,
       "{\"code\":\"TAP_UID_FAILED\",\"message\":\"Could not read the tap "
       "UID.\",\"type\":\"error\"}\n"},
      {kNoOutputDevice, std::nullopt,
       "{\"code\":\"NO_OUTPUT_DEVICE\",\"message\":\"No default output "
       "device.\",\"type\":\"error\"}\n"},
      {kAggregateCreateFailed, 2003332927,
       "{\"code\":\"AGGREGATE_CREATE_FAILED\",\"message\":"
       "\"AudioHardwareCreateAggregateDevice failed.\",\"status\":2003332927,"
       "\"type\":\"error\"}\n"},
      {kTapFormatFailed, std::nullopt,
       "{\"code\":\"TAP_FORMAT_FAILED\",\"message\":\"Could not read the tap "
       "stream format.\",\"type\":\"error\"}\n"},
      {kIOProcFailed, std::numeric_limits<int32_t>::min(),
       "{\"code\":\"IOPROC_FAILED\",\"message\":"
       "\"AudioDeviceCreateIOProcIDWithBlock failed.\",\"status\":-2147483648,"
       "\"type\":\"error\"}\n"},
      {kDeviceStartFailed, 1852797029,
       "{\"code\":\"DEVICE_START_FAILED\",\"message\":\"AudioDeviceStart "
       "failed.\",\"status\":1852797029,\"type\":\"error\"}\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(eventLine(errorEvent(c.kind, c.status)), c.line) << c.kind.code;
  }
}

TEST(Events, FormatStartedAndDeviceChangedLines) {
  struct Case {
    const char* name;
    Event event;
    const char* line;
  };
  const Case cases[] = {
      {"48 kHz rates are written as integers",
       formatEvent(48000.0, 2, true, "nimbrel-sim-speakers", 48000.0, 0),
       "{\"channels\":2,\"deviceInputChannels\":0,\"encoding\":\"s16le\","
       "\"outputDeviceUID\":\"nimbrel-sim-speakers\",\"sampleRate\":48000,"
       "\"sourceIsFloat\":true,\"tapRate\":48000,\"type\":\"format\"}\n"},
      {"non-integral rate, slash and raw UTF-8 in the UID",
       formatEvent(44100.5, 1, false, "BuiltIn/Speakers \xC3\xA9", 0.1, 4),
       "{\"channels\":1,\"deviceInputChannels\":4,\"encoding\":\"s16le\","
       "\"outputDeviceUID\":\"BuiltIn\\/Speakers "
       "\xC3\xA9\",\"sampleRate\":44100.5,"
       "\"sourceIsFloat\":false,\"tapRate\":0.1,\"type\":\"format\"}\n"},
      {"started", startedEvent(), "{\"type\":\"started\"}\n"},
      {"device-changed",
       deviceChangedEvent("default-output-changed", "usb/1", "none"),
       "{\"from\":\"usb\\/1\",\"reason\":\"default-output-changed\","
       "\"to\":\"none\",\"type\":\"device-changed\"}\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(eventLine(c.event), c.line) << c.name;
}

TEST(Events, UnrepresentableValuesDropTheEvent) {
  const double nan = std::nan("");
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_FALSE(eventLine(formatEvent(nan, 2, true, "d", 48000.0, 0)));
  EXPECT_FALSE(eventLine(formatEvent(48000.0, 2, true, "d", -inf, 0)));
  EXPECT_FALSE(eventLine(deviceChangedEvent("aggregate-dead", "\xFF", "none")));
}

// Runs `body` with descriptor 2 on a pipe and returns what it wrote there.
template <typename Body>
std::string captureStandardError(Body body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  int saved = dup(2);
  dup2(fds[1], 2);
  close(fds[1]);
  body();
  dup2(saved, 2);
  close(saved);
  std::string out;
  char piece[512];
  for (ssize_t n; (n = read(fds[0], piece, sizeof piece)) > 0;)
    out.append(piece, size_t(n));
  close(fds[0]);
  return out;
}

TEST(Events, EmitWritesOneLineOrNothing) {
  EXPECT_EQ(captureStandardError([] {
              emit(startedEvent());
              emit(formatEvent(std::nan(""), 1, true, "d", 1.0, 0));
              emit(deviceChangedEvent("aggregate-dead", "a", "b"));
            }),
            "{\"type\":\"started\"}\n"
            "{\"from\":\"a\",\"reason\":\"aggregate-dead\",\"to\":\"b\","
            "\"type\":\"device-changed\"}\n");
}

TEST(EventsDeathTest, FailWritesTheErrorLineAndExitsWithOne) {
  EXPECT_EXIT(
      fail(kNoOutputDevice, std::nullopt), testing::ExitedWithCode(1),
      "^\\{\"code\":\"NO_OUTPUT_DEVICE\",\"message\":\"No default output "
      "device\\.\",\"type\":\"error\"\\}\n$");
}

}  // namespace
}  // namespace tap
