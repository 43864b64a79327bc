// Figures of running processes and of the machine, from /proc: resident
// memory for the tests' bounds and the benchmarks' tables, load beside timings.
#ifndef NIMBREL_TESTING_PROCESS_STATS_H_
#define NIMBREL_TESTING_PROCESS_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace procstat {

/// A "Vm..." line of /proc/<pid>/status in KiB, e.g. "VmRSS" or "VmHWM";
/// -1 once the process is gone or when it has no such line.
int64_t statusKiB(pid_t pid, std::string_view key);

/// The resident set (VmRSS) in KiB; -1 once the process is gone.
inline int64_t residentKiB(pid_t pid) { return statusKiB(pid, "VmRSS"); }

/// The peak resident set (VmHWM) in KiB; -1 once the process is gone.
inline int64_t peakResidentKiB(pid_t pid) { return statusKiB(pid, "VmHWM"); }

/// The first three fields of /proc/loadavg: timing figures need the load
/// they were taken under beside them.
std::string loadAverage();

}  // namespace procstat

#endif  // NIMBREL_TESTING_PROCESS_STATS_H_
