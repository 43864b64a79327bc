// A console reporter that keeps each benchmark's time for same-run ratios.
#ifndef NIMBREL_BENCH_RATIO_REPORTER_H_
#define NIMBREL_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

// Keeps each benchmark's CPU time (the median when repeated, else the
// fastest run) so the same-run ratios can be printed; CPU time rather than
// wall time, which a busy machine inflates.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> fastest, median;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      double t = run.GetAdjustedCPUTime();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") median[run.run_name.str()] = t;
        continue;
      }
      auto [it, added] = fastest.emplace(run.run_name.str(), t);
      if (!added && t < it->second) it->second = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::optional<double> time(const std::string& name) const {
    if (auto it = median.find(name); it != median.end()) return it->second;
    if (auto it = fastest.find(name); it != fastest.end()) return it->second;
    return std::nullopt;
  }
};

}  // namespace bench

#endif  // NIMBREL_BENCH_RATIO_REPORTER_H_
