// Body-pass rules asked for by several queue workers at once while the rules thread makes them.
// Under ThreadSanitizer a change read before it is whole fails the run; the checks catch a rule
// made twice, deleted before it was made, or left behind.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "hosts/linux/body_passes.h"

namespace quillnest::linuxhost {
namespace {

// Keeps the chain as iptables would: a rule appended twice or deleted while absent fails.
class Chain final : public IptablesRunner {
 public:
  std::string save(IpFamilyTool, std::string& output) override {
    output.clear();
    return {};
  }
  std::string restore(IpFamilyTool, const std::string& script) override {
    std::lock_guard lock(mutex);
    std::map<std::string, int> next = rules;
    for (std::size_t at = 0; (at = script.find(" QUILLNEST_BODY ", at)) != std::string::npos;) {
      const std::size_t line = script.rfind('\n', at) + 1, end = script.find('\n', at);
      const std::string rule = script.substr(at + 16, end - at - 16);
      const bool add = script.compare(line, 3, "-A ") == 0;
      if (add ? next[rule]++ != 0 : next[rule]-- != 1) return "bad change";
      if (!add) next.erase(rule);
      at = end;
    }
    rules = std::move(next);
    return {};
  }
  std::mutex mutex;
  std::map<std::string, int> rules;
};

TEST(BodyPassesConcurrency, WorkersOpenAndCloseWhileRulesAreMade) {
  Chain chain;
  std::atomic<int> warnings{0};
  BodyPasses passes(
      chain, [&](const std::string&) { ++warnings; }, 1000);
  std::vector<std::thread> workers;
  for (int w = 0; w < 3; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < 200; ++i) {
        hosts::ConnectionKey key;
        key.protocol = 6;
        key.local = hosts::IpAddress::v4(10, 0, 0, static_cast<std::uint8_t>(w + 1));
        key.remote = hosts::IpAddress::v4(10, 0, 1, 1);
        key.localPort = static_cast<std::uint16_t>(30000 + i % 40);
        key.remotePort = 80;
        passes.open(key, {static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(i + 100)});
        if (i % 3 != 0) passes.close(key);
      }
    });
  }
  for (auto& worker : workers) worker.join();
  passes.settle();
  EXPECT_EQ(warnings.load(), 0);
  std::lock_guard lock(chain.mutex);
  EXPECT_EQ(chain.rules.size(), passes.rules());
  EXPECT_LE(passes.rules(), BodyPasses::kMaxRules);
}

}  // namespace
}  // namespace quillnest::linuxhost
