// OutputQueue, the bounded byte queue between the I/O block and the writer
// thread, and the writer loop that drains it to standard output.
#ifndef NIMBREL_TAP_OUTPUT_QUEUE_H_
#define NIMBREL_TAP_OUTPUT_QUEUE_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <vector>

namespace tap {

/// What one drain() hands over: the queued bytes, oldest first, as one or
/// two runs of `storage` (the ring may wrap). The writer keeps one Chunk for
/// its whole life; its storage is the spare ring that drain() swaps with the
/// queue's, so neither side copies or allocates per chunk.
struct Chunk {
  std::vector<uint8_t> storage;
  int64_t head = 0;
  int64_t size = 0;

  std::span<const uint8_t> first() const;
  std::span<const uint8_t> second() const;  // empty unless the bytes wrap
};

/// Lives for the whole process and is never destroyed: the writer thread
/// and the I/O block may still use it while the process exits.
class OutputQueue {
 public:
  static constexpr int64_t kDefaultCapacity = 384000;

  explicit OutputQueue(int64_t capacity = kDefaultCapacity);
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  /// Copies `count` bytes in; drops the oldest queued bytes beyond the
  /// capacity. Never blocks on a full queue. Called by the I/O block.
  void push(const void* bytes, int64_t count);

  /// Waits for bytes or finish(), then hands over everything queued.
  /// Returns false only once finished and empty. Called by the writer.
  bool drain(Chunk& chunk);

  /// No more bytes will come: the writer ends once the queue is empty.
  void finish();

  /// True once the writer has written everything queued (before and after
  /// finish()) and ended; false when `timeout` passes first.
  bool waitUntilWritten(std::chrono::milliseconds timeout);

  /// Total of the overflow amounts dropped by push().
  int64_t droppedBytes() const;

  /// Bytes queued now (for tests and benchmarks).
  int64_t queuedBytes() const;

 private:
  friend void writerLoop(OutputQueue& queue, int fd);
  void append(const uint8_t* source, int64_t count);  // under the lock
  void markWritten();

  // The only lock of the tap. `readable_` wakes the writer; `written_` wakes
  // waitUntilWritten().
  mutable std::mutex lock_;
  std::condition_variable readable_;
  std::condition_variable written_;
  std::vector<uint8_t> ring_;  // at least capacity_ bytes
  int64_t head_ = 0;
  int64_t size_ = 0;
  bool finished_ = false;
  bool writerEnded_ = false;
  const int64_t capacity_;
  std::atomic<int64_t> droppedBytes_{0};  // changed only under lock_
};

/// The writer thread's body: drains `queue` and writes each chunk to `fd`
/// with plain write(2) until the queue is finished and empty.
void writerLoop(OutputQueue& queue, int fd);

/// Starts a detached thread running writerLoop(queue, 1); it is never
/// joined. False when the thread could not be created.
bool startWriterThread(OutputQueue& queue);

}  // namespace tap

#endif  // NIMBREL_TAP_OUTPUT_QUEUE_H_
