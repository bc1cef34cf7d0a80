// check, import and explain as the command line runs them (exit status and what each stream says),
// and the readings behind them.
#include "hosts/linux/control/commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "hosts/linux/control/control_plane.h"
#include "hosts/linux/control/control_server.h"
#include "hosts/linux/control/explain.h"
#include "hosts/linux/control/rules_check.h"
#include "rules/filter_rules.h"
#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using ::testing::HasSubstr;
using testing::readFile;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

struct Ran {
  int status;
  std::string out, err;
};

Ran run(const std::function<int(std::ostream&, std::ostream&)>& command) {
  std::ostringstream out, err;
  const int status = command(out, err);
  return {status, out.str(), err.str()};
}

Ran check(const fs::path& file) {
  return run([&](auto& out, auto& err) { return runCheck(file, out, err); });
}

Ran import(const std::vector<std::string>& inputs, const fs::path& output) {
  return run(
      [&](auto& out, auto& err) { return runImport(inputs, ListFormat::guess, output, out, err); });
}

Ran explain(const std::string& name, const fs::path& rules, const fs::path& socket = {},
            bool json = false) {
  return run([&](auto& out, auto& err) { return runExplain(name, rules, socket, json, out, err); });
}

TEST(ImportCommand, OutputReplacesTheFileAndUnreadableInputFails) {
  TempDir dir;
  writeFile(dir / "list.txt", "a.example\n");
  writeFile(dir / "more.txt", "b.example\nx.a.example\n");
  writeFile(dir / "rules.json", "old");
  const std::string list = (dir / "list.txt").string();
  Ran r = import({list, (dir / "more.txt").string()}, dir / "rules.json");
  ASSERT_EQ(r.status, 0);
  const std::string written = rulesFileText({"a.example", "b.example"});
  EXPECT_EQ(readFile(dir / "rules.json"), written);
  EXPECT_THAT(r.err, HasSubstr("imported 2 domains from 3 lines; folded 1"));
  EXPECT_EQ(r.out, "");
  // No temporary file is left beside it.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);

  r = import({list, (dir / "missing.txt").string()}, dir / "rules.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("missing.txt"));
  EXPECT_EQ(readFile(dir / "rules.json"), written);
  EXPECT_EQ(import({list}, dir / "no-such-dir" / "rules.json").status, 1);

  // Through a link, the file it leads to is replaced and the link stays.
  fs::create_directory(dir / "lists");
  writeFile(dir / "lists" / "rules.json", "old");
  fs::create_symlink("lists/rules.json", dir / "link.json");
  ASSERT_EQ(import({list}, dir / "link.json").status, 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.json"));
  EXPECT_EQ(readFile(dir / "lists" / "rules.json"), rulesFileText({"a.example"}));
}

TEST(ExplainCommand, AnswersFromARulesFileWithLinesAndJson) {
  TempDir dir;
  writeFile(dir / "rules.json",
            "{\n\"isEnabled\": true,\n\"domains\": [\n\"a.example\",\n\"ads.example.com\"\n]\n}\n");
  writeFile(dir / "off.json", "{\"isEnabled\": false, \"domains\": [\"ads.example.com\"]}");
  writeFile(dir / "broken.json", "{\"isEnabled\": true}");
  struct Case {
    std::string name;
    std::string file;
    bool json;
    std::vector<std::string> parts;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"x.ads.example.com", "rules.json", false,
       {"x.ads.example.com: blocked\n", "blocked by entry 2 (line 5) \"ads.example.com\""}},
      {"https://x.ads.example.com/", "rules.json", true,
       {"\"host\":\"x.ads.example.com\",\"blocked\":true,\"matches\":true,\"rulesEnabled\":true,"
        "\"entries\":[{\"entry\":\"ads.example.com\",\"position\":2,\"line\":5}]"}},
      {"ads.example.com", "off.json", false,
       {"not blocked\n", "covered by entry 1", "blocking is off"}},
      {"ads.example.com", "broken.json", false, {"does not load", "not blocked"}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " " + c.name);
    const Ran r = explain(c.name, dir / c.file, {}, c.json);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const std::string& part : c.parts) EXPECT_THAT(r.out, HasSubstr(part));
  }
  EXPECT_EQ(explain("a b", dir / "rules.json").status, 1);
  EXPECT_EQ(explain("a.example", dir / "missing.json").status, 1);
  const Ran noDaemon = explain("a.example", {}, dir / "no.sock");
  EXPECT_EQ(noDaemon.status, 1);
  EXPECT_THAT(noDaemon.err, HasSubstr("--rules"));
}

