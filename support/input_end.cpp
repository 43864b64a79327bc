// Pipes and stream sockets on standard input.
#include "support/input_end.h"

#include <sys/socket.h>

namespace support {

bool hasWatchableEnd(int fd, const struct stat& status) {
  switch (status.st_mode & S_IFMT) {
    case S_IFIFO:
      return true;
    case S_IFSOCK: {
      // A parent's spawn (Node's, for one) hands over one end of a
      // socketpair; its close or shutdown reads as end of file, as a pipe's.
      int type = 0;
      socklen_t size = sizeof(type);
      return getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 &&
             type == SOCK_STREAM;
    }
    default:
      return false;
  }
}

}  // namespace support
