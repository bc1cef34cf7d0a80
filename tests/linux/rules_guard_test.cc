#include "hosts/linux/rules_guard.h"

#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace quillnest::linuxhost {
namespace {

// What iptables-save shows once an install script is in place: its chain declarations and rules,
// jumps appended rather than inserted, nothing deleted.
std::string savedAfter(const std::string& script) {
  std::istringstream in(script);
  std::string out;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("-D ", 0) == 0 || line.rfind("-F ", 0) == 0 || line.rfind("-X ", 0) == 0)
      continue;
    if (line.rfind("-I ", 0) == 0) {
      const auto one = line.find(" 1 -j ");
      line = "-A " + line.substr(3, one - 3) + line.substr(one + 2);
    }
    out += line + "\n";
  }
  return out;
}

std::string without(const std::string& text, const std::string& line) {
  std::string out = text;
  const auto at = out.find(line + "\n");
  if (at != std::string::npos) out.erase(at, line.size() + 1);
  return out;
}

// Every piece the guard looks for, under each kind of start: a complete install lacks none, and
// a save without any one of them lacks exactly that one.
TEST(MissingRules, NamesExactlyWhatAnInstallLacks) {
  struct Piece {
    const char* line;
    const char* missing;
    bool forwardOnly = false;
    bool ackLogOnly = false;
  };
  const Piece pieces[] = {
      {":QUILLNEST_OUT - [0:0]", "chain QUILLNEST_OUT"},
      {"-A OUTPUT -j QUILLNEST_OUT", "mangle OUTPUT -> QUILLNEST_OUT"},
      {":QUILLNEST_POST - [0:0]", "chain QUILLNEST_POST"},
      {"-A POSTROUTING -j QUILLNEST_POST", "mangle POSTROUTING -> QUILLNEST_POST"},
      {":QUILLNEST_IN - [0:0]", "chain QUILLNEST_IN"},
      {"-A INPUT -j QUILLNEST_IN", "mangle INPUT -> QUILLNEST_IN"},
      {":QUILLNEST_ACK - [0:0]", "chain QUILLNEST_ACK", false, true},
      {":QUILLNEST_BODY - [0:0]", "chain QUILLNEST_BODY", false, true},
      {":QUILLNEST_FWD - [0:0]", "chain QUILLNEST_FWD", true},
      {"-A FORWARD -j QUILLNEST_FWD", "mangle FORWARD -> QUILLNEST_FWD", true},
      {":QUILLNEST_RESET - [0:0]", "chain QUILLNEST_RESET", true},
      {"-A FORWARD -j QUILLNEST_RESET", "filter FORWARD -> QUILLNEST_RESET", true},
      {":QUILLNEST_PROBE - [0:0]", "chain QUILLNEST_PROBE", true},
      {"-A OUTPUT -j QUILLNEST_PROBE", "raw OUTPUT -> QUILLNEST_PROBE", true},
  };
  for (bool forward : {false, true}) {
    for (bool ackLog : {false, true}) {
      RuleOptions options{0, 2, forward};
      if (ackLog) options.ackLogGroup = 7;
      for (auto family : {IpFamilyTool::v4, IpFamilyTool::v6}) {
        SCOPED_TRACE(testing::Message() << "forward " << forward << " ack log " << ackLog << " v"
                                        << (family == IpFamilyTool::v4 ? 4 : 6));
        const std::string saved = savedAfter(installScript(options, {}, family));
        EXPECT_EQ(missingRules(parseExistingRules(saved), options), std::vector<std::string>{});
        for (const Piece& piece : pieces) {
          if ((piece.forwardOnly && !forward) || (piece.ackLogOnly && !ackLog)) continue;
          EXPECT_EQ(missingRules(parseExistingRules(without(saved, piece.line)), options),
                    std::vector<std::string>{piece.missing})
              << piece.line;
        }
      }
    }
  }
  EXPECT_EQ(missingRules({}, {0, 1, false}).size(), 6u);
}

