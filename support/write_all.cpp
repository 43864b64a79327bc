// writeAll: partial writes continued, EINTR retried, EAGAIN waited on.
#include "support/write_all.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

namespace support {

bool writeAll(int fd, const void* bytes, size_t count) {
  const auto* next = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t written = ::write(fd, next, count);
    if (written > 0) {
      next += written;
      count -= size_t(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A descriptor shared with a non-blocking parent: wait for room. A
      // closed reader wakes the poll too, and the next write says EPIPE.
      pollfd writable{fd, POLLOUT, 0};
      if (::poll(&writable, 1, -1) < 0 && errno != EINTR) return false;
    } else {
      return false;
    }
  }
  return true;
}

}  // namespace support
