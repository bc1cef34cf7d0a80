// A console reporter that also keeps each finished run's figures by name, so a benchmark program
// can print its comparison table (ours against the peer, with the ratio) after the run. A run
// repeated (Repetitions, --benchmark_repetitions) is kept as its median.
// --benchmark_out still writes its file: Google Benchmark adds the file reporter itself.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace quillnest::bench {

class FigureReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal: the tables also go to files (scripts/bench.sh).
  FigureReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_ColorTabular : OO_Tabular) {}

  struct Figures {
    double realNs = 0;  // per iteration
    double cpuNs = 0;   // per iteration
    std::map<std::string, double> counters;
  };

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      // Aggregates come after their repetitions, so the median overwrites them.
      const double toNs = 1e9 / benchmark::GetTimeUnitMultiplier(run.time_unit);
      Figures& figures = figures_[run.run_name.str()];
      figures.realNs = run.GetAdjustedRealTime() * toNs;
      figures.cpuNs = run.GetAdjustedCPUTime() * toNs;
      for (const auto& [name, counter] : run.counters) figures.counters[name] = counter.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  const Figures* find(const std::string& name) const {
    const auto it = figures_.find(name);
    return it == figures_.end() ? nullptr : &it->second;
  }

  // The counter's value, or a negative number when the run or the counter is missing.
  double counter(const std::string& name, const std::string& counterName) const {
    const Figures* figures = find(name);
    if (figures == nullptr) return -1;
    const auto it = figures->counters.find(counterName);
    return it == figures->counters.end() ? -1 : it->second;
  }

 private:
  std::map<std::string, Figures> figures_;
};

// "met" or "missed" for a goal, "n/a" when the figure is missing.
inline const char* goalText(bool known, bool met) {
  if (!known) return "n/a";
  return met ? "met" : "missed";
}

}  // namespace quillnest::bench
