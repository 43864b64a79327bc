// The tap's event lines on standard error and the start-up failure exit.
#include "tap/events.h"

#include <errno.h>
#include <unistd.h>

#include <cstdlib>

namespace tap {

#if defined(NIMBREL_PLATFORM_LINUX)
// The desktop's audio server (PulseAudio, or PipeWire's PulseAudio service):
// the messages name its causes; "status" is libpulse's error number.
const ErrorKind kTapCreateFailed{
    "TAP_CREATE_FAILED",
    "Could not connect to the audio server (PulseAudio or PipeWire): none is "
    "running for this user, or it refused the connection."};
const ErrorKind kTapUIDFailed{"TAP_UID_FAILED", "Could not read the tap UID."};
const ErrorKind kNoOutputDevice{"NO_OUTPUT_DEVICE",
                                "The audio server has no default sink."};
const ErrorKind kAggregateCreateFailed{
    "AGGREGATE_CREATE_FAILED",
    "The default sink or the audio server went away while capture was set up."};
const ErrorKind kTapFormatFailed{
    "TAP_FORMAT_FAILED", "Could not read the default sink's sample rate."};
const ErrorKind kIOProcFailed{"IOPROC_FAILED",
                              "Could not set up the capture streams."};
const ErrorKind kDeviceStartFailed{
    "DEVICE_START_FAILED",
    "The audio server refused to record the default sink's monitor."};
const ErrorKind kWriterStartFailed{"WRITER_START_FAILED",
                                   "Could not start the writer thread."};
#else
const ErrorKind kTapCreateFailed{
    "TAP_CREATE_FAILED",
    "AudioHardwareCreateProcessTap failed. This usually means the System "
    "Audio Recording permission was denied, or NSAudioCaptureUsageDescription "
    "is missing from Info.plist."};
const ErrorKind kTapUIDFailed{"TAP_UID_FAILED", "Could not read the tap UID."};
const ErrorKind kNoOutputDevice{"NO_OUTPUT_DEVICE",
                                "No default output device."};
const ErrorKind kAggregateCreateFailed{
    "AGGREGATE_CREATE_FAILED", "AudioHardwareCreateAggregateDevice failed."};
const ErrorKind kTapFormatFailed{"TAP_FORMAT_FAILED",
                                 "Could not read the tap stream format."};
const ErrorKind kIOProcFailed{"IOPROC_FAILED",
                              "AudioDeviceCreateIOProcIDWithBlock failed."};
const ErrorKind kDeviceStartFailed{"DEVICE_START_FAILED",
                                   "AudioDeviceStart failed."};
const ErrorKind kWriterStartFailed{"WRITER_START_FAILED",
                                   "Could not start the writer thread."};

#endif

namespace {

support::JsonValue text(std::string value) {
  return support::JsonValue{std::move(value)};
}

}  // namespace

Event formatEvent(double sampleRate, int64_t channels, bool sourceIsFloat,
                  const std::string& outputDeviceUID, double tapRate,
                  int64_t deviceInputChannels) {
  return {
      {"type", text("format")},
      {"sampleRate", support::JsonValue{sampleRate}},
      {"channels", support::JsonValue{channels}},
      {"sourceIsFloat", support::JsonValue{sourceIsFloat}},
      {"encoding", text("s16le")},
      {"outputDeviceUID", text(outputDeviceUID)},
      {"tapRate", support::JsonValue{tapRate}},
      {"deviceInputChannels", support::JsonValue{deviceInputChannels}},
  };
}

Event startedEvent() { return {{"type", text("started")}}; }

Event errorEvent(const ErrorKind& kind, std::optional<int32_t> status) {
  Event event{
      {"type", text("error")},
      {"code", text(kind.code)},
      {"message", text(kind.message)},
  };
  if (status) event.push_back({"status", support::JsonValue{int64_t(*status)}});
  return event;
}

Event deviceChangedEvent(const std::string& reason, const std::string& from,
                         const std::string& to) {
  return {
      {"type", text("device-changed")},
      {"reason", text(reason)},
      {"from", text(from)},
      {"to", text(to)},
  };
}

std::optional<std::string> eventLine(const Event& event) {
  // NaN, infinities and invalid UTF-8 have no JSON form: the writer refuses
  // them and the event is dropped, like any other serialisation failure.
  return support::jsonLine(support::JsonValue{event});
}

void emit(const Event& event) {
  std::optional<std::string> line = eventLine(event);
  if (!line) return;
  // One write for the whole line; continued only if the pipe takes part of
  // it or a signal interrupts it. Other failures lose the event.
  const char* bytes = line->data();
  size_t left = line->size();
  while (left > 0) {
    ssize_t written = ::write(2, bytes, left);
    if (written > 0) {
      bytes += written;
      left -= size_t(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

void fail(const ErrorKind& kind, std::optional<int32_t> status) {
  emit(errorEvent(kind, status));
  std::exit(1);
}

}  // namespace tap
