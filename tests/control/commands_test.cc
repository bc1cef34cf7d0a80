// check, import and explain as the command line runs them: exit status and what each stream says.
#include "hosts/linux/control/commands.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "hosts/linux/control/control_plane.h"
#include "hosts/linux/control/control_server.h"
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

TEST(CheckCommand, ExitStatusAndOutput) {
  TempDir dir;
  writeFile(dir / "good.json", "{\"isEnabled\":false,\n\"domains\":[\"a.com\",\n\"A.com\"]}\n");
  writeFile(dir / "bad.json", "{\"isEnabled\":true,\"domains\":\"a.com\"}");
  Ran r = check(dir / "good.json");
  EXPECT_EQ(r.status, 0);
  EXPECT_THAT(r.out, HasSubstr("enabled: false"));
  EXPECT_THAT(r.out, HasSubstr("entries: 2"));
  EXPECT_THAT(r.out, HasSubstr("line 3: \"A.com\" never matches: upper case"));
  r = check(dir / "bad.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("does not load"));
  EXPECT_THAT(r.err, HasSubstr("\"domains\""));
  r = check(dir / "missing.json");
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("missing.json"));
  r = check(dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("is a directory"));
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
  const std::vector<Case> cases = {
      {"x.ads.example.com",
       "rules.json",
       false,
       {"x.ads.example.com: blocked\n", "blocked by entry 2 (line 5) \"ads.example.com\""}},
      {"https://x.ads.example.com/",
       "rules.json",
       true,
       {"\"host\":\"x.ads.example.com\",\"blocked\":true,\"matches\":true,\"rulesEnabled\":true,"
        "\"entries\":[{\"entry\":\"ads.example.com\",\"position\":2,\"line\":5}]"}},
      {"ads.example.com",
       "off.json",
       false,
       {"not blocked\n", "covered by entry 1", "blocking is off"}},
      {"ads.example.com", "broken.json", false, {"does not load", "not blocked"}},
  };
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

}  // namespace
}  // namespace quillnest::linuxhost
