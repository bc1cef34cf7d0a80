#include "hosts/linux/control/list_update.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <sstream>

#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using ::testing::HasSubstr;
namespace fs = std::filesystem;

TEST(ParseSources, LinesFormatsAndMistakes) {
  std::string error;
  const auto sources = parseSources(
      "# lists\n\nhttps://lists.example/hosts.txt hosts\n/srv/local.txt   # mine\r\n"
      "http://lists.example/ab.txt adblock\n",
      error);
  ASSERT_TRUE(sources.has_value()) << error;
  ASSERT_EQ(sources->size(), 3u);
  EXPECT_EQ((*sources)[0].location, "https://lists.example/hosts.txt");
  EXPECT_EQ((*sources)[0].format, ListFormat::hosts);
  EXPECT_EQ((*sources)[1].location, "/srv/local.txt");
  EXPECT_EQ((*sources)[1].format, ListFormat::guess);
  EXPECT_EQ((*sources)[2].line, 5u);

  const std::map<std::string, std::string> bad = {
      {"ftp://lists.example/x.txt\n", "line 1: only http:// and https://"},
      {"\nhttps://a.example/x hostz\n", "line 2: unknown format \"hostz\""},
      {"a b c\n", "line 1: expected"},
  };
  for (const auto& [text, message] : bad) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parseSources(text, error).has_value());
    EXPECT_EQ(error.rfind(message, 0), 0u) << error;
  }
  EXPECT_NE(cachePath("/c", "https://a.example/x"), cachePath("/c", "https://a.example/y"));
  EXPECT_EQ(cachePath("/c", "https://a.example/x"), cachePath("/c", "https://a.example/x"));
}

// The runs a subscription goes through: first read, no change, a failing list, a list that
// changes while another fails, a list never read, an error page instead of a list.
TEST(RunUpdate, NeverLosesAListThatOnceCameIn) {
  testing::TempDir dir;
  std::map<std::string, std::string> served = {{"https://a.example/1", "0.0.0.0 one.example\n"},
                                               {"https://a.example/2", "two.example\n"}};
  const ListFetcher fetch = [&](const ListSource& source, std::string& text) -> std::string {
    const auto it = served.find(source.location);
    if (it == served.end()) return "HTTP 404";
    text = it->second;
    return {};
  };
  testing::writeFile(dir / "sources", "https://a.example/1 hosts\nhttps://a.example/2\n");
  const UpdateOptions options{dir / "sources", dir / "rules.json", dir / "cache", ::geteuid()};
  struct Run {
    int status;
    UpdateOutcome outcome;
    std::string messages;
  };
  const auto update = [&] {
    std::ostringstream err;
    Run run;
    run.status = runUpdate(options, fetch, err, &run.outcome);
    run.messages = err.str();
    return run;
  };
  Run r = update();
  ASSERT_EQ(r.status, 0) << r.messages;
  EXPECT_TRUE(r.outcome.written);
  const std::string first = rulesFileText({"one.example", "two.example"});
  EXPECT_EQ(testing::readFile(dir / "rules.json"), first);
  r = update();
  EXPECT_EQ(r.status, 0) << r.messages;
  EXPECT_TRUE(r.outcome.unchanged);
  EXPECT_FALSE(r.outcome.written);

  served.erase("https://a.example/2");
  r = update();
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.messages, HasSubstr("https://a.example/2 failed (HTTP 404); using its last good"));
  EXPECT_FALSE(r.outcome.written);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), first);

  served["https://a.example/1"] = "0.0.0.0 one.example three.example\n";
  r = update();
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.outcome.written);
  EXPECT_EQ(r.outcome.failed.size(), 1u);
  const std::string second = rulesFileText({"one.example", "three.example", "two.example"});
  EXPECT_EQ(testing::readFile(dir / "rules.json"), second);

  // An error page counts for nothing: the lines read are the two lists' own.
  served["https://a.example/2"] = "<html><body>Please log in</body></html>\n";
  r = update();
  EXPECT_EQ(r.status, 1);
  ASSERT_TRUE(r.outcome.imported.has_value());
  EXPECT_EQ(r.outcome.imported->lines, 2u);
  EXPECT_EQ(r.outcome.imported->skippedTotal(), 0u);
  testing::writeFile(dir / "sources",
                     "https://a.example/1 hosts\nhttps://a.example/2\nhttps://a.example/new\n");
  r = update();
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.messages, HasSubstr("https://a.example/2 failed (no host names in it"));
  EXPECT_THAT(r.messages, HasSubstr("https://a.example/new failed (HTTP 404) and was never read"));
  EXPECT_FALSE(r.outcome.written);
  EXPECT_EQ(r.outcome.failed.size(), 2u);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), second);

  testing::writeFile(dir / "sources", "https://a.example/1 hostz\n");
  r = update();
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.messages, HasSubstr("unknown format"));
  EXPECT_EQ(testing::readFile(dir / "rules.json"), second);
}

