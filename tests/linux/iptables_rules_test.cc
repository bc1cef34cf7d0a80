#include "hosts/linux/iptables_rules.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace quillnest::linuxhost {
namespace {

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

auto fields(const ExistingRules& r) {
  return std::tuple(r.outputChain, r.forwardChain, r.postroutingChain, r.outputJumps,
                    r.forwardJumps, r.postroutingJumps, r.resetChain, r.resetJumps, r.inputChain,
                    r.inputJumps, r.ackChain, r.probeChain, r.probeJumps);
}

TEST(ParseExistingRules, ReadsOnlyOurChainsAndJumpsInTheirTables) {
  struct Case {
    const char* name;
    const char* save;
    ExistingRules want;
  };
  // clang-format off
  const Case cases[] = {
      {"empty", "", {}},
      {"clean mangle",
       "*mangle\n:OUTPUT ACCEPT [0:0]\n-A OUTPUT -j MARK --set-mark 1\nCOMMIT\n", {}},
      {"installed", "*mangle\n:QUILLNEST_OUT - [0:0]\n:QUILLNEST_POST - [0:0]\n"
       "-A OUTPUT -j QUILLNEST_OUT\n-A POSTROUTING -j QUILLNEST_POST\nCOMMIT\n",
       {true, false, true, 1, 0, 1}},
      {"crash left duplicates", "*mangle\n:QUILLNEST_OUT - [0:0]\n:QUILLNEST_FWD - [0:0]\n"
       "-A OUTPUT -j QUILLNEST_OUT\n-A OUTPUT -j QUILLNEST_OUT\n-A FORWARD -j QUILLNEST_FWD\n"
       "COMMIT\n",
       {true, true, false, 2, 1, 0}},
      {"counters", "*mangle\n[12:3456] -A OUTPUT -j QUILLNEST_OUT\n",
       {false, false, false, 1, 0, 0}},
      {"lookalike names are not ours", "*mangle\n:QUILLNEST_OUTX - [0:0]\n"
       "-A OUTPUT -j QUILLNEST_OUTX\n-A OUTPUT -p tcp -j QUILLNEST_OUT_2\n", {}},
      {"mangle chains in the filter table are not ours",
       "*filter\n:QUILLNEST_OUT - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n*mangle\nCOMMIT\n",
       {}},
      {"reset chain in the filter table", "*mangle\n:QUILLNEST_FWD - [0:0]\n"
       "-A FORWARD -j QUILLNEST_FWD\nCOMMIT\n*filter\n:QUILLNEST_RESET - [0:0]\n"
       "-A FORWARD -j QUILLNEST_RESET\n"
       "-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n", {false, true, false, 0, 1, 0, true, 2}},
      {"reset chain elsewhere is not ours", "*mangle\n:QUILLNEST_RESET - [0:0]\n"
       "-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n*raw\n:QUILLNEST_RESET - [0:0]\n"
       "-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n*filter\n-A OUTPUT -j QUILLNEST_RESET\n"
       "-A INPUT -j QUILLNEST_RESET\nCOMMIT\n", {}},
      {"filter jump among other matches, with counters",
       "*filter\n[3:180] -A FORWARD -i eth1 -j QUILLNEST_RESET\n",
       {false, false, false, 0, 0, 0, false, 1}},
      {"crlf line ends", "*mangle\r\n-A OUTPUT -j QUILLNEST_OUT\r\n",
       {false, false, false, 1, 0, 0}},
      {"ack chain", "*mangle\n:QUILLNEST_ACK - [0:0]\n-A QUILLNEST_OUT -p tcp -j QUILLNEST_ACK\n",
       {.ackChain = true}},
      {"probe chain in the raw table", "*raw\n:QUILLNEST_PROBE - [0:0]\n-A OUTPUT -j QUILLNEST_PROBE\n"
       "COMMIT\n*mangle\n:QUILLNEST_PROBE - [0:0]\n-A OUTPUT -j QUILLNEST_PROBE\nCOMMIT\n",
       {.probeChain = true, .probeJumps = 1}},
  };
  // clang-format on
  for (const auto& c : cases) {
    const auto got = parseExistingRules(c.save);
    EXPECT_EQ(fields(got), fields(c.want)) << c.name;
    EXPECT_EQ(got.any(), got.anyMangle() || got.anyFilter() || got.anyRaw()) << c.name;
  }
}

// A script is table sections, each committed; in each, what a crash left behind is deleted once
// per copy before chains are flushed or removed and new jumps come. Queue rules stay in mangle,
// the reset rule in filter.
void expectSoundSections(const std::string& script) {
  for (std::size_t at = 0; at < script.size();) {
    const std::size_t end = script.find("COMMIT\n", at);
    ASSERT_NE(end, std::string::npos) << "section not committed";
    const std::string section = script.substr(at, end - at);
    const std::size_t lastDelete = section.rfind("-D ");
    if (lastDelete != std::string::npos) {
      EXPECT_LT(lastDelete,
                std::min({section.find("-I "), section.find("-X "), section.find("-F ")}));
    }
    const bool filter = section.starts_with("*filter\n");
    const bool raw = section.starts_with("*raw\n");
    EXPECT_TRUE(filter || raw || section.starts_with("*mangle\n")) << section;
    EXPECT_EQ(count(section, filter || raw ? "NFQUEUE" : "QUILLNEST_RESET"), 0) << section;
    EXPECT_EQ(count(section, "QUILLNEST_PROBE"), raw ? count(section, "QUILLNEST_") : 0) << section;
    at = end + 7;
  }
}

TEST(RulesScripts, CountsAndOrder) {
  struct Case {
    const char* name;
    bool remove;  // removeScript(existing), else installScript(options, existing)
    RuleOptions options;
    ExistingRules existing;
    std::vector<std::pair<std::string, int>> counts;
    std::vector<std::vector<std::string>> orders;  // each: first occurrences in this order
    IpFamilyTool family = IpFamilyTool::v4;
  };
  const ExistingRules resetLeft{false, true, false, 0, 1, 0, true, 2};
  const ExistingRules installed{true, false, true, 1, 0, 1};
  const ExistingRules ackLeft{.outputChain = true,
                              .postroutingChain = true,
                              .outputJumps = 1,
                              .postroutingJumps = 1,
                              .ackChain = true,
                              .bodyChain = true};
  const RuleOptions ackLog{.queueCount = 2, .ackLogGroup = 7};
  // Inspected, with a body passing (0x70000000) or not.
  const std::string inspected = "--mark 0x30000000/0x30000000 -m conntrack --ctdir ORIGINAL";
  const std::string passing =
      "-A QUILLNEST_IN -p tcp --sport 80 --tcp-flags SYN,FIN,RST,ACK,URG ACK -m connmark --mark "
      "0x70000000/0x70000000 -m conntrack --ctdir REPLY -j RETURN\n";
  const std::string bodyJump =
      "-m connmark --mark 0x70000000/0x70000000 -m conntrack --ctdir ORIGINAL -j QUILLNEST_BODY\n";
  const std::string dropped = "-m connmark --mark 0x20000000/0x70000000";
  const std::string probe = " -m mark --mark 0x40000000/0x70000000 -j RETURN";
  // clang-format off
  const Case cases[] = {
      // Seven queue rules: answers, inspected TCP, new TCP and UDP out, SYNs on a connection
      // conntrack already has (it would reuse the old one's mark), web segments conntrack calls
      // invalid (they have no mark); answers in. Loopback and resets pass first, then those
      // SYNs, decided connections before the other queue rules, the invalid ones before new.
      {"fresh", false, {0, 2, false}, {},
       {{"-I OUTPUT 1 -j QUILLNEST_OUT\n", 1}, {"-I POSTROUTING 1 -j QUILLNEST_POST\n", 1},
        {"FORWARD", 0}, {"*filter", 0}, {"-D ", 0}, {"--queue-balance 0:1 --queue-bypass", 7},
        {"--queue-balance 0:1\n", 0}, {"-A QUILLNEST_OUT -o lo -j RETURN\n", 1}, {"0x40000000", 0},
        {"QUILLNEST_BODY", 0}, {"-A QUILLNEST_POST -p tcp", 0},
        {"--save-mark --nfmask 0x70000000 --ctmask 0x70000000", 1}},
       {{"-o lo -j RETURN", "--tcp-flags RST RST -j RETURN",
         "--tcp-flags SYN,ACK,RST SYN -m conntrack ! --ctstate NEW -j NFQUEUE",
         "--mark 0x10000000/0x70000000 -j RETURN", "--mark 0x20000000/0x70000000 -j DROP",
         inspected, "--dports 80,443 -m conntrack --ctstate INVALID -j NFQUEUE",
         "-p tcp -m conntrack --ctstate NEW -j NFQUEUE", "-I OUTPUT 1"}}},
      {"one queue", false, {7, 1, false}, {}, {{"--queue-num 7 --queue-bypass", 7}}, {}},
      // Fail-closed: web connections lose the bypass, ahead of the general rules; the rest keep it.
      {"fail closed", false, {0, 2, false, true}, {},
       {{"--queue-balance 0:1\n", 4}, {"--queue-balance 0:1 --queue-bypass\n", 5},
        {"--ctdir ORIGINAL -j NFQUEUE --queue-balance 0:1\n", 1}},
       {{"--dports 80,443 -m conntrack --ctstate NEW -j NFQUEUE --queue-balance 0:1\n",
         "-p tcp -m conntrack --ctstate NEW -j NFQUEUE"},
        {"-p udp --dport 443 -m conntrack --ctstate NEW -j NFQUEUE --queue-balance 0:1\n",
         "-p tcp -m conntrack --ctstate NEW -j NFQUEUE"}}},
      {"fail closed, forwarding", false, {0, 2, true, true}, {},
       {{"--queue-balance 0:1\n", 8}, {"--queue-balance 0:1 --queue-bypass\n", 9}}, {}},
      // Forwarded dropped TCP passes mangle to be answered by the filter table's reset; dropped
      // UDP ends in mangle, and so does local dropped TCP (its socket is destroyed instead).
      // Probes pass first and are never saved to the connmark.
      {"forwarding", false, {0, 1, true}, {},
       {{"COMMIT\n", 3}, {":QUILLNEST_RESET - [0:0]\n", 1},
        {"-I FORWARD 1 -j QUILLNEST_RESET\n", 1},
        // The probes leave untracked: under NAT they carry the addresses each end knows.
        {":QUILLNEST_PROBE - [0:0]\n", 1}, {"-I OUTPUT 1 -j QUILLNEST_PROBE\n", 1},
        {"-A QUILLNEST_PROBE -m mark --mark 0x40000000/0x70000000 -j CT --notrack\n", 1},
        {"-A QUILLNEST_RESET -p tcp ! --tcp-flags RST RST " + dropped +
         " -j REJECT --reject-with tcp-reset\n", 1},
        {"-A QUILLNEST_OUT -p tcp " + dropped, 0}, {"0x40000000", 3},
        // Dropped TCP let through ahead of the reset chain still does not leave; a fresh verdict
        // (the packet's mark) and resets do.
        {"-A QUILLNEST_POST -p tcp ! --tcp-flags RST RST -m mark --mark 0x00000000/0x70000000 " +
         dropped + " -j DROP\n", 1},
        {"-A QUILLNEST_FWD -o lo", 0}},
       {{"*mangle\n", "COMMIT\n", "*filter\n", "-A QUILLNEST_RESET",
         "-I FORWARD 1 -j QUILLNEST_RESET"},
        {"-A QUILLNEST_FWD -p tcp --tcp-flags RST RST -j RETURN",
         "-A QUILLNEST_FWD -p tcp " + dropped + " -j RETURN",
         "-A QUILLNEST_FWD " + dropped + " -j DROP",
         "-A QUILLNEST_FWD -p tcp -m conntrack --ctstate NEW -j NFQUEUE"},
        {"-A QUILLNEST_OUT" + probe, "-A QUILLNEST_OUT -o lo", "-A QUILLNEST_OUT " + dropped},
        {"-A QUILLNEST_POST -p tcp", "-A QUILLNEST_POST -m mark --mark 0x00000000/0x70000000 -j RETURN",
         "-A QUILLNEST_POST" + probe, "-A QUILLNEST_POST -j CONNMARK --save-mark"}}},
      // What a crash left behind.
      {"crash, forwarding", false, {0, 1, true}, {true, true, true, 2, 3, 1},
       {{"-D OUTPUT -j QUILLNEST_OUT\n", 2}, {"-D FORWARD -j QUILLNEST_FWD\n", 3},
        {"-D POSTROUTING -j QUILLNEST_POST\n", 1}, {"-I FORWARD 1 -j QUILLNEST_FWD\n", 1}}, {}},
      {"crash, forwarding now off", false, {0, 1, false}, {true, true, true, 1, 1, 1},
       {{"-D FORWARD -j QUILLNEST_FWD\n", 1}, {"-X QUILLNEST_FWD\n", 1}, {"-A QUILLNEST_FWD", 0}},
       {}},
      {"reset chain, forwarding", false, {0, 1, true}, resetLeft,
       {{"-D FORWARD -j QUILLNEST_RESET\n", 2}, {":QUILLNEST_RESET - [0:0]\n", 1},
        {"-X QUILLNEST_RESET\n", 0}, {"-I FORWARD 1 -j QUILLNEST_RESET\n", 1}}, {}},
      {"reset chain, forwarding now off", false, {0, 1, false}, resetLeft,
       {{"-D FORWARD -j QUILLNEST_RESET\n", 2}, {"-X QUILLNEST_RESET\n", 1},
        {"-I FORWARD 1 -j QUILLNEST_RESET\n", 0}}, {}},
      {"reset chain without its jump", false, {0, 1, false},
       {false, false, false, 0, 0, 0, true, 0},
       {{"-D FORWARD -j QUILLNEST_RESET\n", 0}, {"-X QUILLNEST_RESET\n", 1}}, {}},
      {"nothing of ours in filter", false, {0, 1, false}, installed,
       {{"*filter", 0}, {"*raw", 0}}, {}},
      {"probe chain, forwarding now off", false, {0, 1, false},
       {.probeChain = true, .probeJumps = 2},
       {{"-D OUTPUT -j QUILLNEST_PROBE\n", 2}, {"-X QUILLNEST_PROBE\n", 1},
        {"-I OUTPUT 1 -j QUILLNEST_PROBE\n", 0}, {"--notrack", 0}}, {}},
      // Pure ACKs of inspected port-80 connections: logged and accepted ahead of the queue, one
      // rule per TCP header length, each with the one IP length that leaves no data.
      {"ack log", false, ackLog, {},
       {{":QUILLNEST_ACK - [0:0]\n", 1}, {"-j QUILLNEST_ACK\n", 11},
        {"-A QUILLNEST_ACK -j NFLOG --nflog-group 7 --nflog-size 128 --nflog-threshold 1\n", 1},
        {"-A QUILLNEST_ACK -j ACCEPT\n", 1},
        {"--dport 80 --tcp-flags SYN,FIN,RST,ACK,URG ACK -m connmark " + inspected + " -m u32", 11},
        {"\"0>>24=0x45&&0&0xFFFF=40&&4&0x3FFF=0&&32>>26&0x3C=20\"", 1},
        {"\"0>>24=0x45&&0&0xFFFF=80&&4&0x3FFF=0&&32>>26&0x3C=60\"", 1}, {"4>>8=", 0},
        // The server's packets of those connections: logged on their way in, not queued.
        {"-A QUILLNEST_IN -p tcp -m connmark --mark 0x30000000/0x30000000"
         " -m conntrack --ctdir REPLY -j NFLOG --nflog-group 7 --nflog-size 128"
             " --nflog-threshold 1 --nflog-prefix quillnest-reply\n",
         1},
        {"-A QUILLNEST_IN -p tcp -m multiport --sports 80,443 -m conntrack --ctstate INVALID -m "
         "limit --limit 2000/sec --limit-burst 2000 -j NFLOG --nflog-group 7",
         1},
        {"--nflog-prefix", 2},
        // Request bodies let pass: their rules come and go in a chain of their own. The server's
        // packets with only ACK set meanwhile are not logged (nor on a long response).
        {":QUILLNEST_BODY - [0:0]\n", 1}, {"-A QUILLNEST_OUT -p tcp " + bodyJump, 1},
        {"-A QUILLNEST_BODY", 0}, {passing, 1}},
       {{"-A QUILLNEST_ACK -j NFLOG", "-A QUILLNEST_ACK -j ACCEPT", bodyJump,
         "-j QUILLNEST_ACK\n", inspected + " -j NFQUEUE"},
        {passing, "--ctdir REPLY -j NFLOG"}}},
      {"ack log, IPv6, forwarding", false,
       {.queueCount = 1, .forward = true, .ackLogGroup = 0}, {},
       {{"-A QUILLNEST_FWD -p tcp --dport 80", 11}, {"--nflog-group 0 ", 5},
        {"-A QUILLNEST_FWD -p tcp --sport 80", 1}, {"--nflog-prefix quillnest-reply\n", 4},
        {"-A QUILLNEST_FWD -p tcp -m connmark --mark 0x30000000/0x30000000 -m conntrack --ctdir "
         "REPLY -j NFLOG", 1},
        {"-m connmark --mark 0x70000000/0x70000000 -m conntrack --ctdir REPLY -j RETURN\n", 2},
        {"\"4>>8=5126&&52>>26&0x3C=20\"", 2}, {"\"4>>8=15366&&52>>26&0x3C=60\"", 2},
        {"0>>24", 0}}, {}, IpFamilyTool::v6},
      {"ack chain left, logging now off", false, {0, 1, false}, ackLeft,
       {{":QUILLNEST_ACK - [0:0]\n", 1}, {"-X QUILLNEST_ACK\n", 1}, {"-j QUILLNEST_ACK", 0},
        {"NFLOG", 0}, {":QUILLNEST_BODY - [0:0]\n", 1}, {"-X QUILLNEST_BODY\n", 1},
        {"-j QUILLNEST_BODY", 0}},
       {{":QUILLNEST_OUT", "-X QUILLNEST_BODY", "-X QUILLNEST_ACK"}}},
      {"remove with the ack chain", true, {}, ackLeft, {{"-X QUILLNEST_ACK\n", 1}},
       {{"-F QUILLNEST_OUT", "-X QUILLNEST_OUT", "-F QUILLNEST_BODY", "-X QUILLNEST_BODY",
         "-F QUILLNEST_ACK", "-X QUILLNEST_ACK"}}},
      // Removal: jumps go before their chains; a table is touched only when something is ours.
      {"remove nothing", true, {}, {}, {{"COMMIT", 0}}, {}},
      {"remove twice jumped", true, {}, {true, false, true, 2, 0, 1},
       {{"-D OUTPUT -j QUILLNEST_OUT\n", 2}, {"-X QUILLNEST_OUT\n", 1}, {"-X QUILLNEST_POST\n", 1},
        {"QUILLNEST_FWD", 0}, {"*filter", 0}},
       {{"-F QUILLNEST_OUT", "-X QUILLNEST_OUT"}}},
      {"remove filter only", true, {}, {false, false, false, 0, 0, 0, true, 1},
       {{"*mangle", 0}, {"-D FORWARD -j QUILLNEST_RESET\n", 1}, {"-F QUILLNEST_RESET\n", 1},
        {"-X QUILLNEST_RESET\n", 1}}, {}},
      {"remove both", true, {}, {true, true, true, 1, 1, 1, true, 1}, {{"COMMIT\n", 2}},
       {{"*mangle", "*filter"}}},
      {"remove raw only", true, {}, {.probeChain = true, .probeJumps = 1},
       {{"*mangle", 0}, {"*filter", 0}, {"-D OUTPUT -j QUILLNEST_PROBE\n", 1},
        {"-F QUILLNEST_PROBE\n", 1}, {"-X QUILLNEST_PROBE\n", 1}},
       {{"-D OUTPUT -j QUILLNEST_PROBE", "-F QUILLNEST_PROBE", "-X QUILLNEST_PROBE"}}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string script =
        c.remove ? removeScript(c.existing) : installScript(c.options, c.existing, c.family);
    for (const auto& [text, n] : c.counts) EXPECT_EQ(count(script, text), n) << text;
    for (const auto& order : c.orders) {
      for (std::size_t i = 0; i + 1 < order.size(); ++i) {
        ASSERT_NE(script.find(order[i + 1]), std::string::npos) << order[i + 1];
        EXPECT_LT(script.find(order[i]), script.find(order[i + 1])) << order[i];
      }
    }
    expectSoundSections(script);
  }
}

// Keeps each family's tables in memory, applying our own scripts' effect coarsely.
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
    tables[family] = "*mangle\nCOMMIT\n*filter\nCOMMIT\n";
    if (script.find("-I OUTPUT") != std::string::npos) {
      tables[family] = "*mangle\n:QUILLNEST_OUT - [0:0]\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n";
      if (script.find("-I FORWARD 1 -j QUILLNEST_RESET") != std::string::npos)
        tables[family] +=
            "*filter\n:QUILLNEST_RESET - [0:0]\n-A FORWARD -j QUILLNEST_RESET\nCOMMIT\n";
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
  EXPECT_FALSE(parseExistingRules(runner.tables[IpFamilyTool::v4]).any());
  EXPECT_EQ(runner.restores[3].first, IpFamilyTool::v6);
  EXPECT_NE(runner.restores[3].second.find("-X QUILLNEST_RESET"), std::string::npos);
}

TEST(InstallRules, IPv4FailureLeavesIPv6UntouchedAndRemovalOnlyTouchesOurFamilies) {
  FakeRunner runner;
  runner.failRestore[IpFamilyTool::v4] = "iptables-restore failed (exit 1): no REJECT";
  EXPECT_EQ(installRules(runner, {0, 1, true}),
            "installing rules: iptables-restore failed (exit 1): no REJECT");
  ASSERT_EQ(runner.restores.size(), 1u);  // nothing of ours in v4 to take back
  EXPECT_EQ(runner.restores[0].first, IpFamilyTool::v4);
  // Removal leaves a family without our rules alone.
  FakeRunner removing;
  removing.tables[IpFamilyTool::v4] = "*mangle\n-A OUTPUT -j QUILLNEST_OUT\nCOMMIT\n";
  EXPECT_EQ(removeRules(removing), "");
  ASSERT_EQ(removing.restores.size(), 1u);
  EXPECT_EQ(removing.restores[0].first, IpFamilyTool::v4);
}

// iptables-save stand-ins on PATH: a kernel without the raw table still lets this machine's
// connections be filtered; any other table's failure is an error.
TEST(ProcessIptablesRunner, SavesWithoutTheRawTableOnlyWhereItIsMissing) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("quillnest-save-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.string() + ":" + oldPath).c_str(), 1);
  const auto tool = [&](const char* missing) {
    std::ofstream(dir / "iptables-save")
        << "#!/bin/sh\n[ \"$2\" = " << missing << " ] && { echo \"no $2\" >&2; exit 1; }\n"
        << "printf '*%s\\nCOMMIT\\n' \"$2\"\n";
    std::filesystem::permissions(dir / "iptables-save", std::filesystem::perms::owner_all);
  };
  ProcessIptablesRunner runner;
  std::string saved;
  tool("raw");
  EXPECT_EQ(runner.save(IpFamilyTool::v4, saved), "");
  EXPECT_EQ(saved, "*mangle\nCOMMIT\n*filter\nCOMMIT\n");
  tool("none");
  EXPECT_EQ(runner.save(IpFamilyTool::v4, saved), "");
  EXPECT_EQ(saved, "*mangle\nCOMMIT\n*filter\nCOMMIT\n*raw\nCOMMIT\n");
  tool("filter");
  EXPECT_NE(runner.save(IpFamilyTool::v4, saved).find("no filter"), std::string::npos);
  ::setenv("PATH", oldPath.c_str(), 1);
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace quillnest::linuxhost
