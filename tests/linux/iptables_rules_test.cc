#include "hosts/linux/iptables_rules.h"

#include <gtest/gtest.h>

#include <algorithm>
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
      {"mangle chains in the filter table are not ours",
       "*filter\n:QUILLNEST_OUT - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n*mangle\nCOMMIT\n",
       {}},
      {"reset chain in the filter table",
       "*mangle\n:QUILLNEST_FWD - [0:0]\n-A FORWARD -j QUILLNEST_FWD\nCOMMIT\n"
       "*filter\n:QUILLNEST_RESET - [0:0]\n-A FORWARD -j QUILLNEST_RESET\n"
       "-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n",
       {false, true, false, 0, 1, 0, true, 2}},
      {"reset chain elsewhere is not ours",
       "*mangle\n:QUILLNEST_RESET - [0:0]\n-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n"
       "*raw\n:QUILLNEST_RESET - [0:0]\n-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n"
       "*filter\n-A OUTPUT -j QUILLNEST_RESET\n-A INPUT -j QUILLNEST_RESET\nCOMMIT\n",
       {}},
      {"filter jump among other matches, with counters",
       "*filter\n[3:180] -A FORWARD -i eth1 -j QUILLNEST_RESET\n",
       {false, false, false, 0, 0, 0, false, 1}},
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
    EXPECT_EQ(got.resetChain, c.want.resetChain);
    EXPECT_EQ(got.resetJumps, c.want.resetJumps);
    EXPECT_EQ(got.any(), got.anyMangle() || got.anyFilter());
  }
}

// Fail-closed: web connections lose the bypass, in both chains, ahead of the general rules;
// everything else keeps it.
TEST(InstallScript, FailClosedQueuesWebConnectionsWithoutBypass) {
  for (const bool forward : {false, true}) {
    SCOPED_TRACE(forward);
    const auto open = installScript({0, 2, forward}, {});
    EXPECT_EQ(count(open, "--queue-balance 0:1\n"), 0);
    EXPECT_EQ(count(open, "--dports 80,443"), 0);
    const auto closed = installScript({0, 2, forward, true}, {});
    const int chains = forward ? 2 : 1;
    EXPECT_EQ(count(closed, "--queue-balance 0:1\n"), 3 * chains);  // held, TCP 80/443, UDP 443
    // New TCP and UDP, DNS answers; and the answers of the input chain.
    EXPECT_EQ(count(closed, "--queue-balance 0:1 --queue-bypass\n"), 3 * chains + 1);
    const auto web = closed.find(
        "-p tcp -m multiport --dports 80,443 -m conntrack --ctstate NEW "
        "-j NFQUEUE --queue-balance 0:1\n");
    const auto udp = closed.find(
        "-p udp --dport 443 -m conntrack --ctstate NEW -j NFQUEUE "
        "--queue-balance 0:1\n");
    const auto rest = closed.find("-p tcp -m conntrack --ctstate NEW -j NFQUEUE");
    ASSERT_NE(web, std::string::npos);
    EXPECT_LT(web, rest);
    EXPECT_LT(udp, rest);
    EXPECT_NE(closed.find("--ctdir ORIGINAL -j NFQUEUE --queue-balance 0:1\n"), std::string::npos);
  }
}

