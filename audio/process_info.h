// The seam to the probe's two non-audio look-ups: the running application
// registered for a PID, and the path of a process's executable.
#ifndef NIMBREL_AUDIO_PROCESS_INFO_H_
#define NIMBREL_AUDIO_PROCESS_INFO_H_

#include <cstdint>
#include <optional>
#include <string>

namespace audio {

/// The localized name of the running application with this PID; absent when
/// there is no such application or it has no localized name.
std::optional<std::string> runningApplicationName(int32_t pid);

/// The proc_pidpath contract: the length of the executable's absolute path
/// (> 0) with the path zero-terminated in `buffer`, or 0 or less on failure.
int processPath(int32_t pid, char* buffer, uint32_t bufferSize);

}  // namespace audio

#endif  // NIMBREL_AUDIO_PROCESS_INFO_H_
