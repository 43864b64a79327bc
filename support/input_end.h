// Which standard inputs have an end the parent controls: the end that stops
// both programs.
#ifndef NIMBREL_SUPPORT_INPUT_END_H_
#define NIMBREL_SUPPORT_INPUT_END_H_

#include <sys/stat.h>

namespace support {

/// True when `fd`, whose fstat gave `status`, is a pipe or a stream socket:
/// its end is the parent closing it (or shutting down writing), so it is
/// worth watching. A terminal, a regular file, the null device or a
/// datagram socket has no such end.
bool hasWatchableEnd(int fd, const struct stat& status);

}  // namespace support

#endif  // NIMBREL_SUPPORT_INPUT_END_H_
