// The tap's event channel: one JSON line per event on standard error, and
// `fail`, the start-up failure exit.
#ifndef NIMBREL_TAP_EVENTS_H_
#define NIMBREL_TAP_EVENTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audio/start_failures.h"
#include "support/json_line.h"

namespace tap {

using Event = support::JsonObject;

struct ErrorKind {
  const char* code;
  audio::StartFailure failure;
};
extern const ErrorKind kTapCreateFailed;
extern const ErrorKind kTapUIDFailed;
extern const ErrorKind kNoOutputDevice;
extern const ErrorKind kAggregateCreateFailed;
extern const ErrorKind kTapFormatFailed;
extern const ErrorKind kIOProcFailed;
extern const ErrorKind kDeviceStartFailed;
extern const ErrorKind kWriterStartFailed;

Event formatEvent(double sampleRate, int64_t channels, bool sourceIsFloat,
                  const std::string& outputDeviceUID, double tapRate,
                  int64_t deviceInputChannels);
Event startedEvent();
Event errorEvent(const ErrorKind& kind, std::optional<int32_t> status);
Event deviceChangedEvent(const std::string& reason, const std::string& from,
                         const std::string& to);

/// The line `emit` writes for `event`; absent when it cannot be serialised.
std::optional<std::string> eventLine(const Event& event);

/// Writes one event line on descriptor 2 with a single unbuffered write;
/// drops the event silently when it cannot be serialised.
void emit(const Event& event);

/// Emits the "error" event of `kind` and exits with status 1, unless a stop
/// already ends the process (then it waits for that).
[[noreturn]] void fail(const ErrorKind& kind, std::optional<int32_t> status);
/// The same, for a caller that has claimed the end itself (claimTheEnd).
[[noreturn]] void failAfterClaim(const ErrorKind& kind,
                                 std::optional<int32_t> status);

}  // namespace tap

#endif  // NIMBREL_TAP_EVENTS_H_
