// A console reporter that also keeps each benchmark's real time per iteration, so a
// program can print its own figures next to their limits after the runs.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

namespace zoltest {

class TimingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.iterations > 0 && !r.error_occurred) ns_[r.benchmark_name()] = r.GetAdjustedRealTime();
    ConsoleReporter::ReportRuns(runs);
  }
  // Time per iteration of the named benchmark, or -1 when it did not run (filtered out).
  double ns(const std::string &name) const {
    auto it = ns_.find(name);
    return it == ns_.end() ? -1.0 : it->second;
  }

 private:
  std::map<std::string, double> ns_;
};

}  // namespace zoltest
