// The one way both programs write to a descriptor: every byte, or a real
// failure.
#ifndef NIMBREL_SUPPORT_WRITE_ALL_H_
#define NIMBREL_SUPPORT_WRITE_ALL_H_

#include <cstddef>

namespace support {

/// Writes all `count` bytes to `fd`, continuing partial writes. A signal
/// (EINTR) is retried and a full non-blocking descriptor (EAGAIN) is waited
/// on until it takes bytes again: neither loses anything. Returns false on
/// any other failure (EPIPE, EIO, EBADF...), leaving the rest unwritten.
bool writeAll(int fd, const void* bytes, size_t count);

}  // namespace support

#endif  // NIMBREL_SUPPORT_WRITE_ALL_H_
