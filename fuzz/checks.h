// What the fuzz targets judge their results with: a failed check aborts, the
// crash libFuzzer reports, and nlohmann's strict test of UTF-8.
#ifndef NIMBREL_FUZZ_CHECKS_H_
#define NIMBREL_FUZZ_CHECKS_H_

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

namespace fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

/// Whether `text` is valid UTF-8, by nlohmann's own check (its serialiser
/// refuses anything else).
inline bool validUtf8(const std::string& text) {
  try {
    (void)nlohmann::json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

}  // namespace fuzz

#endif  // NIMBREL_FUZZ_CHECKS_H_
