// Reading /proc/<pid>/status and /proc/loadavg.
#include "testing/process_stats.h"

#include <cstdlib>
#include <fstream>

namespace procstat {

int64_t statusKiB(pid_t pid, std::string_view key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = std::string(key) + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0)
      return std::strtoll(line.c_str() + prefix.size(), nullptr, 10);
  }
  return -1;
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

}  // namespace procstat
