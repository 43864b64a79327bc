// Figures of running processes and of the machine: resident memory and CPU
// time for the tests' bounds and the benchmarks' tables, load beside timings.
// From /proc on Linux and from the Mach task (through libproc) on Apple.
#ifndef NIMBREL_TESTING_PROCESS_STATS_H_
#define NIMBREL_TESTING_PROCESS_STATS_H_

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace procstat {

/// The resident set in KiB; absent once the process is gone or when the
/// system will not tell, so that a bound on it cannot pass unchecked.
std::optional<int64_t> residentKiB(pid_t pid);

/// The peak resident set in KiB (VmHWM on Linux; on Apple, which keeps no
/// peak of the resident set, the lifetime peak of the physical footprint).
std::optional<int64_t> peakResidentKiB(pid_t pid);

/// User plus system CPU time used so far, in seconds.
std::optional<double> cpuSeconds(pid_t pid);

/// The 1, 5 and 15 minute load averages: timing figures need the load they
/// were taken under beside them.
std::string loadAverage();

}  // namespace procstat

#endif  // NIMBREL_TESTING_PROCESS_STATS_H_