// What a crash left behind is deleted once per copy, before the chains go and the new jumps come;
// each table is its own committed section.
TEST(InstallScript, StaleRulesDeletedOnceAndOneJumpPerHook) {
  struct Case {
    const char* name;
    RuleOptions options;
    ExistingRules stale;
    std::vector<std::pair<std::string, int>> counts;
  };
  const ExistingRules resetLeft{false, true, false, 0, 1, 0, true, 2};
  const ExistingRules resetChainAlone{false, false, false, 0, 0, 0, true, 0};
  // clang-format off
  const Case cases[] = {
      // Five queue rules: answers, inspected TCP, new TCP and UDP out; answers in.
      {"fresh", {0, 2, false}, {},
       {{"-I OUTPUT 1 -j QUILLNEST_OUT\n", 1}, {"-I POSTROUTING 1 -j QUILLNEST_POST\n", 1},
        {"FORWARD", 0}, {"*filter", 0}, {"-D ", 0}, {"--queue-balance 0:1 --queue-bypass", 5},
        {"-A QUILLNEST_OUT -o lo -j RETURN\n", 1},
        {"--save-mark --nfmask 0x70000000 --ctmask 0x70000000", 1}}},
      {"one queue", {7, 1, false}, {}, {{"--queue-num 7 --queue-bypass", 5}}},
      {"crash, forwarding", {0, 1, true}, {true, true, true, 2, 3, 1},
       {{"-D OUTPUT -j QUILLNEST_OUT\n", 2}, {"-D FORWARD -j QUILLNEST_FWD\n", 3},
        {"-D POSTROUTING -j QUILLNEST_POST\n", 1}, {"-I FORWARD 1 -j QUILLNEST_FWD\n", 1},
        {"-A QUILLNEST_FWD -o lo", 0}}},  // forwarded traffic never is loopback
      {"crash, forwarding now off", {0, 1, false}, {true, true, true, 1, 1, 1},
       {{"-D FORWARD -j QUILLNEST_FWD\n", 1}, {"-X QUILLNEST_FWD\n", 1}, {"-A QUILLNEST_FWD", 0}}},
      {"reset chain, forwarding", {0, 1, true}, resetLeft,
       {{"-D FORWARD -j QUILLNEST_RESET\n", 2}, {":QUILLNEST_RESET - [0:0]\n", 1},
        {"-X QUILLNEST_RESET\n", 0}, {"-I FORWARD 1 -j QUILLNEST_RESET\n", 1}}},
      {"reset chain, forwarding now off", {0, 1, false}, resetLeft,
       {{"-D FORWARD -j QUILLNEST_RESET\n", 2}, {":QUILLNEST_RESET - [0:0]\n", 1},
        {"-X QUILLNEST_RESET\n", 1}, {"-I FORWARD 1 -j QUILLNEST_RESET\n", 0}}},
      {"reset chain without its jump", {0, 1, false}, resetChainAlone,
       {{"-D FORWARD -j QUILLNEST_RESET\n", 0}, {":QUILLNEST_RESET - [0:0]\n", 1},
        {"-X QUILLNEST_RESET\n", 1}}},
      {"nothing of ours in filter", {0, 1, false}, {true, false, true, 1, 0, 1}, {{"*filter", 0}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string script = installScript(c.options, c.stale);
    for (const auto& [text, n] : c.counts) EXPECT_EQ(count(script, text), n) << text;
    EXPECT_EQ(script.rfind("*mangle\n", 0), 0u);
    for (std::size_t at = 0; at < script.size();) {
      const std::size_t end = script.find("COMMIT\n", at);
      ASSERT_NE(end, std::string::npos) << "section not committed";
      const std::string section = script.substr(at, end - at);
      const std::size_t lastDelete = section.rfind("-D ");
      if (lastDelete != std::string::npos) {
        EXPECT_LT(lastDelete, std::min(section.find("-I "), section.find("-X ")));
      }
      at = end + 7;
    }
  }
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

TEST(InstallScript, ForwardingResetsDroppedTcpInTheFilterTable) {
  auto script = installScript({0, 1, true}, {});
  auto filter = script.find("*filter\n");
  ASSERT_NE(filter, std::string::npos);
  // mangle is committed first and whole; the filter part is its own table section.
  EXPECT_LT(script.find("COMMIT\n"), filter);
  EXPECT_EQ(count(script, "COMMIT\n"), 2);
  std::string mangle = script.substr(0, filter);
  std::string filterPart = script.substr(filter);
  EXPECT_EQ(count(filterPart, ":QUILLNEST_RESET - [0:0]\n"), 1);
  EXPECT_EQ(count(filterPart,
                  "-A QUILLNEST_RESET -p tcp ! --tcp-flags RST RST -m connmark --mark "
                  "0x20000000/0x70000000 -j REJECT --reject-with tcp-reset\n"),
            1);
  EXPECT_EQ(count(filterPart, "-I FORWARD 1 -j QUILLNEST_RESET\n"), 1);
  EXPECT_LT(filterPart.find("-A QUILLNEST_RESET"), filterPart.find("-I FORWARD"));
  EXPECT_EQ(count(filterPart, "NFQUEUE"), 0);
  EXPECT_EQ(count(mangle, "RESET"), 0);

  // Forwarded: dropped TCP passes mangle to be answered, dropped UDP ends there. Local dropped
  // TCP still ends in mangle (its socket is destroyed instead).
  auto tcpReturn =
      mangle.find("-A QUILLNEST_FWD -p tcp -m connmark --mark 0x20000000/0x70000000 -j RETURN\n");
  auto fwdDrop = mangle.find("-A QUILLNEST_FWD -m connmark --mark 0x20000000/0x70000000 -j DROP\n");
  auto fwdReset = mangle.find("-A QUILLNEST_FWD -p tcp --tcp-flags RST RST -j RETURN\n");
  auto fwdQueue = mangle.find("-A QUILLNEST_FWD -p tcp -m conntrack --ctstate NEW -j NFQUEUE");
  ASSERT_NE(tcpReturn, std::string::npos);
  ASSERT_NE(fwdDrop, std::string::npos);
  EXPECT_LT(fwdReset, tcpReturn);
  EXPECT_LT(tcpReturn, fwdDrop);
  EXPECT_LT(fwdDrop, fwdQueue);
  EXPECT_EQ(count(mangle, "-A QUILLNEST_OUT -p tcp -m connmark --mark 0x20000000/0x70000000"), 0);
}

TEST(InstallScript, ForwardingProbesPassAndAreNeverSavedToTheConnmark) {
  const std::string probe = "-m mark --mark 0x40000000/0x70000000 -j RETURN\n";
  auto local = installScript({0, 1, false}, {});
  EXPECT_EQ(count(local, "0x40000000"), 0);
  auto script = installScript({0, 1, true}, {});
  // First in our OUTPUT chain: a probe may carry the conntrack entry of a dropped connection.
  auto outputProbe = script.find("-A QUILLNEST_OUT " + probe);
  ASSERT_NE(outputProbe, std::string::npos);
  EXPECT_LT(outputProbe, script.find("-A QUILLNEST_OUT -o lo"));
  EXPECT_LT(outputProbe, script.find("-A QUILLNEST_OUT -m connmark --mark 0x20000000"));
  auto postProbe = script.find("-A QUILLNEST_POST " + probe);
  ASSERT_NE(postProbe, std::string::npos);
  EXPECT_LT(postProbe, script.find("-A QUILLNEST_POST -j CONNMARK --save-mark"));
  EXPECT_EQ(count(script, "0x40000000"), 2);
}

TEST(RemoveScript, FilterPartOnlyWhenSomethingOfOursIsThere) {
  EXPECT_EQ(removeScript({}), "");
  EXPECT_EQ(count(removeScript({true, false, true, 1, 0, 1}), "*filter"), 0);
  auto onlyFilter = removeScript({false, false, false, 0, 0, 0, true, 1});
  EXPECT_EQ(count(onlyFilter, "*mangle"), 0);
  EXPECT_EQ(onlyFilter,
            "*filter\n-D FORWARD -j QUILLNEST_RESET\n-F QUILLNEST_RESET\n-X QUILLNEST_RESET\n"
            "COMMIT\n");
  auto both = removeScript({true, true, true, 1, 1, 1, true, 1});
  EXPECT_LT(both.find("*mangle"), both.find("*filter"));
  EXPECT_EQ(count(both, "COMMIT\n"), 2);
}

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
      if (script.find("-I FORWARD 1 -j QUILLNEST_RESET") != std::string::npos)
        tables[family] +=
            "*filter\n:QUILLNEST_RESET - [0:0]\n-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n";
    } else {
      tables[family] = "*mangle\nCOMMIT\n*filter\nCOMMIT\n";
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

TEST(InstallRules, IPv6FailureRollsBothFamiliesBack) {
  FakeRunner runner;
  runner.failRestore[IpFamilyTool::v6] = "ip6tables-restore failed (exit 2): no mangle";
  // A crashed forwarding run left its v6 rules, which the failed install may not have replaced.
  runner.tables[IpFamilyTool::v6] =
      "*mangle\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n*filter\n:QUILLNEST_RESET - [0:0]\nCOMMIT\n";
  auto error = installRules(runner, {0, 1, true});
  EXPECT_NE(error.find("ip6tables-restore failed"), std::string::npos);
  ASSERT_EQ(runner.restores.size(), 4u);
  EXPECT_EQ(runner.restores[2].first, IpFamilyTool::v4);
  EXPECT_NE(runner.restores[2].second.find("-X QUILLNEST_OUT"), std::string::npos);
  EXPECT_NE(runner.restores[2].second.find("-X QUILLNEST_RESET"), std::string::npos);
  EXPECT_EQ(parseExistingRules(runner.tables[IpFamilyTool::v4]).any(), false);
  EXPECT_EQ(runner.restores[3].first, IpFamilyTool::v6);
  EXPECT_NE(runner.restores[3].second.find("-X QUILLNEST_RESET"), std::string::npos);
}

TEST(InstallRules, IPv4FailureLeavesIPv6Untouched) {
  FakeRunner runner;
  runner.failRestore[IpFamilyTool::v4] = "iptables-restore failed (exit 1): no REJECT";
  auto error = installRules(runner, {0, 1, true});
  EXPECT_EQ(error, "installing rules: iptables-restore failed (exit 1): no REJECT");
  // Nothing of ours in the v4 tables to take back (the fake applies nothing on failure).
  ASSERT_EQ(runner.restores.size(), 1u);
  EXPECT_EQ(runner.restores[0].first, IpFamilyTool::v4);
}

TEST(RemoveRules, LeavesFamiliesWithoutOurRulesAlone) {
  FakeRunner runner;
  runner.tables[IpFamilyTool::v4] = "*mangle\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n";
  EXPECT_EQ(removeRules(runner), "");
  ASSERT_EQ(runner.restores.size(), 1u);
  EXPECT_EQ(runner.restores[0].first, IpFamilyTool::v4);
}

}  // namespace
}  // namespace quillnest::linuxhost