// Which announcements make the guard look: deletions in our tables, not the body rules' own.
TEST(MayTakeOursOut, DeletionsInOurTablesOnly) {
  struct Case {
    std::uint16_t subsystem;
    std::uint16_t type;
    std::uint8_t family;
    const char* table;  // null: no attribute
    const char* chain;
    bool want;
  };
  const std::uint16_t nft = NFNL_SUBSYS_NFTABLES;
  const Case cases[] = {
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV4, "mangle", "OUTPUT", true},
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV6, "filter", "FORWARD", true},
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV4, "raw", "OUTPUT", true},
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV4, "mangle", "QUILLNEST_BODY", false},
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV4, "nat", "PREROUTING", false},
      {nft, NFT_MSG_DELRULE, NFPROTO_INET, "filter", "forward", false},
      {nft, NFT_MSG_DELRULE, NFPROTO_IPV4, nullptr, nullptr, true},
      {nft, NFT_MSG_DELCHAIN, NFPROTO_IPV4, "mangle", "QUILLNEST_OUT", true},
      {nft, NFT_MSG_DELTABLE, NFPROTO_IPV6, "mangle", nullptr, true},
      {nft, NFT_MSG_DELTABLE, NFPROTO_IPV4, "nat", nullptr, false},
      {nft, NFT_MSG_NEWRULE, NFPROTO_IPV4, "mangle", "OUTPUT", false},
      {nft, NFT_MSG_NEWGEN, NFPROTO_UNSPEC, nullptr, nullptr, false},
      {NFNL_SUBSYS_CTNETLINK, NFT_MSG_DELRULE, NFPROTO_IPV4, "mangle", "OUTPUT", false},
  };
  for (const Case& c : cases) {
    char buffer[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = mnl_nlmsg_put_header(buffer);
    message->nlmsg_type = static_cast<std::uint16_t>(c.subsystem << 8 | c.type);
    auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
    header->nfgen_family = c.family;
    if (c.table) mnl_attr_put_strz(message, 1, c.table);
    if (c.chain)
      mnl_attr_put_strz(message, c.type == NFT_MSG_DELRULE ? NFTA_RULE_CHAIN : 3, c.chain);
    EXPECT_EQ(mayTakeOursOut(message), c.want)
        << c.type << " " << int(c.family) << " " << (c.table ? c.table : "-") << " "
        << (c.chain ? c.chain : "-");
  }
}

// iptables stand-in: each family's tables as text; a restore puts back a complete install.
class Tables final : public IptablesRunner {
 public:
  std::map<IpFamilyTool, std::string> saved;
  std::map<IpFamilyTool, std::string> failSave, failRestore;
  std::vector<IpFamilyTool> restores;
  mutable std::mutex mutex;
  RuleOptions options;

  std::string save(IpFamilyTool family, std::string& output) override {
    std::lock_guard lock(mutex);
    output = saved[family];
    return failSave[family];
  }
  std::string restore(IpFamilyTool family, const std::string& script) override {
    std::lock_guard lock(mutex);
    restores.push_back(family);
    if (!failRestore[family].empty()) return failRestore[family];
    saved[family] = savedAfter(script);
    return {};
  }
  std::size_t restoreCount() const {
    std::lock_guard lock(mutex);
    return restores.size();
  }
  void installed() {
    for (auto family : {IpFamilyTool::v4, IpFamilyTool::v6})
      saved[family] = savedAfter(installScript(options, {}, family));
  }
};

