#include "hosts/linux/control/explain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "hosts/linux/control/commands.h"
#include "hosts/linux/control/control_plane.h"
#include "hosts/linux/control/control_server.h"
#include "hosts/linux/control/host_names.h"
#include "rules/normalization.h"
#include "tests/control/control_test_support.h"
#include "tests/support/match_cases.h"

namespace quillnest::linuxhost {
namespace {

// The entries explain names are exactly those behind the filter's own answer.
TEST(Explain, CoveringEntriesAgreeWithTheMatchingIndex) {
  for (const MatchCase& c : matchCases()) {
    SCOPED_TRACE(c.name);
    const FilterRules rules(true, c.domains);
    const auto host = normalizedHost(c.host);
    const std::vector<std::size_t> covering =
        host ? EntryCover(c.domains).covering(*host) : std::vector<std::size_t>{};
    EXPECT_EQ(!covering.empty(), c.expected);
    EXPECT_EQ(rules.matchesHost(c.host), c.expected);
    for (const std::size_t i : covering) {
      const std::string& entry = c.domains[i];
      EXPECT_TRUE(*host == entry || host->ends_with("." + entry)) << entry;
    }
    // Unicode input is explained as the A-labels clients send, which is another name.
    const bool ascii =
        std::all_of(c.host.begin(), c.host.end(), [](char ch) { return (ch & 0x80) == 0; });
    std::string error;
    if (const auto e = ascii ? explainName(rules, {}, c.host, error) : std::nullopt) {
      EXPECT_EQ(e->matches, c.expected);
      EXPECT_EQ(e->blocked, c.expected);
      EXPECT_EQ(e->covering.empty(), !c.expected);
    }
  }
}

TEST(Explain, ReadsNamesAsTheFilterWould) {
  const FilterRules rules(true, {"ads.example.com", "example.com", "xn--bcher-kva.example",
                                 "2001:db8::1", "Upper.example"});
  struct Case {
    std::string input;
    std::string host;  // empty: no host
    bool blocked;
    std::vector<std::size_t> positions;
    std::string note;
  };
  const std::vector<Case> cases = {
      {"ads.example.com", "ads.example.com", true, {1, 2}, ""},
      {"WWW.Ads.Example.COM.", "www.ads.example.com", true, {1, 2}, "normalised"},
      {"https://user@www.example.com:8443/path?q#f", "www.example.com", true, {2}, "URL"},
      {"example.com/some/path", "example.com", true, {2}, "path dropped"},
      {"ads.example.com:443", "ads.example.com", true, {1, 2}, "port dropped"},
      {"[2001:db8::1]:80", "2001:db8::1", true, {4}, "port dropped"},
      {"2001:db8::1", "2001:db8::1", true, {4}, ""},
      {"B\xC3\x9C"
       "CHER.example",
       "xn--bcher-kva.example",
       true,
       {3},
       "clients send \"xn--bcher-kva.example\""},
      {"upper.example", "upper.example", false, {}, ""},  // the entry is not normalised
      {"example.org", "example.org", false, {}, ""},
      {"badexample.com", "badexample.com", false, {}, ""},
      {"exa mple.com", "", false, {}, ""},
      {"", "", false, {}, ""},
      {"https://", "", false, {}, ""},
      {"\xCC\x81x.example", "", false, {}, "UTS #46"},
      {"a.example:http", "", false, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::string error;
    const auto e = explainName(rules, {}, c.input, error);
    if (c.host.empty()) {
      EXPECT_FALSE(e.has_value()) << e->host;
      EXPECT_NE(error.find(c.note), std::string::npos) << error;
      continue;
    }
    ASSERT_TRUE(e.has_value()) << error;
    EXPECT_EQ(e->host, c.host);
    EXPECT_EQ(e->blocked, c.blocked);
    std::vector<std::size_t> positions;
    for (const auto& entry : e->covering) positions.push_back(entry.position);
    EXPECT_EQ(positions, c.positions);
    const std::string text = formatExplanation(*e);
    EXPECT_NE(text.find(c.note), std::string::npos) << text;
  }
}

TEST(ExplainCommand, AnswersFromARulesFileWithLinesAndJson) {
  testing::TempDir dir;
  testing::writeFile(dir / "rules.json",
                     "{\n\"isEnabled\": true,\n\"domains\": [\n\"a.example\",\n\"ads.example.com\""
                     "\n]\n}\n");
  testing::writeFile(dir / "off.json",
                     "{\"isEnabled\": false, \"domains\": [\"ads.example.com\"]}");
  testing::writeFile(dir / "broken.json", "{\"isEnabled\": true}");
  {
    std::ostringstream out, err;
    ASSERT_EQ(runExplain("x.ads.example.com", dir / "rules.json", {}, false, out, err), 0);
    EXPECT_NE(out.str().find("x.ads.example.com: blocked\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("blocked by entry 2 (line 5) \"ads.example.com\""), std::string::npos)
        << out.str();
  }
  {
    std::ostringstream out, err;
    ASSERT_EQ(runExplain("https://x.ads.example.com/", dir / "rules.json", {}, true, out, err), 0);
    EXPECT_NE(out.str().find("\"host\":\"x.ads.example.com\",\"blocked\":true,\"matches\":true,"
                             "\"rulesEnabled\":true,\"entries\":[{\"entry\":\"ads.example.com\","
                             "\"position\":2,\"line\":5}]"),
              std::string::npos)
        << out.str();
  }
  {
    std::ostringstream out, err;
    ASSERT_EQ(runExplain("ads.example.com", dir / "off.json", {}, false, out, err), 0);
    EXPECT_NE(out.str().find("not blocked\n"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("covered by entry 1"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("blocking is off"), std::string::npos) << out.str();
  }
  {
    std::ostringstream out, err;
    ASSERT_EQ(runExplain("ads.example.com", dir / "broken.json", {}, false, out, err), 0);
    EXPECT_NE(out.str().find("does not load"), std::string::npos) << out.str();
    EXPECT_NE(out.str().find("not blocked"), std::string::npos) << out.str();
  }
  {
    std::ostringstream out, err;
    EXPECT_EQ(runExplain("a b", dir / "rules.json", {}, false, out, err), 1);
    EXPECT_EQ(runExplain("a.example", dir / "missing.json", {}, false, out, err), 1);
    EXPECT_EQ(runExplain("a.example", {}, dir / "no.sock", false, out, err), 1);
    EXPECT_NE(err.str().find("--rules"), std::string::npos) << err.str();
  }
}

// Without --rules: the daemon names its file, and its built-in resolver names count too.
TEST(ExplainCommand, AsksTheRunningDaemon) {
  testing::TempDir dir;
  testing::writeFile(dir / "rules.json", "{\"isEnabled\": true, \"domains\": [\"a.example\"]}");
  StatusReport report;
  report.rulesFile = (dir / "rules.json").string();
  report.rulesEnabled = true;
  report.ruleEntries = 1;
  report.resolverEntries = 9;
  FunctionStatusSource source([&] { return report; });
  ControlServerOptions options;
  options.allowedUid = ::geteuid();
  ControlServer server(dir / "control.sock", source, options);
  const auto explain = [&](const std::string& name) {
    std::ostringstream out, err;
    EXPECT_EQ(runExplain(name, {}, dir / "control.sock", false, out, err), 0) << err.str();
    return out.str();
  };
  std::string text = explain("x.a.example");
  EXPECT_NE(text.find("blocked by entry 1 (line 1) \"a.example\""), std::string::npos) << text;
  text = explain("dns.google");
  EXPECT_NE(text.find("blocked by the built-in DNS-over-HTTPS resolver name \"dns.google\""),
            std::string::npos)
      << text;
  report.resolverEntries = 0;  // run --allow-encrypted-dns
  report.ruleEntries = 2;
  text = explain("dns.google");
  EXPECT_NE(text.find("not blocked"), std::string::npos) << text;
  EXPECT_NE(text.find("holds other rules than the file"), std::string::npos) << text;
}

}  // namespace
}  // namespace quillnest::linuxhost
