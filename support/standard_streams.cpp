// Filling closed standard descriptors with /dev/null.
#include "support/standard_streams.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

namespace support {

void openNullInPlaceOfClosedStandardStreams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Takes the lowest free number: `fd` itself, as the lower ones are open
    // by now.
    if (open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) < 0) return;
  }
}

}  // namespace support
