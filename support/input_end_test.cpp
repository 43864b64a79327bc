// Which descriptors get an end watcher: pipes and stream sockets, not
// datagram sockets (files and /dev/null are covered end to end).
#include "support/input_end.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

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
  };
  for (const Case& c : cases) {
    int ends[2] = {-1, -1};
    ASSERT_EQ(c.open(ends), 0) << c.name;
    struct stat status {};
    ASSERT_EQ(fstat(ends[0], &status), 0) << c.name;
    EXPECT_EQ(hasWatchableEnd(ends[0], status), c.watched) << c.name;
    close(ends[0]);
    close(ends[1]);
  }
}

}  // namespace
}  // namespace support
