// The rules that let request bodies pass unqueued: their text, and how they come and go.
#include "hosts/linux/body_passes.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quillnest::linuxhost {
namespace {

hosts::ConnectionKey keyOf(std::string_view local, std::uint16_t port, std::string_view remote) {
  hosts::ConnectionKey key;
  key.protocol = 6;
  hosts::IpAddress::parse(local, key.local);
  hosts::IpAddress::parse(remote, key.remote);
  key.family = key.local.family;
  key.localPort = port;
  key.remotePort = 80;
  return key;
}

TEST(BodyPassRule, MatchesTheConnectionsPlainDataSegmentsStartingInTheRange) {
  const std::string tail = " --tcp-flags SYN,FIN,RST,URG,ACK ACK -m u32 --u32 \"";
  for (const auto& [local, remote, range, test] : {
           // IHL gives TCP's place; the range's end is the last sequence number in it.
           std::tuple{"10.0.0.1", "10.0.0.2", hosts::SequenceRange{100, 200},
                      "0>>22&0x3C@4=100:199"},
           std::tuple{"10.0.0.1", "10.0.0.2", hosts::SequenceRange{4294967200u, 100},
                      "0>>22&0x3C@4=4294967200:4294967295,0:99"},
           std::tuple{"10.0.0.1", "10.0.0.2", hosts::SequenceRange{4294967200u, 0},
                      "0>>22&0x3C@4=4294967200:4294967295"},
           // IPv6: TCP right behind the fixed header, or the segment is queued.
           std::tuple{"2001:db8::1", "2001:db8::2", hosts::SequenceRange{7, 9},
                      "4>>8&0xFF=6&&44=7:8"},
       }) {
    const std::string rule = bodyPassRule(keyOf(local, 40000, remote), range);
    EXPECT_EQ(rule, std::string("-s ") + local + " -d " + remote +
                        " -p tcp --sport 40000 --dport 80" + tail + test + "\" -j QUILLNEST_ACK");
    // Not logged: accepted at once.
    EXPECT_EQ(bodyPassRule(keyOf(local, 40000, remote), range, false),
              rule.substr(0, rule.size() - 13) + "ACCEPT");
  }
}

// Records each transaction; fails those that hold `failing`.
class Runner final : public IptablesRunner {
 public:
  std::vector<std::pair<IpFamilyTool, std::string>> restores;
  std::string failing;
  std::string save(IpFamilyTool, std::string& output) override {
    output.clear();
    return {};
  }
  std::string restore(IpFamilyTool family, const std::string& script) override {
    restores.emplace_back(family, script);
    return !failing.empty() && script.find(failing) != std::string::npos ? "no such rule" : "";
  }
  // Every line that changes the chain, in the order made, from transactions that succeeded.
  std::vector<std::string> made() const {
    std::vector<std::string> lines;
    for (const auto& [family, script] : restores) {
      if (!failing.empty() && script.find(failing) != std::string::npos) continue;
      EXPECT_EQ(script.substr(0, 8), "*mangle\n");
      EXPECT_EQ(script.substr(script.size() - 7), "COMMIT\n");
      for (std::size_t at = 0; (at = script.find("QUILLNEST_BODY -s ", at)) != std::string::npos;
           ++at) {
        const std::size_t line = script.rfind('\n', at) + 1;
        lines.push_back(script.substr(line, 3) +
                        std::string(family == IpFamilyTool::v4 ? "4 " : "6 ") +
                        script.substr(script.find("--sport ", at) + 8, 5));
      }
    }
    return lines;
  }
};

TEST(BodyPasses, RulesComeAndGoWithTheirConnectionsInOrder) {
  Runner runner;
  std::vector<std::string> warnings;
  BodyPasses passes(runner, [&](const std::string& line) { warnings.push_back(line); });
  const auto a = keyOf("10.0.0.1", 40001, "10.0.0.2"),
             b = keyOf("2001:db8::1", 40002, "2001:db8::2");
  passes.open(a, {1, 2});
  passes.open(b, {1, 2});
  passes.close(keyOf("10.0.0.1", 40009, "10.0.0.2"));  // never opened: nothing to do
  passes.open(a, {5, 9});                              // a second body: the first rule goes
  passes.settle();
  passes.close(a);
  passes.close(a);
  passes.settle();
  EXPECT_EQ(passes.rules(), 1u);
  // In order within a family (a batch holds one transaction per family).
  std::vector<std::string> expected = {"-A 4 40001", "-D 4 40001", "-A 4 40001", "-D 4 40001"};
  std::vector<std::string> made = runner.made();
  EXPECT_EQ(std::erase(made, "-A 6 40002"), 1u);
  EXPECT_EQ(made, expected);
  EXPECT_TRUE(warnings.empty());
  passes.stop();
  passes.open(a, {1, 2});  // after the stop: ignored
  passes.close(b);
  EXPECT_EQ(runner.made().size(), expected.size() + 1);
}

TEST(BodyPasses, TheOldestRuleGivesWayAndOneFailingChangeSparesTheOthers) {
  Runner runner;
  std::vector<std::string> warnings;
  BodyPasses passes(
      runner, [&](const std::string& line) { warnings.push_back(line); }, 1000);
  for (std::uint16_t i = 0; i <= BodyPasses::kMaxRules; ++i)
    passes.open(keyOf("10.0.0.1", static_cast<std::uint16_t>(20000 + i), "10.0.0.2"), {1, 2});
  passes.settle();
  EXPECT_EQ(passes.rules(), BodyPasses::kMaxRules);
  const auto made = runner.made();
  ASSERT_EQ(made.size(), BodyPasses::kMaxRules + 2);
  EXPECT_NE(std::find(made.begin(), made.end(), "-D 4 20000"), made.end());

  // A rule someone else deleted: its deletion fails, the rest of the batch is still made.
  runner.restores.clear();
  runner.failing = "-D QUILLNEST_BODY -s 10.0.0.1 -d 10.0.0.2 -p tcp --sport 20001 ";
  passes.close(keyOf("10.0.0.1", 20001, "10.0.0.2"));
  passes.open(keyOf("10.0.0.1", 30000, "10.0.0.2"), {1, 2});
  passes.settle();
  const std::vector<std::string> expected = {"-A 4 30000"};
  EXPECT_EQ(runner.made(), expected);
  EXPECT_TRUE(warnings.empty());  // a rule already gone is no loss
  // An addition that fails is reported.
  runner.failing = "--sport 30001 ";
  passes.open(keyOf("10.0.0.1", 30001, "10.0.0.2"), {1, 2});
  passes.settle();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("no such rule"), std::string::npos);
}

// A burst of bodies declared long asks for no more rules than the bound allows in a second.
TEST(BodyPasses, NewRulesAreBoundedPerSecond) {
  Runner runner;
  BodyPasses passes(runner, [](const std::string&) {});
  for (std::uint16_t i = 0; i < 100; ++i)
    passes.open(keyOf("10.0.0.1", static_cast<std::uint16_t>(20000 + i), "10.0.0.2"), {1, 2});
  passes.settle();
  EXPECT_EQ(passes.rules(), BodyPasses::kMaxOpensPerSecond);
}

}  // namespace
}  // namespace quillnest::linuxhost
