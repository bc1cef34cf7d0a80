// Packets per second through the flow engine in front of the real provider: new connections
// decided at their first packet (port 80/8443), and TLS connections inspected from a ClientHello
// in two segments, one of them arriving out of order. Parsing is included.
//   build/bench/bench/flow_engine_bench
#include <benchmark/benchmark.h>
#include <malloc.h>

#include "hosts/common/flow_engine.h"
#include "provider/filter_data_provider.h"
#include "tests/common/packet_builder.h"
#include "tests/support/recording_host.h"

namespace quillnest::hosts {
namespace {

using testing::PacketBytes;
using testing::PacketLayout;

struct Setup {
  Setup() {
    host = std::make_shared<testing::RecordingHost>();
    provider = FilterDataProvider::init(host);
    host->setRulesJSON(testing::rulesJSON(true, {"blocked.example", "ads.example"}));
    provider->startFilterWithCompletionHandler([](ErrorRef) {});
    host->completeSettings(nullptr);
    host->logger().setDebugEnabled(false);
  }
  std::shared_ptr<testing::RecordingHost> host;
  std::shared_ptr<FilterDataProvider> provider;
};

// Packets of `count` connections; each is destroyed once its packets are in.
std::vector<std::vector<PacketBytes>> connections(std::size_t count, bool tls) {
  const PacketBytes hello = testing::makeClientHello("www.blocked.example", 1500);
  std::vector<std::vector<PacketBytes>> out;
  for (std::size_t i = 0; i < count; ++i) {
    PacketLayout layout;
    layout.sourcePort = static_cast<std::uint16_t>(10000 + i);
    layout.destinationPort = tls ? 443 : (i % 2 ? 80 : 8443);
    layout.flags = kTcpSyn;
    layout.sequence = 1000;
    std::vector<PacketBytes> packets{testing::buildPacket(layout)};
    if (tls) {
      layout.flags = kTcpAck | kTcpPsh;
      layout.sequence = 1001 + 1400;
      layout.payload.assign(hello.begin() + 1400, hello.end());
      packets.push_back(testing::buildPacket(layout));
      layout.sequence = 1001;
      layout.payload.assign(hello.begin(), hello.begin() + 1400);
      packets.push_back(testing::buildPacket(layout));
    }
    out.push_back(std::move(packets));
  }
  return out;
}

void run(benchmark::State& state, bool tls) {
  Setup setup;
  const auto traffic = connections(1000, tls);
  std::uint64_t packets = 0;
  for (auto _ : state) {
    FlowEngine engine(setup.provider);
    PacketHandle handle = 0;
    for (const auto& connection : traffic) {
      for (const auto& packet : connection) {
        benchmark::DoNotOptimize(engine.onOutboundIpPacket(++handle, packet, EngineTime{}));
        ++packets;
      }
    }
    for (const auto& key : engine.connections()) engine.onConnectionDestroyed(key);
    setup.host->clearRecords();
  }
  state.counters["packets/s"] =
      benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
}

void BM_DecidedAtFirstPacket(benchmark::State& state) { run(state, false); }
void BM_InspectedClientHello(benchmark::State& state) { run(state, true); }
// Heap bytes each open connection holds (the engine's entry, its state, the flow), with 50,000
// connections open at once: what a full table costs.
void BM_HeapPerOpenConnection(benchmark::State& state) {
  Setup setup;
  constexpr std::size_t kOpen = 50000;
  std::vector<PacketBytes> syns;
  for (std::size_t i = 0; i < kOpen; ++i) {
    PacketLayout layout;
    layout.source = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
    layout.destinationPort = 8443;
    layout.flags = kTcpSyn;
    syns.push_back(testing::buildPacket(layout));
  }
  double perConnection = 0;
  for (auto _ : state) {
    FlowEngine engine(setup.provider);
    const std::size_t before = mallinfo2().uordblks;
    PacketHandle handle = 0;
    for (const auto& syn : syns) engine.onOutboundIpPacket(++handle, syn, EngineTime{});
    perConnection = static_cast<double>(mallinfo2().uordblks - before) / kOpen;
    for (const auto& key : engine.connections()) engine.onConnectionDestroyed(key);
    setup.host->clearRecords();
  }
  state.counters["heap bytes/connection"] = perConnection;
}

BENCHMARK(BM_DecidedAtFirstPacket)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HeapPerOpenConnection)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_InspectedClientHello)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quillnest::hosts

BENCHMARK_MAIN();
