// The tap's start-up steps that can fail, and what the platform says each
// failure means: its own causes, in one sentence.
#ifndef NIMBREL_AUDIO_START_FAILURES_H_
#define NIMBREL_AUDIO_START_FAILURES_H_

namespace audio {

enum class StartFailure {
  kCreateTap,
  kReadTapUID,
  kFindOutputDevice,
  kCreateAggregate,
  kReadTapFormat,
  kCreateIOProc,
  kStartDevice,
  kStartWriter,
};
constexpr int kStartFailureCount = 8;

/// The message of the "error" event for each failure, in the order above;
/// each platform defines it.
extern const char* const kStartFailureMessages[kStartFailureCount];

inline const char* failureMessage(StartFailure failure) {
  return kStartFailureMessages[int(failure)];
}

}  // namespace audio

#endif  // NIMBREL_AUDIO_START_FAILURES_H_
