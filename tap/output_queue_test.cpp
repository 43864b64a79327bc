// Tests of OutputQueue's overflow arithmetic and hand-over, and of the writer
// loop against real pipes: slow and interrupted readers, failing descriptors.
#include "tap/output_queue.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

namespace tap {
namespace {

using namespace std::chrono_literals;

// Byte k of the test stream: not periodic at any power of two, so a
// misplaced run shows.
uint8_t streamByte(int64_t k) { return uint8_t(k % 251); }

std::vector<uint8_t> streamRange(int64_t start, int64_t count) {
  std::vector<uint8_t> bytes(static_cast<size_t>(count));
  for (int64_t k = 0; k < count; ++k) bytes[k] = streamByte(start + k);
  return bytes;
}

// Pushes `count` stream bytes starting at stream offset `start`.
void pushStream(OutputQueue& queue, int64_t start, int64_t count) {
  queue.push(streamRange(start, count).data(), count);
}

std::vector<uint8_t> bytesOf(const Chunk& chunk) {
  std::vector<uint8_t> bytes(chunk.first().begin(), chunk.first().end());
  bytes.insert(bytes.end(), chunk.second().begin(), chunk.second().end());
  return bytes;
}

TEST(OutputQueue, PushDropsTheOldestBytesBeyondTheCapacity) {
  struct Case {
    int64_t queued, pushed, dropped, remaining;
  };
  const Case cases[] = {
      {0, 2048, 0, 2048},
      {383000, 2048, 1048, 384000},   // the ring wraps
      {382000, 2000, 0, 384000},      // exactly the capacity is allowed
      {1000, 400000, 17000, 400000},  // one push above capacity kept whole
  };
  for (const Case& c : cases) {
    OutputQueue queue;
    pushStream(queue, 0, c.queued);
    pushStream(queue, c.queued, c.pushed);
    EXPECT_EQ(queue.droppedBytes(), c.dropped);
    EXPECT_EQ(queue.queuedBytes(), c.remaining);
    Chunk chunk;
    ASSERT_TRUE(queue.drain(chunk));
    EXPECT_EQ(bytesOf(chunk),
              streamRange(c.queued + c.pushed - c.remaining, c.remaining))
        << c.queued << " + " << c.pushed;
  }
}

TEST(OutputQueue, KeepsOrderAcrossWrapsAfterAnOversizedPush) {
  OutputQueue queue(1000);
  Chunk chunk;
  int64_t written = 0, next = 0;
  const int64_t pushes[] = {700, 700, 2500, 10, 990, 600, 600};
  for (int64_t n : pushes) {
    pushStream(queue, written, n);
    written += n;
    if (queue.queuedBytes() > 900) {
      int64_t drop = written - next - queue.queuedBytes();
      next += drop;
      ASSERT_TRUE(queue.drain(chunk));
      EXPECT_EQ(bytesOf(chunk), streamRange(next, chunk.size));
      next += chunk.size;
    }
  }
  // The oversized push counts its overflow even though nothing was queued.
  EXPECT_EQ(queue.droppedBytes(), 400 + 1500 + 200);
}

TEST(OutputQueue, FinishHandsOverWhatIsQueuedThenNothing) {
  OutputQueue queue;
  pushStream(queue, 0, 10000);
  queue.finish();
  Chunk chunk;
  ASSERT_TRUE(queue.drain(chunk));
  EXPECT_EQ(chunk.size, 10000);
  EXPECT_FALSE(queue.drain(chunk));
  // A push after finish is still queued and handed over.
  pushStream(queue, 10000, 6);
  ASSERT_TRUE(queue.drain(chunk));
  EXPECT_EQ(bytesOf(chunk), streamRange(10000, 6));
  EXPECT_FALSE(queue.drain(chunk));
}

TEST(OutputQueue, FinishWakesAWaitingWriter) {
  OutputQueue queue;
  std::atomic<bool> drained{true};
  std::thread writer([&] {
    Chunk chunk;
    drained = queue.drain(chunk);
  });
  std::this_thread::sleep_for(20ms);  // usually lets the writer wait first
  queue.finish();
  writer.join();
  EXPECT_FALSE(drained);
}

// Reads the pipe to its end, slowly, in small pieces.
std::vector<uint8_t> readSlowly(int fd) {
  std::vector<uint8_t> received;
  uint8_t piece[3000];
  for (int reads = 0;; ++reads) {
    ssize_t n = read(fd, piece, sizeof piece);
    if (n <= 0) break;
    received.insert(received.end(), piece, piece + n);
    if (reads % 16 == 0) std::this_thread::sleep_for(1ms);
  }
  return received;
}

void ignoreSignal(int) {}

TEST(WriterLoop, SlowInterruptedReaderGetsEveryByteInOrder) {
  // Signals without SA_RESTART cut the writer's blocking writes short
  // (partial writes) or fail them with EINTR; neither may lose a byte.
  struct sigaction action = {};
  action.sa_handler = ignoreSignal;
  struct sigaction previous;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  OutputQueue queue;
  std::thread writer([&] { writerLoop(queue, fds[1]); });
  std::atomic<bool> interrupting{true};
  pthread_t writerThread = writer.native_handle();
  std::thread interrupter([&] {
    while (interrupting) {
      pthread_kill(writerThread, SIGUSR1);
      std::this_thread::sleep_for(200us);
    }
  });

  const int64_t total = 90 * 4096;  // below the capacity: nothing dropped
  for (int64_t sent = 0; sent < total; sent += 4096) {
    pushStream(queue, sent, 4096);
    std::this_thread::sleep_for(100us);
  }
  queue.finish();
  std::vector<uint8_t> received;
  std::thread reader([&] { received = readSlowly(fds[0]); });
  EXPECT_TRUE(queue.waitUntilWritten(20s));
  interrupting = false;
  interrupter.join();
  writer.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);
  sigaction(SIGUSR1, &previous, nullptr);

