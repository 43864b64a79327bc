// Reading fuzz bytes as the small decisions a generator makes; once the input
// runs out every read gives zeros, so any input decodes to something.
#ifndef NIMBREL_FUZZ_FUZZ_INPUT_H_
#define NIMBREL_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace fuzz {

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool empty() const { return at_ >= size_; }
  size_t remaining() const { return size_ - at_; }

  uint8_t byte() { return empty() ? 0 : data_[at_++]; }

  template <typename T>
  T value() {
    uint8_t bytes[sizeof(T)] = {};
    for (auto& b : bytes) b = byte();
    T v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
  }

  /// A number in [0, n); n must be at least 1.
  uint32_t below(uint32_t n) {
    return n <= 256 ? byte() % n : value<uint32_t>() % n;
  }

  bool flag() { return byte() & 1; }

  /// Up to `maxLength` raw bytes: a length byte, then the bytes.
  std::string bytes(size_t maxLength) {
    size_t length = below(uint32_t(maxLength + 1));
    std::string out;
    while (length-- > 0 && !empty()) out += char(byte());
    return out;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t at_ = 0;
};

}  // namespace fuzz

#endif  // NIMBREL_FUZZ_FUZZ_INPUT_H_
