// OutputQueue as a ring buffer under the tap's one lock, and the writer loop
// that moves its bytes to standard output.
#include "tap/output_queue.h"

#include <algorithm>
#include <cstring>

#include "audio/dispatch.h"
#include "support/write_all.h"

namespace tap {

std::span<const uint8_t> Chunk::first() const {
  int64_t run = std::min<int64_t>(size, int64_t(storage.size()) - head);
  return {storage.data() + head, size_t(run)};
}

std::span<const uint8_t> Chunk::second() const {
  int64_t run = std::min<int64_t>(size, int64_t(storage.size()) - head);
  return {storage.data(), size_t(size - run)};
}

namespace {

// A position in [0, 2 x length) brought back into the ring; cheaper than %.
inline int64_t wrap(int64_t position, int64_t length) {
  return position >= length ? position - length : position;
}

}  // namespace

OutputQueue::OutputQueue(int64_t capacity)
    : ring_(size_t(capacity)), capacity_(capacity) {}

// The writer is woken after the lock is let go: woken under it, it would
// wake only to wait for the lock, and be woken a second time.
void OutputQueue::push(const void* bytes, int64_t count) {
  append(static_cast<const uint8_t*>(bytes), count);
  readable_.notify_one();
}

void OutputQueue::append(const uint8_t* source, int64_t count) {
  std::lock_guard<std::mutex> hold(lock_);
  if (size_ + count > capacity_) {
    int64_t overflow = size_ + count - capacity_;
    droppedBytes_.fetch_add(overflow, std::memory_order_relaxed);
    if (count > int64_t(ring_.size())) {
      // A single push above the capacity is kept whole and replaces all
      // that was queued: the only case that may allocate, and the ring
      // keeps that size from then on.
      ring_.clear();
      ring_.resize(size_t(count));
      head_ = 0;
      size_ = 0;
    } else {
      // Dropping the oldest bytes only moves the head, so the work stays
      // proportional to the bytes pushed however full the ring is.
      int64_t dropped = std::min(overflow, size_);
      head_ = wrap(head_ + dropped, int64_t(ring_.size()));
      size_ -= dropped;
    }
  }
  if (count > 0) {
    int64_t length = int64_t(ring_.size());
    int64_t tail = wrap(head_ + size_, length);
    int64_t run = std::min(count, length - tail);
    std::memcpy(ring_.data() + tail, source, size_t(run));
    std::memcpy(ring_.data(), source + run, size_t(count - run));
    size_ += count;
  }
}

bool OutputQueue::drain(Chunk& chunk) {
  // The spare ring must hold a full queue before it is swapped in; sized
  // here, outside the lock, so this allocates only on the first drain.
  if (int64_t(chunk.storage.size()) < capacity_) {
    chunk.storage.resize(size_t(capacity_));
  }
  std::unique_lock<std::mutex> hold(lock_);
  readable_.wait(hold, [this] { return size_ > 0 || finished_; });
  if (size_ == 0) {
    chunk.head = 0;
    chunk.size = 0;
    return false;
  }
  // Hand the whole ring over and take the writer's spare in its place: no
  // byte is copied under the lock.
  chunk.storage.swap(ring_);
  chunk.head = head_;
  chunk.size = size_;
  head_ = 0;
  size_ = 0;
  return true;
}

void OutputQueue::finish() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    finished_ = true;
  }
  readable_.notify_one();
}

bool OutputQueue::waitUntilWritten(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> hold(lock_);
  return written_.wait_for(hold, timeout, [this] { return writerEnded_; });
}

void OutputQueue::markWritten() {
  std::lock_guard<std::mutex> hold(lock_);
  writerEnded_ = true;
  written_.notify_all();
}

int64_t OutputQueue::droppedBytes() const {
  return droppedBytes_.load(std::memory_order_relaxed);
}

int64_t OutputQueue::queuedBytes() const {
  std::lock_guard<std::mutex> hold(lock_);
  return size_;
}

void writerLoop(OutputQueue& queue, int fd) {
  Chunk chunk;
  while (queue.drain(chunk)) {
    // A failed write abandons the whole rest of the chunk, not just a run.
    const auto first = chunk.first();
    const auto second = chunk.second();
    if (support::writeAll(fd, first.data(), first.size())) {
      support::writeAll(fd, second.data(), second.size());
    }
  }
  queue.markWritten();
}

bool startWriterThread(OutputQueue& queue) {
  return audio::startThread([&queue] { writerLoop(queue, 1); });
}

}  // namespace tap
