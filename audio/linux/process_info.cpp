// The probe's name look-ups on Linux: the application name a desktop
// application's stream gave the server, and the executable behind
// /proc/PID/exe.
#include "audio/process_info.h"

#include <unistd.h>

#include <string>

#include "audio/linux/server.h"

namespace audio {

std::optional<std::string> runningApplicationName(int32_t pid) {
  if (pulse::ensureConnected() != kNoError) return std::nullopt;
  return pulse::withSnapshot(
      [pid](const pulse::Snapshot& s) -> std::optional<std::string> {
        for (const auto* streams : {&s.sinkInputs, &s.sourceOutputs}) {
          for (const auto& [index, stream] : *streams) {
            if (stream.pid == pid && stream.desktop && stream.applicationName)
              return stream.applicationName;
          }
        }
        return std::nullopt;
      });
}

int processPath(int32_t pid, char* buffer, uint32_t bufferSize) {
  if (buffer == nullptr || bufferSize < 2 || pid < 1) return 0;
  const std::string link = "/proc/" + std::to_string(pid) + "/exe";
  const ssize_t length = readlink(link.c_str(), buffer, bufferSize - 1);
  if (length <= 0) return 0;
  buffer[length] = '\0';
  return int(length);
}

}  // namespace audio
