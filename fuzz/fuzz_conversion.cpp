// Fuzzes the I/O block's conversion over arbitrary buffer lists (any count,
// channel counts, byte sizes, null pointers, subDeviceInputChannels of any
// sign, float or integer) against the plain reference, bit for bit, with the
// vector loops on and off, and checks the frames and work-array growth rules.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "fuzz/checks.h"
#include "fuzz/fuzz_input.h"
#include "tap/conversion.h"
#include "testing/conversion_reference.h"

namespace {

using fuzz::check;

// A buffer's bytes are a slice of the fuzz input, copied into a heap block
// that ends exactly where the slice ends (so AddressSanitizer sees a read
// one byte past it) and starts at the slice's own misalignment.
struct Slice {
  std::unique_ptr<uint8_t[]> block;
  uint8_t* start = nullptr;
};

Slice sliceOf(const uint8_t* data, size_t offset, size_t size) {
  const size_t misalign = offset % 8;
  Slice slice;
  slice.block.reset(new uint8_t[misalign + size]);
  slice.start = slice.block.get() + misalign;
  if (size > 0) std::memcpy(slice.start, data + offset, size);
  return slice;
}

int64_t subDeviceChannels(fuzz::FuzzInput& in) {
  switch (in.below(8)) {
    case 0:
      return 0;
    case 1:
      return in.value<int64_t>();
    case 2:
      return in.flag() ? std::numeric_limits<int64_t>::max()
                       : std::numeric_limits<int64_t>::min();
    default:
      return int64_t(int8_t(in.byte())) / 16;  // -8 to 7
  }
}

uint32_t channelCount(fuzz::FuzzInput& in) {
  switch (in.below(8)) {
    case 0:
      return 0;
    case 1:
    case 2:
      return 1;
    case 3:
    case 4:
      return 2;
    case 5:
      return in.value<uint32_t>();
    default:
      return 3 + in.below(6);
  }
}

void convertAndCompare(const std::vector<audio::Buffer>& buffers,
                       const tap::ConversionInput& input, size_t scratchSize,
                       size_t accumulatorSize) {
  const reference::Conversion expected = reference::convert(buffers, input);
  const int64_t expectedFrames = int64_t(expected.samples.size());

  // Marked work arrays show what the conversion wrote and what it kept.
  constexpr int16_t kMark = 0x5A5A;
  std::vector<int16_t> scratch(scratchSize, kMark);
  std::vector<float> accumulator(accumulatorSize, -7.0f);
  const int64_t frames =
      tap::convertCycle(buffers, input, scratch, accumulator);

  check(frames == expectedFrames);
  if (frames == 0) {
    check(scratch.size() == scratchSize);
    check(accumulator.size() == accumulatorSize);
    for (int16_t s : scratch) check(s == kMark);
    return;
  }
  // Samples bit for bit.
  check(scratch.size() >= size_t(frames));
  check(std::memcmp(scratch.data(), expected.samples.data(),
                    size_t(frames) * 2) == 0);

  // Growth: to twice the frames when too small, with zeros past the
  // frames; otherwise the size and the elements past the frames untouched.
  if (scratchSize < size_t(frames)) {
    check(scratch.size() == 2 * size_t(frames));
    for (size_t i = size_t(frames); i < scratch.size(); ++i)
      check(scratch[i] == 0);
  } else {
    check(scratch.size() == scratchSize);
    for (size_t i = size_t(frames); i < scratch.size(); ++i)
      check(scratch[i] == kMark);
  }
  if (expected.mixed && accumulatorSize < size_t(frames)) {
    check(accumulator.size() == 2 * size_t(frames));
  } else {
    check(accumulator.size() == accumulatorSize);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::FuzzInput in(data, size);
  const bool isFloat = in.flag();
  const tap::ConversionInput input{subDeviceChannels(in), isFloat,
                                   isFloat ? 4 : 2};
  const size_t scratchSize = in.flag() ? 0 : in.below(1024);
  const size_t accumulatorSize = in.flag() ? 0 : in.below(1024);

  const uint32_t count = in.below(8);
  std::vector<Slice> slices;
  std::vector<audio::Buffer> buffers;
  for (uint32_t k = 0; k < count; ++k) {
    const uint32_t channels = channelCount(in);
    const bool null = in.below(16) == 0;
    // Any slice of the input, the header bytes included.
    const size_t offset = size == 0 ? 0 : in.below(uint32_t(size + 1));
    const size_t bytes = in.below(uint32_t(size - offset + 1));
    slices.push_back(sliceOf(data, offset, bytes));
    // The byte size reported never exceeds the bytes behind the pointer.
    buffers.push_back(
        {channels, uint32_t(bytes), null ? nullptr : slices.back().start});
  }

  tap::useVectorLoops(false);
  convertAndCompare(buffers, input, scratchSize, accumulatorSize);
  if (tap::useVectorLoops(true))
    convertAndCompare(buffers, input, scratchSize, accumulatorSize);
  return 0;
}