// The control socket given to watch is named as such: it closes on a client that asks nothing,
// which would read as the daemon going away (status given notify.sock: control_server_test).
TEST(WatchCommand, TheControlSocketIsNamedAsSuch) {
  TempDir dir;
  std::ostringstream out, err;
  EXPECT_EQ(runWatch(dir / "control.sock", 1, out, err), 1);
  EXPECT_THAT(err.str(), HasSubstr("control socket; notifications come from notify.sock"));
  EXPECT_EQ(out.str(), "");
}

// Without --rules: the daemon names its file, and its built-in resolver names count too.
TEST(ExplainCommand, AsksTheRunningDaemon) {
  TempDir dir;
  writeFile(dir / "rules.json", "{\"isEnabled\": true, \"domains\": [\"a.example\"]}");
  StatusReport report;
  report.rulesFile = (dir / "rules.json").string();
  report.rulesEnabled = true;
  report.ruleEntries = 1;
  report.resolverEntries = 9;
  FunctionStatusSource source([&] { return report; });
  ControlServerOptions options;
  options.allowedUid = ::geteuid();
  ControlServer server(dir / "control.sock", source, options);
  const auto ask = [&](const std::string& name) {
    const Ran r = explain(name, {}, dir / "control.sock");
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
  };
  EXPECT_THAT(ask("x.a.example"), HasSubstr("blocked by entry 1 (line 1) \"a.example\""));
  EXPECT_THAT(ask("dns.google"),
              HasSubstr("blocked by the built-in DNS-over-HTTPS resolver name \"dns.google\""));
  report.resolverEntries = 0;  // run --allow-encrypted-dns
  report.ruleEntries = 2;
  const std::string text = ask("dns.google");
  EXPECT_THAT(text, HasSubstr("not blocked"));
  EXPECT_THAT(text, HasSubstr("holds other rules than the file"));
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
  // clang-format off
  const std::vector<Case> cases = {
      {"ads.example.com", "ads.example.com", true, {1, 2}, ""},
      {"WWW.Ads.Example.COM.", "www.ads.example.com", true, {1, 2}, "normalised"},
      {"https://user@www.example.com:8443/path?q#f", "www.example.com", true, {2}, "URL"},
      {"example.com/some/path", "example.com", true, {2}, "path dropped"},
      {"ads.example.com:443", "ads.example.com", true, {1, 2}, "port dropped"},
      {"[2001:db8::1]:80", "2001:db8::1", true, {4}, "port dropped"},
      {"2001:db8::1", "2001:db8::1", true, {4}, ""},
      {"B\xC3\x9C" "CHER.example", "xn--bcher-kva.example", true, {3},
       "clients send \"xn--bcher-kva.example\""},
      {"upper.example", "upper.example", false, {}, ""},  // the entry is not normalised
      {"example.org", "example.org", false, {}, ""},
      {"badexample.com", "badexample.com", false, {}, ""},
      {"exa mple.com", "", false, {}, ""},
      {"", "", false, {}, ""},
      {"https://", "", false, {}, ""},
      {"\xCC\x81x.example", "", false, {}, "UTS #46"},
      // As web servers route it.
      {"ads.example.com:http", "ads.example.com", true, {1, 2}, "port dropped"},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::string error;
    const auto e = explainName(rules, {}, c.input, error);
    if (c.host.empty()) {
      EXPECT_FALSE(e.has_value()) << e->host;
      EXPECT_THAT(error, HasSubstr(c.note));
      continue;
    }
    ASSERT_TRUE(e.has_value()) << error;
    EXPECT_EQ(e->host, c.host);
    EXPECT_EQ(e->blocked, c.blocked);
    std::vector<std::size_t> positions;
    for (const auto& entry : e->covering) positions.push_back(entry.position);
    EXPECT_EQ(positions, c.positions);
    EXPECT_THAT(formatExplanation(*e), HasSubstr(c.note));
  }
}

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(EntryProblem, EntriesThatCanNeverMatch) {
  struct Case {
    std::string entry;
    std::string reasonPart;  // empty: fine
  };
  // clang-format off
  const std::vector<Case> cases = {
      {"example.com", ""},
      {"xn--bcher-kva.example", ""},
      {"sub_domain.example.com", ""},
      {"", "empty"},
      {"   ", "nothing but white space"},
      {"...", "nothing but white space and dots"},
      {"Example.com", "upper case"},
      {"example.com.", "trailing dot"},
      {" example.com", "white space at either end"},
      {"example.com\t", "white space at either end"},
      {"example.com. ", "trailing dot"},
      {"*.example.com", "no wildcard"},
      {"ads.*.example.com", "no wildcard"},
      {"https://example.com/path", "URL"},
      {"||y.example^", "Adblock syntax"},
      {"example.com:443", "a port"},
      {"2001:db8::1", ""},
      {"[2001:db8::1]", "\"[\", a character"},
      {"a b.example", "white space inside"},
      {"a..b.example", "empty label"},
      {".example.com", "empty label"},
      {std::string(63, 'a') + ".example", ""},
      {std::string(64, 'a') + ".example", "label over 63"},
      {std::string(250, 'a').insert(60, ".").insert(120, ".").insert(180, ".").insert(240, ".") +
       ".example", "over 253 bytes"},
      {"b\xC3\xBC" "cher.example", "flows carry the A-label form \"xn--bcher-kva.example\""},
      {"\xCC\x81x.example", "invalid under UTS #46"},
      {"\xC3\x84pfel.example", "normalised form"},  // "Ä": a non-ASCII capital
      {"\xE3\x80\x80" "example.com", "normalised form"},  // ideographic space in front
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const std::string reason = entryProblem(c.entry);
    EXPECT_EQ(reason.empty(), c.reasonPart.empty()) << reason;
    EXPECT_THAT(reason, HasSubstr(c.reasonPart));
  }
}

