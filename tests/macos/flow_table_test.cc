// The flow table must hand the core the same flow object for every callback about one platform
// flow while the core keeps it, and must not grow with flows the core has let go.
#include "hosts/macos/flow_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace quillnest::macos {
namespace {

FlowRef newFlow(const UUID& identifier) { return std::make_shared<NEFilterFlow>(identifier); }

TEST(MacosFlowTable, SameFlowWhileKeptAFreshOneOnceReleased) {
  FlowTable table;
  const UUID id = UUID::random();
  const UUID other = UUID::random();
  int made = 0;
  const auto make = [&] {
    ++made;
    return newFlow(id);
  };
  table.findOrAdd(id, make);  // the caller lets go at once, as for a flow allowed at once
  EXPECT_EQ(table.find(id), nullptr);
  const FlowRef first = table.findOrAdd(id, make);
  EXPECT_EQ(table.findOrAdd(id, make), first);
  EXPECT_EQ(table.find(id), first);
  EXPECT_EQ(made, 2);
  // A make that fails stores nothing; the next one is kept.
  EXPECT_EQ(table.findOrAdd(other, [] { return FlowRef(); }), nullptr);
  EXPECT_EQ(table.find(other), nullptr);
  const FlowRef second = table.findOrAdd(other, [&] { return newFlow(other); });
  ASSERT_NE(second, nullptr);
  EXPECT_NE(second, first);
  EXPECT_EQ(table.find(other), second);
}

// Most flows are allowed at once and never come back: their slots must not pile up.
TEST(MacosFlowTable, ShortLivedFlowsDoNotGrowTheTable) {
  FlowTable table;
  std::vector<FlowRef> kept;
  std::vector<UUID> keptIds;
  for (int i = 0; i < 100'000; ++i) {
    const UUID id = UUID::random();
    FlowRef flow = table.findOrAdd(id, [&] { return newFlow(id); });
    if (i % 1000 == 0) {
      kept.push_back(std::move(flow));
      keptIds.push_back(id);
    }
  }
  EXPECT_LE(table.slotCount(), 512u);
  for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(table.find(keptIds[i]), kept[i]);
}

TEST(MacosFlowTable, RacingCallersForOneFlowAllGetTheSameObject) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 200;
  for (int round = 0; round < kRounds; ++round) {
    FlowTable table;
    const UUID id = UUID::random();
    std::atomic<int> ready{0};
    std::vector<FlowRef> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        results[t] = table.findOrAdd(id, [&] { return newFlow(id); });
      });
    }
    for (std::thread& thread : threads) thread.join();
    const std::set<FlowRef> distinct(results.begin(), results.end());
    ASSERT_EQ(distinct.size(), 1u) << "round " << round;
    ASSERT_NE(*distinct.begin(), nullptr);
  }
}

}  // namespace
}  // namespace quillnest::macos
