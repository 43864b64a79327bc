// Counts what a test or benchmark binary takes from the heap: operator new
// calls within a window, and the bytes held. Linking the library replaces
// operator new and delete for the whole binary.
#ifndef NIMBREL_TESTING_COUNTING_ALLOCATOR_H_
#define NIMBREL_TESTING_COUNTING_ALLOCATOR_H_

#include <cstdint>

namespace heap {

/// Bytes held through operator new by the whole binary right now, in blocks
/// as the allocator sized them: what the data structures really hold,
/// whatever the allocator keeps cached. Only in binaries that link
/// nimbrel_counting_allocator_bytes.
int64_t bytesHeld();

/// Counts operator new calls while it lives: those of the thread that opened
/// it only, so other threads and tests are unaffected, or those of every
/// thread. At most one window of each kind is open at a time.
class AllocationWindow {
 public:
  enum class Threads { kThisOne, kEveryOne };
  explicit AllocationWindow(Threads threads);
  ~AllocationWindow();
  AllocationWindow(const AllocationWindow&) = delete;
  AllocationWindow& operator=(const AllocationWindow&) = delete;

  /// The calls counted so far.
  int64_t count() const;

 private:
  Threads threads_;
};

}  // namespace heap

#endif  // NIMBREL_TESTING_COUNTING_ALLOCATOR_H_
