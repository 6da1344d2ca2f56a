// Benchmarks that compare our code with a baseline in the same run: the
// console reporter also remembers each benchmark's time per iteration, and
// PrintRatio prints candidate/baseline at the end.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>

namespace vxbench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration && run.iterations > 0)
        times_[run.benchmark_name()] = {run.GetAdjustedRealTime(), run.GetAdjustedCPUTime()};
    ConsoleReporter::ReportRuns(runs);
  }

  // CPU time per iteration in milliseconds of the benchmark named by
  // `prefix` as reported (its unit); 0 when it did not run.
  double CpuMs(const std::string& prefix) const {
    const Times* t = Find(prefix);
    return t ? t->cpu : 0;
  }

  // Prints "ratio <candidate> / <baseline> = R (target <= T)" for the wall
  // clock and for CPU time (steadier on a shared machine); names are
  // matched by prefix (Google Benchmark appends "/min_time:..." and such).
  void PrintRatio(const std::string& candidate, const std::string& baseline, double target) {
    const Times* c = Find(candidate);
    const Times* b = Find(baseline);
    if (!c || !b || b->real <= 0 || b->cpu <= 0) {
      std::printf("ratio %s / %s: not measured\n", candidate.c_str(), baseline.c_str());
      return;
    }
    double real = c->real / b->real, cpu = c->cpu / b->cpu;
    std::printf("ratio %s / %s = %.2f real, %.2f cpu (target <= %.2f)%s\n", candidate.c_str(),
                baseline.c_str(), real, cpu, target,
                std::min(real, cpu) <= target ? "" : "  ** MISSED **");
  }

 private:
  struct Times {
    double real = 0, cpu = 0;
  };
  const Times* Find(const std::string& prefix) const {
    for (const auto& [name, times] : times_)
      if (name == prefix || name.rfind(prefix + "/", 0) == 0) return &times;
    return nullptr;
  }

  std::map<std::string, Times> times_;
};

}  // namespace vxbench
