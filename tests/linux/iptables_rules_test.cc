#include "hosts/linux/iptables_rules.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quillnest::linuxhost {
namespace {

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

struct ParseCase {
  const char* name;
  const char* save;
  ExistingRules want;
};

TEST(ParseExistingRules, ReadsOnlyOurChainsAndJumpsInMangle) {
  const ParseCase cases[] = {
      {"empty", "", {}},
      {"clean mangle",
       "*mangle\n:OUTPUT ACCEPT [0:0]\n-A OUTPUT -j MARK --set-mark 1\nCOMMIT\n",
       {}},
      {"installed",
       "*mangle\n:QUILLNEST_OUT - [0:0]\n:QUILLNEST_POST - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\n"
       "-A POSTROUTING -j QUILLNEST_POST\nCOMMIT\n",
       {true, false, true, 1, 0, 1}},
      {"crash left duplicates",
       "*mangle\n:QUILLNEST_OUT - [0:0]\n:QUILLNEST_FWD - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\n"
       "-A OUTPUT -j QUILLNEST_OUT\n-A FORWARD -j QUILLNEST_FWD\nCOMMIT\n",
       {true, true, false, 2, 1, 0}},
      {"counters",
       "*mangle\n[12:3456] -A OUTPUT -j QUILLNEST_OUT\n",
       {false, false, false, 1, 0, 0}},
      {"lookalike names are not ours",
       "*mangle\n:QUILLNEST_OUTX - [0:0]\n-A OUTPUT -j QUILLNEST_OUTX\n"
       "-A OUTPUT -p tcp -j QUILLNEST_OUT_2\n",
       {}},
      {"other tables ignored",
       "*filter\n:QUILLNEST_OUT - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n*mangle\nCOMMIT\n",
       {}},
      {"crlf line ends",
       "*mangle\r\n-A OUTPUT -j QUILLNEST_OUT\r\n",
       {false, false, false, 1, 0, 0}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto got = parseExistingRules(c.save);
    EXPECT_EQ(got.outputChain, c.want.outputChain);
    EXPECT_EQ(got.forwardChain, c.want.forwardChain);
    EXPECT_EQ(got.postroutingChain, c.want.postroutingChain);
    EXPECT_EQ(got.outputJumps, c.want.outputJumps);
    EXPECT_EQ(got.forwardJumps, c.want.forwardJumps);
    EXPECT_EQ(got.postroutingJumps, c.want.postroutingJumps);
  }
}

TEST(QueueTarget, SingleQueueOrBalancedRangeAlwaysBypassing) {
  EXPECT_EQ(queueTarget({0, 1, false}), "--queue-num 0 --queue-bypass");
  EXPECT_EQ(queueTarget({7, 1, false}), "--queue-num 7 --queue-bypass");
  EXPECT_EQ(queueTarget({3, 4, false}), "--queue-balance 3:6 --queue-bypass");
}

TEST(InstallScript, FreshInstallHasOneJumpPerHookAndNoDeletes) {
  auto script = installScript({0, 2, false}, {});
  EXPECT_EQ(script.rfind("*mangle\n", 0), 0u);
  EXPECT_EQ(count(script, "-I OUTPUT 1 -j QUILLNEST_OUT\n"), 1);
  EXPECT_EQ(count(script, "-I POSTROUTING 1 -j QUILLNEST_POST\n"), 1);
  EXPECT_EQ(count(script, "FORWARD"), 0);
  EXPECT_EQ(count(script, "-D "), 0);
  EXPECT_EQ(count(script, "--queue-balance 0:1 --queue-bypass"), 3);
  EXPECT_NE(script.find("-A QUILLNEST_OUT -o lo -j RETURN\n"), std::string::npos);
  EXPECT_NE(script.find("--save-mark --nfmask 0x70000000 --ctmask 0x70000000"), std::string::npos);
  EXPECT_EQ(script.substr(script.size() - 7), "COMMIT\n");
}

TEST(InstallScript, OrderInOurOutputChain) {
  // Loopback and resets before anything; decided connections before the queue rules.
  auto script = installScript({0, 1, false}, {});
  auto loopback = script.find("-o lo -j RETURN");
  auto reset = script.find("--tcp-flags RST RST -j RETURN");
  auto allowed = script.find("--mark 0x10000000/0x70000000 -j RETURN");
  auto dropped = script.find("--mark 0x20000000/0x70000000 -j DROP");
  auto inspect = script.find("--mark 0x30000000/0x70000000 -m conntrack --ctdir ORIGINAL");
  auto fresh = script.find("--ctstate NEW -j NFQUEUE");
  auto jump = script.find("-I OUTPUT 1");
  ASSERT_NE(fresh, std::string::npos);
  EXPECT_LT(loopback, reset);
  EXPECT_LT(reset, allowed);
  EXPECT_LT(allowed, dropped);
  EXPECT_LT(dropped, inspect);
  EXPECT_LT(inspect, fresh);
  EXPECT_LT(fresh, jump);
}

TEST(InstallScript, StaleJumpsAreDeletedBeforeTheNewOnesAreInserted) {
  ExistingRules stale{true, true, true, 2, 3, 1};
  auto script = installScript({0, 1, true}, stale);
  EXPECT_EQ(count(script, "-D OUTPUT -j QUILLNEST_OUT\n"), 2);
  EXPECT_EQ(count(script, "-D FORWARD -j QUILLNEST_FWD\n"), 3);
  EXPECT_EQ(count(script, "-D POSTROUTING -j QUILLNEST_POST\n"), 1);
  EXPECT_LT(script.rfind("-D "), script.find("-I "));
  EXPECT_EQ(count(script, "-I FORWARD 1 -j QUILLNEST_FWD\n"), 1);
  EXPECT_EQ(count(script, "-A QUILLNEST_FWD -o lo"), 0);  // forwarded traffic never is loopback
}

TEST(InstallScript, StaleForwardChainGoesWhenForwardingIsOff) {
  ExistingRules stale{true, true, true, 1, 1, 1};
  auto script = installScript({0, 1, false}, stale);
  EXPECT_EQ(count(script, "-D FORWARD -j QUILLNEST_FWD\n"), 1);
  EXPECT_EQ(count(script, "-X QUILLNEST_FWD\n"), 1);
  EXPECT_EQ(count(script, "-A QUILLNEST_FWD"), 0);
}

TEST(RemoveScript, NothingToDoGivesNoScript) { EXPECT_EQ(removeScript({}), ""); }

TEST(RemoveScript, JumpsGoBeforeTheirChains) {
  auto script = removeScript({true, false, true, 2, 0, 1});
  EXPECT_EQ(count(script, "-D OUTPUT -j QUILLNEST_OUT\n"), 2);
  EXPECT_EQ(count(script, "-X QUILLNEST_OUT\n"), 1);
  EXPECT_EQ(count(script, "-X QUILLNEST_POST\n"), 1);
  EXPECT_EQ(count(script, "QUILLNEST_FWD"), 0);
  EXPECT_LT(script.rfind("-D "), script.find("-F "));
  EXPECT_LT(script.find("-F QUILLNEST_OUT"), script.find("-X QUILLNEST_OUT"));
}

// Keeps one mangle table per family in memory, applying our own scripts' effect coarsely.
class FakeRunner final : public IptablesRunner {
 public:
  std::map<IpFamilyTool, std::string> tables{{IpFamilyTool::v4, ""}, {IpFamilyTool::v6, ""}};
  std::map<IpFamilyTool, std::string> failRestore;
  std::vector<std::pair<IpFamilyTool, std::string>> restores;

  std::string save(IpFamilyTool family, std::string& output) override {
    output = tables[family];
    return {};
  }
  std::string restore(IpFamilyTool family, const std::string& script) override {
    restores.emplace_back(family, script);
    if (failRestore.count(family)) return failRestore[family];
    if (script.find("-I OUTPUT") != std::string::npos) {
      tables[family] =
          "*mangle\n:QUILLNEST_OUT - [0:0]\n:QUILLNEST_POST - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\n"
          "-A POSTROUTING -j QUILLNEST_POST\nCOMMIT\n";
    } else {
      tables[family] = "*mangle\nCOMMIT\n";
    }
    return {};
  }
};

TEST(InstallRules, BothFamiliesAndRepeatableWithoutDuplicates) {
  FakeRunner runner;
  EXPECT_EQ(installRules(runner, {0, 1, false}), "");
  EXPECT_EQ(installRules(runner, {0, 1, false}), "");
  ASSERT_EQ(runner.restores.size(), 4u);
  // The second install saw the first one's jumps and deleted them.
  EXPECT_EQ(count(runner.restores[2].second, "-D OUTPUT -j QUILLNEST_OUT\n"), 1);
  EXPECT_EQ(runner.restores[3].first, IpFamilyTool::v6);
}

TEST(InstallRules, IPv6FailureRollsIPv4Back) {
  FakeRunner runner;
  runner.failRestore[IpFamilyTool::v6] = "ip6tables-restore failed (exit 2): no mangle";
  auto error = installRules(runner, {0, 1, false});
  EXPECT_NE(error.find("ip6tables-restore failed"), std::string::npos);
  ASSERT_EQ(runner.restores.size(), 3u);
  EXPECT_EQ(runner.restores[2].first, IpFamilyTool::v4);
  EXPECT_NE(runner.restores[2].second.find("-X QUILLNEST_OUT"), std::string::npos);
  EXPECT_EQ(parseExistingRules(runner.tables[IpFamilyTool::v4]).any(), false);
}

TEST(RemoveRules, LeavesFamiliesWithoutOurRulesAlone) {
  FakeRunner runner;
  runner.tables[IpFamilyTool::v4] = "*mangle\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n";
  EXPECT_EQ(removeRules(runner), "");
  ASSERT_EQ(runner.restores.size(), 1u);
  EXPECT_EQ(runner.restores[0].first, IpFamilyTool::v4);
}

TEST(ToolAvailable, FindsShellAndRejectsNonsense) {
  EXPECT_TRUE(toolAvailable("sh"));
  EXPECT_FALSE(toolAvailable("quillnest-no-such-tool"));
  EXPECT_FALSE(toolAvailable("/nonexistent/iptables"));
}

}  // namespace
}  // namespace quillnest::linuxhost
