// Which descriptors get an end watcher: pipes and stream sockets only.
#include "support/input_end.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

namespace support {
namespace {

TEST(InputEnd, PipesAndStreamSocketsOnly) {
  struct Case {
    const char* name;
    int (*open)(int ends[2]);
    bool watched;
  };
  const Case cases[] = {
      {"pipe", [](int e[2]) { return pipe(e); }, true},
      {"stream socketpair",
       [](int e[2]) { return socketpair(AF_UNIX, SOCK_STREAM, 0, e); }, true},
      {"datagram socketpair",
       [](int e[2]) { return socketpair(AF_UNIX, SOCK_DGRAM, 0, e); }, false},
      {"null device",
       [](int e[2]) { return (e[0] = e[1] = open("/dev/null", O_RDONLY)); },
       false},
      {"regular file",
       [](int e[2]) {
         char path[] = "/tmp/nimbrel-input-end-XXXXXX";
         e[0] = e[1] = mkstemp(path);
         unlink(path);
         return e[0];
       },
       false},
  };
  for (const Case& c : cases) {
    int ends[2] = {-1, -1};
    ASSERT_GE(c.open(ends), 0) << c.name;
    struct stat status {};
    ASSERT_EQ(fstat(ends[0], &status), 0) << c.name;
    EXPECT_EQ(hasWatchableEnd(ends[0], status), c.watched) << c.name;
    close(ends[0]);
    if (ends[1] != ends[0]) close(ends[1]);
  }
}

}  // namespace
}  // namespace support