TEST(RestoreMissingRules, PutsBackOnlyTheFamilyThatLacksAndSaysWhat) {
  Tables tables;
  tables.options = {0, 1, true};
  tables.installed();
  std::string error;
  int before = 0;
  const auto countBefore = [&] { ++before; };
  bool nftables = true;
  EXPECT_EQ(restoreMissingRules(tables, tables.options, &error, countBefore, &nftables), "");
  EXPECT_TRUE(tables.restores.empty());
  EXPECT_EQ(before, 0);
  EXPECT_FALSE(nftables);  // iptables-legacy: nothing is announced
  for (auto family : {IpFamilyTool::v4, IpFamilyTool::v6}) {
    const std::string legacy = tables.saved[family];
    tables.saved[family] = "# Generated by iptables-save v1.8.9 (nf_tables) on Wed\n" + legacy;
    restoreMissingRules(tables, tables.options, &error, {}, &nftables);
    EXPECT_EQ(nftables, family == IpFamilyTool::v6);
  }

  // A whole-table restore of filter in IPv6 took the reset chain out.
  tables.saved[IpFamilyTool::v6] =
      without(without(tables.saved[IpFamilyTool::v6], ":QUILLNEST_RESET - [0:0]"),
              "-A FORWARD -j QUILLNEST_RESET");
  EXPECT_EQ(restoreMissingRules(tables, tables.options, &error, countBefore),
            "IPv6: chain QUILLNEST_RESET, filter FORWARD -> QUILLNEST_RESET");
  EXPECT_EQ(before, 1);
  EXPECT_EQ(tables.restores, std::vector<IpFamilyTool>{IpFamilyTool::v6});
  EXPECT_EQ(error, "");
  EXPECT_EQ(restoreMissingRules(tables, tables.options, &error), "");

  // A family that cannot be looked at, or not mended, does not keep the other from it.
  tables.saved[IpFamilyTool::v4] = "";
  tables.saved[IpFamilyTool::v6] = "";
  tables.failSave[IpFamilyTool::v4] = "iptables-save failed";
  EXPECT_EQ(restoreMissingRules(tables, tables.options, &error, countBefore),
            "IPv6: every chain and jump");
  EXPECT_EQ(before, 2);
  EXPECT_EQ(error, "IPv4: iptables-save failed");
  tables.failSave.clear();
  tables.failRestore[IpFamilyTool::v4] = "iptables-restore failed";
  error.clear();
  EXPECT_EQ(restoreMissingRules(tables, tables.options, &error), "");
  EXPECT_EQ(error, "IPv4: iptables-restore failed");
}

// Without change announcements (iptables-legacy) the periodic look finds what was taken out; a
// failure is said once while it lasts; nothing is put back once stop() has returned.
TEST(RulesGuard, LooksPeriodicallyAndStopsForGood) {
  Tables tables;
  tables.options = {0, 1, false};
  tables.installed();
  std::mutex mutex;
  std::vector<std::string> restored, warnings;
  std::atomic<int> before{0};
  RulesGuard guard(
      tables, tables.options, [&] { ++before; },
      [&](const std::string& what) {
        std::lock_guard lock(mutex);
        restored.push_back(what);
      },
      [&](const std::string& line) {
        std::lock_guard lock(mutex);
        warnings.push_back(line);
      },
      std::chrono::milliseconds(5), false);
  EXPECT_FALSE(guard.watchingChanges());
  auto waitFor = [&](auto done) {
    for (int i = 0; i < 1000 && !done(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::lock_guard lock(mutex);
    return done();
  };
  {
    std::lock_guard lock(tables.mutex);
    tables.saved[IpFamilyTool::v4] = "*mangle\nCOMMIT\n";
    tables.failRestore[IpFamilyTool::v6] = "ip6tables-restore failed";
    tables.saved[IpFamilyTool::v6] = "*mangle\nCOMMIT\n";
  }
  ASSERT_TRUE(waitFor([&] { return tables.restoreCount() >= 6; }));
  {
    std::lock_guard lock(mutex);
    ASSERT_FALSE(restored.empty());
    EXPECT_GE(before.load(), static_cast<int>(restored.size()));
    EXPECT_EQ(restored[0].substr(0, 6), "IPv4: ");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("IPv6: ip6tables-restore failed"), std::string::npos);
  }
  guard.stop();
  const std::size_t after = tables.restoreCount();
  {
    std::lock_guard lock(tables.mutex);
    tables.saved[IpFamilyTool::v4] = "";
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(tables.restoreCount(), after);
}

}  // namespace
}  // namespace quillnest::linuxhost
