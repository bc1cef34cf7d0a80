// Flows that stay open while rules change and the filter stops and starts: the resets, the data
// callbacks and the close reports race on the same flows. Run under ThreadSanitizer. Besides
// races, the checks: a watchdog turns a deadlock into a failure, a name on no list is never
// dropped by its own data verdict, every flow update is a reset (drop), and stop leaves both maps
// empty whatever was open.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "provider/filter_data_provider.h"
#include "tests/support/hello_options.h"
#include "tests/support/recording_host.h"

namespace quillnest::testing {
namespace {

constexpr int kFlowsPerWorker = 600;
constexpr int kWorkers = 3;
constexpr auto kDeadline = std::chrono::seconds(120);  // far beyond a ThreadSanitizer run

// Aborts the test program if the work has not finished by the deadline: a deadlock would
// otherwise hang the run until CTest's own timeout, with no word on where.
class Watchdog {
 public:
  explicit Watchdog(const char* what)
      : thread_([this, what] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, kDeadline, [this] { return done_; })) {
            std::fprintf(stderr, "watchdog: %s did not finish; deadlock?\n", what);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

const std::vector<std::string> kListA = {"a1.example", "a2.example"};
const std::vector<std::string> kListB = {"b1.example"};

TEST(OpenFlowsConcurrency, ResetsDataReportsAndRestartsOnTheSameFlows) {
  auto host = std::make_shared<RecordingHost>();
  host->logger().setDebugEnabled(true);
  auto provider = FilterDataProvider::init(host);
  host->setRulesJSON(rulesJSON(true, kListA));
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  host->completeSettings(nullptr);

  const Bytes blockedHello = generateClientHello(helloOptions(TlsVersion::tls13, "www.a2.example"));
  const Bytes freeHello = generateClientHello(helloOptions(TlsVersion::tls12, "free.example"));
  std::atomic<int> freeNameDropped{0};
  std::atomic<int> workersLeft{kWorkers};
  {
    Watchdog watchdog("open-flow workers");
    std::vector<std::thread> threads;
    for (int w = 0; w < kWorkers; ++w) {
      threads.emplace_back([&, w] {
        std::mt19937 random(static_cast<unsigned>(w) * 7919u + 1);
        std::vector<FlowRef> open;
        for (int i = 0; i < kFlowsPerWorker; ++i) {
          const int shape = static_cast<int>(random() % 5);
          FlowRef flow;
          if (shape == 0) {  // named web flow
            FlowShape s;
            s.remoteHostname = random() % 2 ? "a1.example" : "free.example";
            s.port = random() % 2 ? "80" : "443";
            flow = makeFlow(s);
          } else if (shape == 1) {  // UDP 443 without a name
            FlowShape s;
            s.protocol = kProtocolUDP;
            flow = makeFlow(s);
          } else {  // held TLS flow, its hello split at a random point
            flow = makeTLSFlow();
          }
          provider->handleNewFlow(flow);
          if (shape >= 2) {
            const bool isFree = shape == 2;
            const Bytes& hello = isFree ? freeHello : blockedHello;
            const std::size_t cut = 5 + random() % (hello.size() - 5);
            auto first =
                provider->handleOutboundDataFromFlow(flow, 0, std::span(hello.data(), cut));
            if (isFree && first->kind() == NEFilterDataVerdict::Kind::drop) ++freeNameDropped;
            if (random() % 3) {
              auto second = provider->handleOutboundDataFromFlow(
                  flow, cut, std::span(hello.data() + cut, hello.size() - cut));
              if (isFree && second->kind() == NEFilterDataVerdict::Kind::drop) ++freeNameDropped;
            }
          }
          // A third stays open to the end; some close twice; some close later, out of order.
          switch (random() % 3) {
            case 0:
              open.push_back(flow);
              break;
            case 1:
              provider->handleReport({3, flow});
              if (random() % 4 == 0) provider->handleReport({3, flow});
              break;
            default:
              open.push_back(flow);
              if (open.size() > 8) {
                provider->handleReport({3, open[random() % open.size()]});
              }
          }
        }
        --workersLeft;
      });
    }
    threads.emplace_back([&] {  // rules: on, off, other list; every switch on resets open flows
      for (int i = 0; workersLeft > 0 && i < 400; ++i) {
        host->changeRulesJSON(rulesJSON(i % 3 != 1, i % 2 ? kListA : kListB));
        std::this_thread::yield();
      }
    });
    threads.emplace_back([&] {  // stop and start, the settings completing on this thread
      for (int i = 0; workersLeft > 0 && i < 100; ++i) {
        provider->stopFilterWithReason(i, [] {});
        provider->startFilterWithCompletionHandler([](ErrorRef) {});
        host->completeSettings(nullptr);
      }
    });
    threads.emplace_back([&] {  // readers of the shared state
      while (workersLeft > 0) {
        (void)provider->currentRules();
        (void)provider->activeWebFlowCount();
        (void)provider->outboundBufferCount();
        std::this_thread::yield();
      }
    });
    for (auto& t : threads) t.join();
  }

  EXPECT_EQ(freeNameDropped, 0) << "a name on no list was dropped by its data verdict";
  // Whether a rules change met an open flow above depends on scheduling; this one does: an open
  // web flow allowed under list A is reset when list B, which names it, comes in.
  host->changeRulesJSON(rulesJSON(true, kListA));
  FlowShape named;
  named.remoteHostname = "b1.example";
  const FlowRef held = makeFlow(named);
  provider->handleNewFlow(held);
  const std::size_t before = host->updates().size();
  host->changeRulesJSON(rulesJSON(true, kListB));
  EXPECT_GT(host->updates().size(), before);
  for (const FlowUpdate& update : host->updates()) {
    EXPECT_EQ(update.verdict->kind(), NEFilterDataVerdict::Kind::drop);
  }
  bool stopped = false;
  provider->stopFilterWithReason(0, [&] { stopped = true; });
  EXPECT_TRUE(stopped);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  EXPECT_EQ(host->liveObservations(), 0);
  EXPECT_EQ(host->lockViolations(), 0);
}

}  // namespace
}  // namespace quillnest::testing
