// Process figures from /proc/<pid>/status and /proc/<pid>/stat on Linux, and
// from the Mach task on Apple (task_info for this process; for another one
// libproc, since task_for_pid needs privileges a test does not have).
#include "testing/process_stats.h"

#include <stdlib.h>  // getloadavg
#include <unistd.h>

#include <cstdio>

#ifdef __APPLE__
#include <libproc.h>
#include <mach/mach.h>
#include <mach/mach_time.h>
#else
#include <cstdlib>
#include <fstream>
#include <sstream>
#endif

namespace procstat {

#ifdef __APPLE__

namespace {

std::optional<proc_taskinfo> taskInfo(pid_t pid) {
  proc_taskinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTASKINFO, 0, &info, sizeof info) !=
      int(sizeof info))
    return std::nullopt;
  return info;
}

// The task's times are in Mach ticks, not nanoseconds, on Apple silicon.
double ticksToSeconds(uint64_t ticks) {
  mach_timebase_info_data_t base{};
  mach_timebase_info(&base);
  return double(ticks) * base.numer / base.denom / 1e9;
}

}  // namespace

std::optional<int64_t> residentKiB(pid_t pid) {
  if (pid == getpid()) {
    mach_task_basic_info_data_t info{};
    mach_msg_type_number_t count = MACH_TASK_BASIC_INFO_COUNT;
    if (task_info(mach_task_self(), MACH_TASK_BASIC_INFO,
                  reinterpret_cast<task_info_t>(&info), &count) != KERN_SUCCESS)
      return std::nullopt;
    return int64_t(info.resident_size / 1024);
  }
  const auto info = taskInfo(pid);
  if (!info) return std::nullopt;
  return int64_t(info->pti_resident_size / 1024);
}

std::optional<int64_t> peakResidentKiB(pid_t pid) {
  rusage_info_v4 usage{};
  if (proc_pid_rusage(pid, RUSAGE_INFO_V4,
                      reinterpret_cast<rusage_info_t*>(&usage)) != 0)
    return std::nullopt;
  return int64_t(usage.ri_lifetime_max_phys_footprint / 1024);
}

std::optional<double> cpuSeconds(pid_t pid) {
  const auto info = taskInfo(pid);
  if (!info) return std::nullopt;
  return ticksToSeconds(info->pti_total_user + info->pti_total_system);
}

#else

namespace {

std::optional<int64_t> statusKiB(pid_t pid, const std::string& key) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  const std::string prefix = key + ":";
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, prefix.size(), prefix) == 0)
      return std::strtoll(line.c_str() + prefix.size(), nullptr, 10);
  }
  return std::nullopt;
}

}  // namespace

std::optional<int64_t> residentKiB(pid_t pid) {
  return statusKiB(pid, "VmRSS");
}

std::optional<int64_t> peakResidentKiB(pid_t pid) {
  return statusKiB(pid, "VmHWM");
}

std::optional<double> cpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(file, stat);
  // The name in parentheses may hold spaces; utime and stime are the 12th
  // and 13th fields after it.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;
  long long user = 0, system = 0;
  if (!(fields >> user >> system)) return std::nullopt;
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

#endif

std::string loadAverage() {
  double load[3] = {};
  if (getloadavg(load, 3) != 3) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", load[0], load[1], load[2]);
  return text;
}

}  // namespace procstat
