// What the probe's end-to-end tests read from a run besides its lines: the
// ticks it has made, and a clean stop with nothing but heartbeats after.
#ifndef NIMBREL_TESTING_PROBE_RUNS_H_
#define NIMBREL_TESTING_PROBE_RUNS_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>

#include "testing/e2e_harness.h"

namespace probeworld {

inline const std::string kNobody =
    R"({"audioPlaying":false,"micHot":false,"owners":[],"type":"state"})";

/// Ticks so far: the probe reads the process list once per tick.
inline size_t ticks(const e2e::Child& probe) {
  const std::vector<std::string> log = probe.callLog();
  return size_t(std::count(log.begin(), log.end(), "processList"));
}

/// Waits until the probe has made `count` ticks; false if it took longer
/// than the harness's patience.
inline bool waitForTicks(const e2e::Child& probe, size_t count) {
  const auto deadline = std::chrono::steady_clock::now() + e2e::kPatience;
  while (ticks(probe) < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

/// Closes stdin and expects exit status 0 with nothing on standard error;
/// returns the rest of standard output.
inline std::string closeAndExpectExit(e2e::Child& probe) {
  probe.closeStdin();
  e2e::expectExit(probe, 0);
  EXPECT_EQ(probe.readToEnd(e2e::Stream::Stderr), "");
  return probe.readToEnd(e2e::Stream::Stdout);
}

/// True when `text` is nothing but copies of `line`, each ended by "\n":
/// heartbeats of an unchanged state that got out before the exit.
inline bool onlyRepeats(const std::string& text, const std::string& line) {
  const std::string unit = line + "\n";
  if (text.size() % unit.size() != 0) return false;
  for (size_t at = 0; at < text.size(); at += unit.size()) {
    if (text.compare(at, unit.size(), unit) != 0) return false;
  }
  return true;
}

}  // namespace probeworld

#endif  // NIMBREL_TESTING_PROBE_RUNS_H_
