// The replacement operator new and delete behind heap::AllocationWindow and
// heap::bytesHeld, on malloc. Built twice: counting the bytes held took the
// benchmarks' baseline of one string per cycle from 8 to 20 ns, so only
// binaries that ask for it pay for it.
#include "testing/counting_allocator.h"

#ifdef __APPLE__
#include <malloc/malloc.h>
#else
#include <malloc.h>
#endif

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace heap {
namespace {

// What the allocator really set aside for `p`, not what was asked for.
std::size_t usableSize(void* p) {
#ifdef __APPLE__
  return malloc_size(p);
#else
  return malloc_usable_size(p);
#endif
}

#ifdef NIMBREL_COUNT_BYTES_HELD
constexpr bool kCountBytesHeld = true;
#else
constexpr bool kCountBytesHeld = false;
#endif

std::atomic<int64_t> held{0};
std::atomic<bool> countingEveryThread{false};
std::atomic<int64_t> everyThreadCount{0};
thread_local bool countingThisThread = false;
thread_local int64_t thisThreadCount = 0;

// Null when the heap has no room.
void* allocate(std::size_t size, std::size_t alignment) noexcept {
  if (countingThisThread) ++thisThreadCount;
  if (countingEveryThread.load(std::memory_order_relaxed))
    everyThreadCount.fetch_add(1, std::memory_order_relaxed);
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) /
                                                    alignment * alignment);
  if (kCountBytesHeld && p != nullptr)
    held.fetch_add(int64_t(usableSize(p)), std::memory_order_relaxed);
  return p;
}

void* allocateOrThrow(std::size_t size, std::size_t alignment) {
  void* p = allocate(size, alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void release(void* p) noexcept {
  if (kCountBytesHeld && p != nullptr)
    held.fetch_sub(int64_t(usableSize(p)), std::memory_order_relaxed);
  std::free(p);
}

}  // namespace

#ifdef NIMBREL_COUNT_BYTES_HELD
int64_t bytesHeld() { return held.load(std::memory_order_relaxed); }
#endif

AllocationWindow::AllocationWindow(Threads threads) : threads_(threads) {
  if (threads_ == Threads::kThisOne) {
    thisThreadCount = 0;
    countingThisThread = true;
  } else {
    everyThreadCount = 0;
    countingEveryThread = true;
  }
}

AllocationWindow::~AllocationWindow() {
  if (threads_ == Threads::kThisOne) {
    countingThisThread = false;
  } else {
    countingEveryThread = false;
  }
}

int64_t AllocationWindow::count() const {
  return threads_ == Threads::kThisOne ? thisThreadCount
                                       : everyThreadCount.load();
}

}  // namespace heap

using heap::allocate;
using heap::allocateOrThrow;
using heap::release;

void* operator new(std::size_t size) { return allocateOrThrow(size, 0); }
void* operator new[](std::size_t size) { return allocateOrThrow(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return allocateOrThrow(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return allocateOrThrow(size, std::size_t(a));
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size, 0);
}
void* operator new(std::size_t size, std::align_val_t a,
                   const std::nothrow_t&) noexcept {
  return allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a,
                     const std::nothrow_t&) noexcept {
  return allocate(size, std::size_t(a));
}
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }
void operator delete(void* p, std::align_val_t) noexcept { release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  release(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete(void* p, std::align_val_t,
                     const std::nothrow_t&) noexcept {
  release(p);
}
void operator delete[](void* p, std::align_val_t,
                       const std::nothrow_t&) noexcept {
  release(p);
}