// What update reads decides the rules: a sources file, or a list it names by path, that someone
// else could change is not used, as the daemon does not use such a rules file.
TEST(RunUpdate, InputsOthersCouldChangeAreNotUsed) {
  struct Case {
    const char* name;
    mode_t sourcesMode;
    mode_t directoryMode;
    mode_t listMode;
    mode_t cacheMode;
    std::string message;  // a part of what it says
    bool written;         // the rules file: from the list, or from its last good copy
    int status = 1;
    bool anotherUser = false;  // run as a user who owns none of it (only root can make its files)
  };
  const std::vector<Case> cases = {
      {"all safe", 0644, 0755, 0644, 0755, "wrote", true, 0},
      {"sources group-writable", 0664, 0755, 0644, 0755, "is not used: file", false},
      {"their directory world-writable", 0644, 0777, 0644, 0755, "is not used: directory", false},
      {"a list world-writable", 0644, 0755, 0666, 0755, "using its last good copy", true},
      // A copy planted where others may write is no last good copy.
      {"a list world-writable, its copy too", 0644, 0755, 0666, 0777, "copy is not used: directory",
       false},
      // Root's files are as good as the user's own: anyone may build rules from the system's list.
      {"root's, run by another user", 0644, 0755, 0644, 0755, "wrote", true, 0, true},
      {"root's but group-writable, run by another user", 0664, 0755, 0644, 0755,
       "writable by its group", false, 1, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.anotherUser && ::geteuid() != 0) continue;
    testing::TempDir dir;
    const auto etc = dir / "etc";
    fs::create_directory(etc);
    const std::string list = (etc / "local.txt").string();
    testing::writeFile(list, "local.example\n", c.listMode);
    testing::writeFile(etc / "sources", list + "\n", c.sourcesMode);
    ::chmod(etc.c_str(), c.directoryMode);
    fs::create_directory(dir / "cache");
    testing::writeFile(cachePath(dir / "cache", list), "copy.example\n");
    ::chmod((dir / "cache").c_str(), c.cacheMode);
    std::ostringstream err;
    const uid_t user = c.anotherUser ? 65534 : ::geteuid();
    const int status =
        runUpdate({etc / "sources", dir / "rules.json", dir / "cache", user}, fetchList, err);
    EXPECT_EQ(status, c.status);
    EXPECT_THAT(err.str(), HasSubstr(c.message));
    EXPECT_EQ(fs::exists(dir / "rules.json"), c.written) << err.str();
  }
}

TEST(FetchList, PathsAndUnreachableUrls) {
  testing::TempDir dir;
  testing::writeFile(dir / "list.txt", "a.example\n");
  std::string text;
  EXPECT_EQ(fetchList({(dir / "list.txt").string()}, text), "");
  EXPECT_EQ(text, "a.example\n");
  EXPECT_NE(fetchList({(dir / "missing.txt").string()}, text), "");
  EXPECT_NE(fetchList({dir.path().string()}, text), "");
  // Port 1 on loopback: refused at once, no traffic leaves the machine.
  EXPECT_NE(fetchList({"http://127.0.0.1:1/list.txt"}, text), "");
}

}  // namespace
}  // namespace quillnest::linuxhost
