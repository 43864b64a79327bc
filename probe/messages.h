// The probe's protocol records (Hello, Report, Owner), their equality and
// `emit`, which writes one as a JSON line on standard output.
#ifndef NIMBREL_PROBE_MESSAGES_H_
#define NIMBREL_PROBE_MESSAGES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace probe {

/// Written once, first.
struct Hello {
  std::string type = "hello";
  int64_t protocolVersion = 1;
  int64_t intervalMs = 1000;
};

/// One process that runs audio input or output.
struct Owner {
  int32_t pid = 0;
  std::string name = {};
  std::optional<std::string> bundleID = {};  // absent: the system reports none
  bool input = false;
  bool output = false;
  bool gui = false;      // the name is the running application's
  bool ignored = false;  // listed, but counts for neither flag

  /// Field by field; strings compare as Unicode text (canonically
  /// equivalent strings are equal, case counts).
  friend bool operator==(const Owner& a, const Owner& b);
};

/// The state of audio use at one tick.
struct Report {
  std::string type = "state";
  bool micHot = false;
  bool audioPlaying = false;
  std::vector<Owner> owners = {};  // input holders first, then by PID

  friend bool operator==(const Report& a, const Report& b);
};

/// The record as one JSON line ended by "\n"; absent when it cannot be
/// encoded (text that is not UTF-8).
std::optional<std::string> encodeLine(const Hello& hello);
std::optional<std::string> encodeLine(const Report& report);

/// Writes the record's line to descriptor 1, whole, waiting while a
/// non-blocking pipe is full; a record that cannot be encoded is dropped,
/// and other write errors are not looked at. Main thread only.
void emit(const Hello& hello);
void emit(const Report& report);

}  // namespace probe

#endif  // NIMBREL_PROBE_MESSAGES_H_
