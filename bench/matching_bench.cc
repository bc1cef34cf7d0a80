// Domain matching: the index against the plain walk, and the cost of loading and indexing a list.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/domain_names.h"
#include "rules/domain_list.h"
#include "rules/filter_rules.h"

namespace quillnest::bench {
namespace {

constexpr std::size_t kHostCount = 1024;

struct Fixture {
  std::vector<std::string> domains;
  std::vector<std::string> hosts;
  FilterRules rules;
};

const Fixture& fixture(std::size_t count) {
  static std::map<std::size_t, Fixture> fixtures;
  auto it = fixtures.find(count);
  if (it == fixtures.end()) {
    std::vector<std::string> domains = makeDomains(count);
    std::vector<std::string> hosts = makeHosts(domains, kHostCount);
    FilterRules rules(true, domains);
    it = fixtures.emplace(count, Fixture{std::move(domains), std::move(hosts), std::move(rules)})
             .first;
  }
  return it->second;
}

// Thread CPU time: the machine these run on is shared, and wall time there measures the
// neighbours as much as the code.
double cpuNanos() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double walkNanosPerHost(const Fixture& f) {
  // Enough hosts for a stable mean without spending minutes at a million entries.
  const std::size_t samples = f.domains.size() >= 100000 ? 32 : kHostCount;
  const double start = cpuNanos();
  std::size_t hits = 0;
  for (std::size_t i = 0; i < samples; ++i) hits += matchesHostByWalk(f.domains, f.hosts[i]);
  benchmark::DoNotOptimize(hits);
  return (cpuNanos() - start) / static_cast<double>(samples);
}

void BM_MatchIndex(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  const double start = cpuNanos();
  for (auto _ : state) {
    benchmark::DoNotOptimize(f.rules.matchesHost(f.hosts[i]));
    i = (i + 1) % kHostCount;
  }
  const double indexNanos = (cpuNanos() - start) / static_cast<double>(state.iterations());
  const double walkNanos = walkNanosPerHost(f);
  state.counters["index_ns"] = indexNanos;
  state.counters["walk_ns"] = walkNanos;
  state.counters["walk/index"] = walkNanos / indexNanos;
}
BENCHMARK(BM_MatchIndex)->Arg(10)->Arg(1000)->Arg(100000)->Arg(1000000);

void BM_MatchWalk(benchmark::State& state) {
  const Fixture& f = fixture(static_cast<std::size_t>(state.range(0)));
  std::size_t i = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(matchesHostByWalk(f.domains, f.hosts[i]));
    i = (i + 1) % kHostCount;
  }
}
BENCHMARK(BM_MatchWalk)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMicrosecond);

std::size_t heapInUse() {
  const struct mallinfo2 info = mallinfo2();
  return info.uordblks + info.hblkhd;
}

std::size_t residentBytes() {
  long pages = 0;
  long resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  return static_cast<std::size_t>(resident) * 4096;
}

// Decoding the configuration bytes as the provider does: parse, copy the strings, index them.
void BM_LoadAndIndex(benchmark::State& state) {
  const auto count = static_cast<std::size_t>(state.range(0));
  std::string json;
  std::size_t textBytes = 0;
  {
    const std::vector<std::string> domains = makeDomains(count);
    for (const std::string& d : domains) textBytes += d.size();
    json = encodeFilterRules(FilterRules(true, domains));
  }
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(json.data()),
                                            json.size());
  double heapPerEntry = 0;
  double residentPerEntry = 0;
  double indexPerEntry = 0;
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    const std::size_t heapBefore = heapInUse();
    const std::size_t residentBefore = residentBytes();
    state.ResumeTiming();
    DecodeResult result = decodeFilterRules(bytes);
    state.PauseTiming();
    if (!result.rules) state.SkipWithError(result.error.message.c_str());
    malloc_trim(0);
    const auto n = static_cast<double>(count);
    heapPerEntry = (static_cast<double>(heapInUse()) - static_cast<double>(heapBefore) -
                    static_cast<double>(textBytes)) /
                   n;
    residentPerEntry = (static_cast<double>(residentBytes()) - static_cast<double>(residentBefore) -
                        static_cast<double>(textBytes)) /
                       n;
    indexPerEntry = static_cast<double>(result.rules->storage()->indexBytes()) / n;
    result.rules.reset();
    state.ResumeTiming();
  }
  state.counters["heap_B_per_entry_beyond_text"] = heapPerEntry;
  state.counters["rss_B_per_entry_beyond_text"] = residentPerEntry;
  state.counters["index_B_per_entry"] = indexPerEntry;
  state.counters["json_MB"] = static_cast<double>(json.size()) / 1e6;
  state.counters["text_B_per_entry"] = static_cast<double>(textBytes) / static_cast<double>(count);
}
BENCHMARK(BM_LoadAndIndex)->Arg(200000)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(5);

void printSummary(const FigureReporter& reporter) {
  std::printf(
      "\nMatching, ns per host (thread CPU time); goals: walk/index >= 1,000 at 100,000 entries, "
      "index < 300 ns at 1,000,000\n%10s %12s %14s %12s %8s\n",
      "entries", "index ns", "walk ns", "walk/index", "goal");
  for (long entries : {10L, 1000L, 100000L, 1000000L}) {
    const std::string name = "BM_MatchIndex/" + std::to_string(entries);
    const double index = reporter.counter(name, "index_ns");
    const double walk = reporter.counter(name, "walk_ns");
    if (index <= 0 || walk <= 0) continue;
    const char* goal = "";
    if (entries == 100000) goal = goalText(true, walk / index >= 1000);
    if (entries == 1000000) goal = goalText(true, index < 300);
    std::printf("%10ld %12.1f %14.1f %12.1f %8s\n", entries, index, walk, walk / index, goal);
  }
  std::printf(
      "\nLoad and index (decode JSON, copy strings, index; CPU time); goals at 1,000,000: < 1 s, "
      "< 64 B per entry beyond the text\n%10s %10s %16s %16s %10s %8s\n",
      "entries", "ms", "heap B/entry", "index B/entry", "JSON MB", "goal");
  for (long entries : {200000L, 1000000L}) {
    const std::string name = "BM_LoadAndIndex/" + std::to_string(entries) + "/iterations:5";
    const auto* figures = reporter.find(name);
    if (figures == nullptr) continue;
    const double ms = figures->cpuNs / 1e6;
    const double heap = reporter.counter(name, "heap_B_per_entry_beyond_text");
    const char* goal = entries == 1000000 ? goalText(true, ms < 1000 && heap < 64) : "";
    std::printf("%10ld %10.1f %16.1f %16.1f %10.1f %8s\n", entries, ms, heap,
                reporter.counter(name, "index_B_per_entry"), reporter.counter(name, "json_MB"),
                goal);
  }
}

}  // namespace
}  // namespace quillnest::bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  quillnest::bench::FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  quillnest::bench::printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
