// The whole decision path of a flow through the real provider, with 100,000 blocked domains:
//  - a flow whose URL names its host, judged at handleNewFlow;
//  - a held TCP 443 flow judged by its ClientHello (a real one from OpenSSL), delivered as the
//    platform does after the peek verdicts: the 5-byte record header, then the rest.
// Every flow ends with its flow-closed report a lap later (1,024 flows per thread are open at
// once), so the provider's tables stay at a steady size. Half the names are blocked.
// One thread, then two threads on one provider. Two references tell the provider's share of a
// shortfall from the machine's: two threads on one provider each (nothing shared but the
// allocator), and a loop of arithmetic on each thread (what the two cores give at that moment;
// on a shared VM that can be far from 2x). Flows per second are wall-clock rates.
//   build/bench/bench/decision_path_bench
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_report.h"
#include "bench/domain_names.h"
#include "host/quiet_parts.h"
#include "provider/filter_data_provider.h"
#include "tests/support/client_hello.h"

namespace quillnest::bench {
namespace {

constexpr std::size_t kDomainCount = 100000;
constexpr std::size_t kFlowsPerThread = 1024;
constexpr std::size_t kHelloCount = 64;
constexpr int kMaxThreads = 2;

// A host that costs nothing, so the figures are the provider's own.
class NullHost final : public NEFilterProviderHost {
 public:
  explicit NullHost(const std::string& rulesJSON) {
    VendorConfiguration vendor;
    vendor["filterRules"] = Bytes(rulesJSON.begin(), rulesJSON.end());
    configuration_ = std::make_shared<NEFilterProviderConfiguration>(std::move(vendor));
  }
  ConfigurationRef filterConfiguration() override { return configuration_; }
  std::unique_ptr<NSKeyValueObservation> observeFilterConfiguration(
      std::uint32_t, std::function<void()>) override {
    return std::make_unique<NullObservation>();
  }
  void applySettings(const NEFilterSettings&, std::function<void(ErrorRef)> completion) override {
    completion(nullptr);
  }
  void updateFlow(const FlowRef&, const DataVerdictRef&, NETrafficDirection) override {}
  std::shared_ptr<Logger> makeLogger(std::string_view, std::string_view) override {
    return std::make_shared<QuietLogger>();
  }
  void notifyPost(std::string_view) override {}

