// Every callback at once on several threads, for a bounded number of operations. Run under
// ThreadSanitizer: a data race or a lock-order problem fails the run; the checks here catch torn
// rules and entries left behind.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "provider/filter_data_provider.h"
#include "tests/support/hello_options.h"
#include "tests/support/recording_host.h"

namespace quillnest::testing {
namespace {

constexpr int kIterations = 2000;

const FilterRules kRulesA(true, {"a1.example", "a2.example", "a3.example"});
const FilterRules kRulesB(false, {"b1.example"});

class ProviderConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_shared<RecordingHost>();
    host->logger().setDebugEnabled(true);
    provider = FilterDataProvider::init(host);
    host->setRulesJSON(rulesJSON(true, kRulesA.domains().strings()));
    provider->startFilterWithCompletionHandler([](ErrorRef) {});
    host->completeSettings(nullptr);
  }
  void TearDown() override { EXPECT_EQ(host->lockViolations(), 0); }

  std::shared_ptr<RecordingHost> host;
  std::shared_ptr<FilterDataProvider> provider;
};

TEST_F(ProviderConcurrencyTest, ReadersSeeOldOrNewRulesWhole) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread changer([&] {
    for (int i = 0; i < kIterations / 4; ++i) {
      host->changeRulesJSON(i % 2 ? rulesJSON(true, kRulesA.domains().strings())
                                  : rulesJSON(false, kRulesB.domains().strings()));
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&] {
      for (int i = 0; i < kIterations && !done; ++i) {
        const FilterRules seen = provider->currentRules();
        if (!(seen == kRulesA || seen == kRulesB)) ++torn;
        FlowShape shape;
        shape.remoteHostname = "a1.example";
        const auto kind = provider->handleNewFlow(makeFlow(shape))->kind();
        if (kind != NEFilterNewFlowVerdict::Kind::drop &&
            kind != NEFilterNewFlowVerdict::Kind::allow) {
          ++torn;
        }
      }
    });
  }
  changer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(torn, 0);
}

// Each thread keeps its own copy of the rules and refreshes it when the generation it reads under
// the lock has changed. Here the sets only move forward, each blocking a domain of its own when it
// is on; the sets that are off also list "mixed.example", which only a snapshot taking one set's
// switch with another's list would block. A reader that sees the same set before and after a
// decision knows the set that decision had to use: any other answer is a stale or mixed copy.
TEST_F(ProviderConcurrencyTest, SnapshotCopiesFollowEachRulesChange) {
  constexpr int kSets = 300;
  const auto setDomain = [](int k) { return "g" + std::to_string(k) + ".example"; };
  std::vector<Bytes> hellos;
  for (int k = 0; k <= kSets; ++k) {
    hellos.push_back(generateClientHello(helloOptions(TlsVersion::tls13, setDomain(k))));
  }
  const Bytes mixedHello = generateClientHello(helloOptions(TlsVersion::tls13, "mixed.example"));
  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  std::atomic<int> checked{0};
  std::thread changer([&] {
    for (int k = 1; k <= kSets; ++k) {
      host->changeRulesJSON(k % 2 == 0 ? rulesJSON(true, {setDomain(k)})
                                       : rulesJSON(false, {setDomain(k), "mixed.example"}));
    }
    done = true;
  });
  const auto currentSet = [&] {
    const std::string first(provider->currentRules().domains().front());
    return first.starts_with("g") ? std::stoi(first.substr(1)) : 0;  // 0: the rules at start
  };
  const auto dropsName = [&](const std::string& name) {
    FlowShape shape;
    shape.remoteHostname = name;
    const FlowRef flow = makeFlow(shape);
    const auto kind = provider->handleNewFlow(flow)->kind();
    provider->handleReport({3, flow});
    return kind == NEFilterNewFlowVerdict::Kind::drop;
  };
  const auto dropsHello = [&](const Bytes& hello) {
    const FlowRef flow = makeTLSFlow();
    provider->handleNewFlow(flow);
    provider->handleOutboundDataFromFlow(flow, 0, std::span(hello.data(), 5));
    const auto kind =
        provider->handleOutboundDataFromFlow(flow, 5, std::span(hello.data() + 5, hello.size() - 5))
            ->kind();
    provider->handleReport({3, flow});
    return kind == NEFilterDataVerdict::Kind::drop;
  };
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      for (int i = 0; i < 20 * kIterations && !done; ++i) {
        const int before = currentSet();
        const bool byName = (i + t) % 2 == 0;
        const bool dropped = byName ? dropsName(setDomain(before)) : dropsHello(hellos[before]);
        const bool mixedDropped = byName ? dropsName("mixed.example") : dropsHello(mixedHello);
        if (currentSet() != before) continue;
        ++checked;
        const bool on = before != 0 && before % 2 == 0;
        if (dropped != on || mixedDropped) ++wrong;
      }
    });
  }
  changer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_GT(checked, 0);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
}

TEST_F(ProviderConcurrencyTest, EveryCallbackAtOnceLeavesNothingBehind) {
  const Bytes blocked = generateClientHello(helloOptions(TlsVersion::tls13, "a2.example"));
  const Bytes allowed = generateClientHello(helloOptions(TlsVersion::tls12, "other.example"));
  std::atomic<bool> stop{false};

  auto flowWorker = [&](const Bytes& hello) {
    for (int i = 0; i < kIterations / 2; ++i) {
      const FlowRef flow = makeTLSFlow();
      provider->handleNewFlow(flow);
      // Header first, then the rest, as the peek verdicts ask.
      provider->handleOutboundDataFromFlow(flow, 0, std::span(hello.data(), 5));
      provider->handleOutboundDataFromFlow(flow, 5, std::span(hello.data() + 5, hello.size() - 5));
      provider->handleReport({3, flow});
    }
  };
  std::thread blockedFlows(flowWorker, blocked);
  std::thread allowedFlows(flowWorker, allowed);
  std::thread changes([&] {
    for (int i = 0; i < 200 && !stop; ++i) {
      host->changeRulesJSON(rulesJSON(true, (i % 2 ? kRulesA : kRulesB).domains().strings()));
    }
  });
  std::thread lifecycle([&] {
    for (int i = 0; i < 50; ++i) {
      provider->stopFilterWithReason(i, [] {});
      provider->startFilterWithCompletionHandler([](ErrorRef) {});
      host->completeSettings(nullptr);
    }
  });
  blockedFlows.join();
  allowedFlows.join();
  stop = true;
  changes.join();
  lifecycle.join();

  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  provider->stopFilterWithReason(0, [] {});
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(host->liveObservations(), 0);
}

TEST_F(ProviderConcurrencyTest, ProviderReleasedWhileChangesArrive) {
  std::weak_ptr<FilterDataProvider> weak = provider;
  std::thread changes([&] {
    for (int i = 0; i < 500; ++i) host->changeRulesJSON(rulesJSON(i % 2 == 0, {"x.example"}));
  });
  provider.reset();
  changes.join();
  EXPECT_TRUE(weak.expired());
}

}  // namespace
}  // namespace quillnest::testing
