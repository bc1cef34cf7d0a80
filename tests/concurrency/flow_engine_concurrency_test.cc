// Several threads feed the pieces of blocked ClientHellos in random order into one engine: every
// packet ends with exactly one fate, and every stream reaches the provider whole and in order (it
// would fail open on anything else), so every connection ends dropped.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "hosts/common/flow_engine.h"
#include "tests/common/packet_builder.h"
#include "tests/concurrency/watchdog.h"
#include "tests/provider/provider_fixture.h"

namespace quillnest::testing {
namespace {

using hosts::PacketAction;
using hosts::PacketDecision;
using hosts::PacketHandle;

TEST_F(ProviderTest, EngineTakesPacketsOfOneConnectionFromManyThreads) {
  Watchdog watchdog{"EngineTakesPacketsOfOneConnectionFromManyThreads"};
  startWith(true, {"blocked.example"});
  hosts::FlowEngine engine(provider, {});
  const PacketBytes message = makeClientHello("www.blocked.example", 100);
  constexpr int kConnections = 8;
  constexpr std::uint32_t kIsn = 0x7ffffff0u;
  const hosts::EngineTime now{};
  std::mutex fatesMutex;
  std::map<PacketHandle, int> fates;
  auto record = [&](PacketHandle h, const PacketDecision& d) {
    std::lock_guard lock(fatesMutex);
    if (d.action != PacketAction::hold) ++fates[h];
    for (auto r : d.update.release) ++fates[r];
    for (auto r : d.update.discard) ++fates[r];
  };
  PacketHandle nextHandle = 1;
  std::vector<std::pair<PacketHandle, PacketBytes>> jobs;
  for (int c = 0; c < kConnections; ++c) {
    const auto port = static_cast<std::uint16_t>(41000 + c);
    const PacketHandle syn = nextHandle++;
    record(syn,
           engine.onOutboundIpPacket(
               syn, buildPacket({.sourcePort = port, .flags = hosts::kTcpSyn, .sequence = kIsn}),
               now));
    for (std::size_t at = 0; at < message.size(); at += 6) {
      PacketLayout layout{.sourcePort = port, .sequence = kIsn + 1 + std::uint32_t(at)};
      layout.payload.assign(message.begin() + std::ptrdiff_t(at),
                            message.begin() + std::ptrdiff_t(std::min(at + 6, message.size())));
      jobs.emplace_back(nextHandle++, buildPacket(layout));
    }
  }
  std::shuffle(jobs.begin(), jobs.end(), std::mt19937(7));
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();) {
        const auto& [handle, packet] = jobs[i];
        record(handle, engine.onOutboundIpPacket(handle, packet, now));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& update : engine.tick(now + std::chrono::seconds(10))) {
    record(0, {PacketAction::hold, update});
  }
  for (PacketHandle h = 1; h < nextHandle; ++h) EXPECT_EQ(fates[h], 1) << "handle " << h;
  const auto counters = engine.counters();
  EXPECT_EQ(counters.inspectionsDropped, static_cast<std::uint64_t>(kConnections));
  EXPECT_EQ(counters.heldPackets, 0u);
  EXPECT_EQ(counters.failOpenEvents, 0u);
}

}  // namespace
}  // namespace quillnest::testing
