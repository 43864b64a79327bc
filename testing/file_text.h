// Reading a whole file as text, for tests and benchmarks that check what a
// program or the simulated platform wrote to one.
#ifndef NIMBREL_TESTING_FILE_TEXT_H_
#define NIMBREL_TESTING_FILE_TEXT_H_

#include <fstream>
#include <sstream>
#include <string>

namespace testfile {

/// The file's bytes; empty if it cannot be read.
inline std::string text(const std::string& path) {
  std::ifstream file(path);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace testfile

#endif  // NIMBREL_TESTING_FILE_TEXT_H_