  EXPECT_EQ(queue.droppedBytes(), 0);
  EXPECT_EQ(received.size(), size_t(total));
  EXPECT_TRUE(received == streamRange(0, total));
}

TEST(WriterLoop, NonBlockingPipeLosesNoByteWhileItsReaderPauses) {
  // A parent may hand over a non-blocking descriptor: a full pipe (EAGAIN)
  // is a wait for the reader, not a failure.
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(fcntl(fds[1], F_SETFL, O_NONBLOCK), 0);
  OutputQueue queue;
  std::thread writer([&] { writerLoop(queue, fds[1]); });
  const int64_t total = 300000;  // several pipes' worth, below the capacity
  for (int64_t sent = 0; sent < total; sent += 3000) {
    pushStream(queue, sent, 3000);
  }
  queue.finish();
  std::this_thread::sleep_for(300ms);  // the pipe fills while nobody reads
  std::vector<uint8_t> received;
  std::thread reader([&] { received = readSlowly(fds[0]); });
  EXPECT_TRUE(queue.waitUntilWritten(20s));
  writer.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);
  EXPECT_EQ(queue.droppedBytes(), 0);
  EXPECT_TRUE(received == streamRange(0, total));
}

TEST(WriterLoop, EndsOnFinishWhenNothingCanBeWritten) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  OutputQueue queue;
  // The read end refuses writes (EBADF): every chunk is dropped.
  std::thread writer([&] { writerLoop(queue, fds[0]); });
  pushStream(queue, 0, 1000);
  pushStream(queue, 1000, 1000);
  queue.finish();
  EXPECT_TRUE(queue.waitUntilWritten(20s));
  writer.join();
  EXPECT_EQ(queue.queuedBytes(), 0);
  close(fds[0]);
  close(fds[1]);
}

TEST(OutputQueue, WaitUntilWrittenIsFalseUntilAWriterEnds) {
  OutputQueue queue;
  queue.finish();
  EXPECT_FALSE(queue.waitUntilWritten(1ms));  // no writer ever ran
}

}  // namespace
}  // namespace tap