 private:
  ConfigurationRef configuration_;
};

std::shared_ptr<FilterDataProvider> startedProvider(const std::string& rulesJSON) {
  auto provider = FilterDataProvider::init(std::make_shared<NullHost>(rulesJSON));
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  return provider;
}

struct World {
  World() {
    const std::vector<std::string> domains = makeDomains(kDomainCount);
    rulesJSON = encodeFilterRules(FilterRules(true, domains));
    hosts = makeHosts(domains, kFlowsPerThread);
    for (std::size_t i = 0; i < kHelloCount; ++i) {
      testing::ClientHelloOptions options;
      options.serverName = hosts[i];
      options.alpn = {"h2", "http/1.1"};
      options.padding = true;
      hellos.push_back(testing::generateClientHello(options));
    }
    shared = startedProvider(rulesJSON);
    for (int i = 0; i < kMaxThreads; ++i) own.push_back(startedProvider(rulesJSON));
  }
  std::string rulesJSON;
  std::vector<std::string> hosts;
  std::vector<Bytes> hellos;
  std::shared_ptr<FilterDataProvider> shared;
  std::vector<std::shared_ptr<FilterDataProvider>> own;  // one per thread
};

const World& world() {
  static const World instance;
  return instance;
}

FilterDataProvider& providerFor(const benchmark::State& state, bool ownProvider) {
  const World& w = world();
  return ownProvider ? *w.own[static_cast<std::size_t>(state.thread_index())] : *w.shared;
}

std::string serverAddress(std::size_t i) { return "198.51.100." + std::to_string(i % 250 + 1); }

FlowRef hostNameFlow(const std::string& host, std::size_t i) {
  return std::make_shared<NEFilterSocketFlow>(
      UUID::random(),
      NEFilterSocketFlow::Attributes{URL{"https://" + host + "/", host},
                                     NWHostEndpoint::endpointWithHostname(serverAddress(i), "443"),
                                     std::nullopt, kProtocolTCP});
}

// No URL and an address for an endpoint: the provider holds it and reads its ClientHello.
FlowRef heldTlsFlow(std::size_t i) {
  return std::make_shared<NEFilterSocketFlow>(
      UUID::random(),
      NEFilterSocketFlow::Attributes{std::nullopt,
                                     NWHostEndpoint::endpointWithHostname(serverAddress(i), "443"),
                                     std::nullopt, kProtocolTCP});
}

NEFilterReport closedReport(const FlowRef& flow) {
  return NEFilterReport{static_cast<std::int64_t>(NEFilterReportEvent::flowClosed), flow};
}

DataVerdictRef judgeHeldFlow(FilterDataProvider& provider, const FlowRef& flow,
                             const Bytes& hello) {
  benchmark::DoNotOptimize(provider.handleNewFlow(flow).get());
  const std::span<const std::uint8_t> bytes(hello);
  benchmark::DoNotOptimize(provider.handleOutboundDataFromFlow(flow, 0, bytes.first(5)).get());
  return provider.handleOutboundDataFromFlow(flow, 5, bytes.subspan(5));
}

template <typename Judge>
void runFlows(benchmark::State& state, FilterDataProvider& provider,
              const std::vector<FlowRef>& flows, Judge judge) {
  std::vector<bool> open(flows.size(), false);
  std::size_t i = 0;
  for (auto _ : state) {
    if (open[i]) provider.handleReport(closedReport(flows[i]));
    judge(i);
    open[i] = true;
    if (++i == flows.size()) i = 0;
  }
  // The timer has stopped with the loop.
  for (std::size_t j = 0; j < flows.size(); ++j) {
    if (open[j]) provider.handleReport(closedReport(flows[j]));
  }
  state.counters["flows/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void hostNameFlows(benchmark::State& state, bool ownProvider) {
  const World& w = world();
  FilterDataProvider& provider = providerFor(state, ownProvider);
  std::vector<FlowRef> flows;
  for (std::size_t i = 0; i < kFlowsPerThread; ++i) flows.push_back(hostNameFlow(w.hosts[i], i));
  runFlows(state, provider, flows, [&](std::size_t i) {
    benchmark::DoNotOptimize(provider.handleNewFlow(flows[i]).get());
  });
}

void heldTlsFlows(benchmark::State& state, bool ownProvider) {
  const World& w = world();
  FilterDataProvider& provider = providerFor(state, ownProvider);
  std::vector<FlowRef> flows;
  for (std::size_t i = 0; i < kFlowsPerThread; ++i) flows.push_back(heldTlsFlow(i));
  runFlows(state, provider, flows, [&](std::size_t i) {
    benchmark::DoNotOptimize(judgeHeldFlow(provider, flows[i], w.hellos[i % kHelloCount]).get());
  });
}

// Arithmetic that touches no memory: the two-thread ratio of the machine itself.
void BM_MachineCeiling(benchmark::State& state) {
  std::uint64_t x = static_cast<std::uint64_t>(state.thread_index()) + 1;
  for (auto _ : state) {
    for (int i = 0; i < 256; ++i) x = x * 6364136223846793005u + 1442695040888963407u;
    benchmark::DoNotOptimize(x);
  }
  state.counters["loops/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Two threads taking turns on one atomic word: each turn moves its cache line to the other core,
// as taking the provider's lock does when the other thread took it last.
void BM_LineHandoff(benchmark::State& state) {
  static std::atomic<std::uint64_t> turn{0};
  const auto mine = static_cast<std::uint64_t>(state.thread_index());
  for (auto _ : state) {
    // Both threads run the same number of turns, so each wait ends.
    while (turn.load(std::memory_order_acquire) % 2 != mine) {
    }
    turn.fetch_add(1, std::memory_order_release);
  }
  state.counters["handoffs/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_HostNameFlow(benchmark::State& state) { hostNameFlows(state, false); }
void BM_HeldTlsFlow(benchmark::State& state) { heldTlsFlows(state, false); }
void BM_HostNameFlowOwnProvider(benchmark::State& state) { hostNameFlows(state, true); }
void BM_HeldTlsFlowOwnProvider(benchmark::State& state) { heldTlsFlows(state, true); }
// Wall-clock rates on a shared machine move with the neighbours' load from one second to the
// next. Each figure is the median of nine short runs, and main() shuffles the runs of all
// benchmarks together (random interleaving), so one and two threads see the same conditions.
constexpr int kRepetitions = 9;
constexpr double kMinTime = 0.05;
void twoThreadRuns(benchmark::internal::Benchmark* b) {
  b->Threads(2)->UseRealTime()->Repetitions(kRepetitions)->MinTime(kMinTime);
}
void oneAndTwoThreadRuns(benchmark::internal::Benchmark* b) {
  b->Threads(1);
  twoThreadRuns(b);
}
BENCHMARK(BM_MachineCeiling)->Apply(oneAndTwoThreadRuns);
BENCHMARK(BM_LineHandoff)->Apply(twoThreadRuns);
BENCHMARK(BM_HostNameFlow)->Apply(oneAndTwoThreadRuns);
BENCHMARK(BM_HeldTlsFlow)->Apply(oneAndTwoThreadRuns);
BENCHMARK(BM_HostNameFlowOwnProvider)->Apply(twoThreadRuns);
BENCHMARK(BM_HeldTlsFlowOwnProvider)->Apply(twoThreadRuns);

// The verdicts the runs rely on: blocked names dropped, others allowed, on both paths.
bool verdictsAsExpected() {
  const World& w = world();
  auto provider = startedProvider(w.rulesJSON);
  bool ok = true;
  for (std::size_t i = 0; i < 2; ++i) {
    const bool blocked = i % 2 == 0;  // even hosts lie below a listed domain
    const FlowRef named = hostNameFlow(w.hosts[i], i);
    const auto newFlow = provider->handleNewFlow(named)->kind();
    const FlowRef held = heldTlsFlow(i);
    const auto data = judgeHeldFlow(*provider, held, w.hellos[i])->kind();
    if ((newFlow == NEFilterNewFlowVerdict::Kind::drop) != blocked ||
        (data == NEFilterDataVerdict::Kind::drop) != blocked) {
      std::fprintf(stderr, "unexpected verdicts for %s\n", w.hosts[i].c_str());
      ok = false;
    }
    provider->handleReport(closedReport(named));
    provider->handleReport(closedReport(held));
  }
  return ok && provider->activeWebFlowCount() == 0 && provider->outboundBufferCount() == 0;
}

struct Bound {
  const char* path;
  int sections;
  double perFlow;  // ns, one thread
};

void printSummary(const FigureReporter& reporter) {
  std::vector<Bound> bounds;
  const std::string runs =
      "/min_time:0.050/repeats:" + std::to_string(kRepetitions) + "/real_time/threads:";
  const double machineOne = reporter.counter("BM_MachineCeiling" + runs + "1", "loops/s");
  const double machineTwo = reporter.counter("BM_MachineCeiling" + runs + "2", "loops/s");
  const double machine = machineOne > 0 && machineTwo > 0 ? machineTwo / machineOne : -1;
  std::printf(
      "\nDecision path, %zu blocked domains, flows per second (wall clock); goal: 2 threads >= "
      "1.6x one\nmachine ceiling (arithmetic only), 2 threads / 1 thread: %.2fx\n"
      "%-14s %10s %10s %7s %7s %13s %7s %11s\n",
      kDomainCount, machine, "flow", "1 thread", "2 threads", "2t/1t", "goal", "2 own provs",
      "own/1t", "shared/own");
  // Lock sections per flow: the new flow and its close; a held flow adds its two deliveries and
  // the buffer's removal once the name is read.
  const std::pair<const char*, int> paths[] = {{"HostNameFlow", 2}, {"HeldTlsFlow", 5}};
  for (const auto& [path, sections] : paths) {
    const std::string base = std::string("BM_") + path;
    const double one = reporter.counter(base + runs + "1", "flows/s");
    const double two = reporter.counter(base + runs + "2", "flows/s");
    const double own = reporter.counter(base + "OwnProvider" + runs + "2", "flows/s");
    if (one <= 0 || two <= 0) continue;
    std::printf("%-14s %10.0f %10.0f %6.2fx %7s", path, one, two, two / one,
                goalText(true, two / one >= 1.6));
    // What sharing one provider (its lock, its maps, its rules) costs two threads, measured at
    // the same moments; less sensitive to the machine's load than 2t/1t.
    if (own > 0) std::printf(" %13.0f %6.2fx %10.2fx", own, own / one, two / own);
    std::printf("\n");
    bounds.push_back({path, sections, 1e9 / one});
  }
  // Each thread's handoff rate counts one turn in two of the word's moves.
  const double handoffs = reporter.counter("BM_LineHandoff" + runs + "2", "handoffs/s");
  if (handoffs <= 0) return;
  const double move = 1e9 / (2 * handoffs);
  std::printf(
      "one cache line moved between the two cores: %.0f ns. A lock both threads take moves it at "
      "least once\nper section, so with one thread's time per flow t, two threads reach at most "
      "2t / (t + sections x %.0f ns):\n",
      move, move);
  for (const Bound& b : bounds) {
    std::printf("  %-14s %d sections, t %4.0f ns: at most %.2fx\n", b.path, b.sections, b.perFlow,
                2 * b.perFlow / (b.perFlow + b.sections * move));
  }
}

}  // namespace
}  // namespace quillnest::bench

int main(int argc, char** argv) {
  // Interleaving first, so that a flag given on the command line still wins.
  std::vector<char*> args{argv[0]};
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.push_back(interleave.data());
  args.insert(args.end(), argv + 1, argv + argc);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  argv = args.data();
  argc = count;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!quillnest::bench::verdictsAsExpected()) return 1;
  quillnest::bench::FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  quillnest::bench::printSummary(reporter);
  benchmark::Shutdown();
  return 0;
}
