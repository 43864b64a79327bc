// The simulated running-application and executable-path look-ups, answered
// from the world's processes.
#include "audio/process_info.h"

#include <cerrno>
#include <cstring>

#include "audio/sim/state.h"

namespace audio {
namespace {

// libproc's limits: PROC_PIDPATHINFO_SIZE and PROC_PIDPATHINFO_MAXSIZE.
constexpr uint32_t kPathInfoSize = 1024;
constexpr uint32_t kPathInfoMaxSize = 4 * 1024;

}  // namespace

std::optional<std::string> runningApplicationName(int32_t pid) {
  sim::State& s = sim::state();
  std::lock_guard lock(s.mutex);
  const sim::Process* p = sim::findProcessByPID(s, pid);
  return p && p->hasApp ? p->appName : std::nullopt;
}

int processPath(int32_t pid, char* buffer, uint32_t bufferSize) {
  if (!buffer || bufferSize < kPathInfoSize) {
    errno = ENOMEM;
    return 0;
  }
  if (bufferSize > kPathInfoMaxSize) {
    errno = EOVERFLOW;
    return 0;
  }
  sim::State& s = sim::state();
  std::lock_guard lock(s.mutex);
  const sim::Process* p = sim::findProcessByPID(s, pid);
  if (p && p->path && !p->path->empty() && p->path->size() < bufferSize) {
    std::memcpy(buffer, p->path->data(), p->path->size());
    buffer[p->path->size()] = '\0';
    return int(p->path->size());
  }
  errno = ESRCH;
  return 0;
}

}  // namespace audio
