// The tap's event lines on standard error and the start-up failure exit.
#include "tap/events.h"

#include <cstdlib>

#include "support/write_all.h"
#include "tap/shutdown.h"

namespace tap {

// The codes are the protocol's; what each failure means is the platform's.
const ErrorKind kTapCreateFailed{"TAP_CREATE_FAILED",
                                 audio::StartFailure::kCreateTap};
const ErrorKind kTapUIDFailed{"TAP_UID_FAILED",
                              audio::StartFailure::kReadTapUID};
const ErrorKind kNoOutputDevice{"NO_OUTPUT_DEVICE",
                                audio::StartFailure::kFindOutputDevice};
const ErrorKind kAggregateCreateFailed{"AGGREGATE_CREATE_FAILED",
                                       audio::StartFailure::kCreateAggregate};
const ErrorKind kTapFormatFailed{"TAP_FORMAT_FAILED",
                                 audio::StartFailure::kReadTapFormat};
const ErrorKind kIOProcFailed{"IOPROC_FAILED",
                              audio::StartFailure::kCreateIOProc};
const ErrorKind kDeviceStartFailed{"DEVICE_START_FAILED",
                                   audio::StartFailure::kStartDevice};
const ErrorKind kWriterStartFailed{"WRITER_START_FAILED",
                                   audio::StartFailure::kStartWriter};

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
      {"message", text(audio::failureMessage(kind.failure))},
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
  // One write for the whole line where the pipe takes it; a failure loses
  // only this event.
  support::writeAll(2, line->data(), line->size());
}

void fail(const ErrorKind& kind, std::optional<int32_t> status) {
  // A stop on another thread may be ending the process already.
  claimTheEnd();
  failAfterClaim(kind, status);
}

void failAfterClaim(const ErrorKind& kind, std::optional<int32_t> status) {
  emit(errorEvent(kind, status));
  std::exit(1);
}

}  // namespace tap