TEST(DomainEntryLines, FindsTheLineOfEveryEntry) {
  using Lines = std::vector<std::uint32_t>;
  struct Case {
    std::string name;
    std::string json;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {"one per line",
       "{\n \"isEnabled\": true,\n \"domains\": [\n  \"a.com\",\n  \"b.com\"\n ]\n}", Lines{4, 5}},
      {"all on one line", R"({"isEnabled":true,"domains":["a.com","b.com","c.com"]})",
       Lines{1, 1, 1}},
      {"CRLF line ends",
       "{\r\n\"domains\": [\r\n\"a.com\",\r\n\"b.com\"],\r\n\"isEnabled\": false}", Lines{3, 4}},
      {"strings with escapes, brackets and commas",
       "{\"isEnabled\":true,\n\"domains\":[\"a\\\"],[\",\n\"b\\\\\"]}", Lines{2, 3}},
      {"other arrays and nested objects first",
       "{\"notes\":[\"x\",\"y\"],\n\"meta\":{\"domains\":[\"nested.com\"]},\n\"isEnabled\":true,\n"
       "\"domains\":[\n\"real.com\"]}",
       Lines{5}},
      {"empty list", R"({"isEnabled":true,"domains":[]})", Lines{}},
      {"a file that does not load", "{\"domains\":[\n\"a.com\"]}", Lines{}},
      {"long strings with escapes about 32 bytes in",
       "{\"isEnabled\":true,\"domains\":[\n\"" + std::string(31, 'a') + "\\\"x\",\n\"" +
           std::string(40, 'b') + "\\\\\",\n\"c\"]}",
       Lines{2, 3, 4}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(domainEntryLines(c.json), c.lines);
  }
}

// Every finding with its line, and what check says of it and exits with.
TEST(CheckRules, ReportsEveryProblemWithItsLine) {
  const std::string json =
      "{\n"
      "  \"isEnabled\": true,\n"
      "  \"domains\": [\n"
      "    \"example.com\",\n"      // 4
      "    \"Ads.Example.com\",\n"  // 5
      "    \"tracker.net.\",\n"     // 6
      "    \" spaced.org\",\n"      // 7
      "    \"\",\n"                 // 8
      "    \"example.com\",\n"      // 9: duplicate of 4
      "    \"*.wild.io\",\n"        // 10
      "    \"x.example.com\",\n"    // 11: covered by 4
      "    \"ads.tracker.net\"\n"   // 12: not covered (line 6 is not normalised)
      "  ]\n"
      "}\n";
  const RulesCheck result = checkRules(bytes(json));
  ASSERT_TRUE(result.loads) << result.error;
  EXPECT_TRUE(result.isEnabled);
  EXPECT_EQ(result.entryCount, 9u);
  std::vector<std::pair<std::size_t, std::string>> found;
  for (const auto& p : result.problems) found.emplace_back(p.line, p.entry);
  const std::vector<std::pair<std::size_t, std::string>> expected = {
      {5, "Ads.Example.com"}, {6, "tracker.net."}, {7, " spaced.org"},   {8, ""},
      {9, "example.com"},     {10, "*.wild.io"},   {11, "x.example.com"}};
  EXPECT_EQ(found, expected);

  TempDir dir;
  writeFile(dir / "rules.json", json);
  writeFile(dir / "off.json", "{\"isEnabled\":false,\"domains\":[]}");
  writeFile(dir / "bad.json", "{\"isEnabled\":true,\"domains\":\"a.com\"}");
  Ran r = check(dir / "rules.json");
  EXPECT_EQ(r.status, 0);
  for (const char* part :
       {"enabled: true\n", "entries: 9\n", "line 5: \"Ads.Example.com\" never matches: upper case",
        "line 9: \"example.com\" adds nothing: duplicate of entry 1 (line 4)",
        "line 10: \"*.wild.io\" never matches: ",
        "line 11: \"x.example.com\" adds nothing: covered by entry 1 (line 4) \"example.com\"\n",
        "\n5 entries can never match", "\n2 entries add nothing"})
    EXPECT_THAT(r.out, HasSubstr(part));
  EXPECT_THAT(check(dir / "off.json").out, HasSubstr("enabled: false\n"));
  for (const auto& [file, part] :
       {std::pair{"bad.json", "does not load: "}, std::pair{"bad.json", "\"domains\""},
        std::pair{"missing.json", "missing.json"}, std::pair{".", "is a directory"}}) {
    r = check(dir / file);
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_THAT(r.err, HasSubstr(part));
  }
}

// Which entry each finding names as covering or duplicated, "-" for none: whichever route finds
// them (a bit table first, then the index), no covering entry may be missed.
TEST(CheckRules, FindsEveryCoveringEntry) {
  using Found = std::vector<std::pair<std::size_t, std::string>>;
  const std::string b70(70, 'b');
  // Long enough to be judged in two halves and in runs of entries.
  std::vector<std::string> far{"www.ads.example.org"};
  for (int i = 1; i < 99999; ++i) far.push_back("n" + std::to_string(i) + ".test");
  far[513] = "x.example.org";
  far[50000] = "y.example.org";
  far.push_back("example.org");
  const struct {
    std::vector<std::string> entries;
    Found found;
  } cases[] = {
      {far,
       {{0, "covered by entry 100000 (line 1) \"example.org\""},
        {513, "covered by entry 100000 (line 1) \"example.org\""},
        {50000, "covered by entry 100000 (line 1) \"example.org\""}}},
      {{"example.com", "ample.com", "xample.com", "www.xample.com"},
       {{3, "covered by entry 3 (line 1) \"xample.com\""}}},
      // Same length and last 8 bytes as the covering entry, and as an entry that covers nothing.
      {{"a.example.com", "x.c.example.com", "x.b.example.com", "b.example.com"},
       {{2, "covered by entry 4 (line 1) \"b.example.com\""}}},
      {{"example.com.", "www.example.com.", "Example.COM", "ads.Example.COM", ".com", "x..com",
        "com."},
       {{0, "covered by entry 7 (line 1) \"com.\""},
        {1, "covered by entry 1 (line 1) \"example.com.\""},
        {2, "-"},
        {3, "covered by entry 3 (line 1) \"Example.COM\""},
        {4, "-"},
        {5, "covered by entry 5 (line 1) \".com\""},
        {6, "-"}}},
      // Dots past the 64th byte; the first covering entry in list order wins.
      {{"example.net", b70 + ".example.net", "c." + b70 + ".example.net"},
       {{1, "covered by entry 1 (line 1) \"example.net\""},
        {2, "covered by entry 1 (line 1) \"example.net\""}}},
      // An empty entry covers nothing: no host ends in a dot once normalised.
      {{"", "x.example.", "example.", "www.example."},
       {{0, "-"},
        {1, "covered by entry 3 (line 1) \"example.\""},
        {2, "-"},
        {3, "covered by entry 3 (line 1) \"example.\""}}},
      {{"b", "x.y", "a.b", "b"},
       {{2, "covered by entry 1 (line 1) \"b\""}, {3, "duplicate of entry 1 (line 1)"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entries.front());
    const std::string json = encodeFilterRules(FilterRules(true, c.entries));
    const RulesCheck check = checkRules(bytes(json));
    Found found;
    for (const auto& p : check.problems) {
      const bool names = p.reason.starts_with("covered by") || p.reason.starts_with("duplicate of");
      found.emplace_back(p.index, names ? p.reason.substr(0, p.reason.find("; ")) : "-");
    }
    EXPECT_EQ(found, c.found);
  }
}

}  // namespace
}  // namespace quillnest::linuxhost
