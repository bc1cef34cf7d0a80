#include "hosts/linux/control/rules_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <vector>

#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using testing::eventually;
using ::testing::HasSubstr;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

const std::string kValid = R"({"isEnabled":true,"domains":["example.com"]})";
const std::string kOther = R"({"isEnabled":true,"domains":["example.org"]})";
const std::string kInvalid = R"({"isEnabled":"yes","domains":[]})";

// The sink is called from the watch thread too.
struct Warnings {
  std::mutex mutex;
  std::vector<std::string> lines;
  WarningSink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex);
      lines.push_back(line);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex);
    return std::exchange(lines, {});
  }
};

RulesFileOptions testOptions() { return {.trustedOwner = ::geteuid()}; }

// The "filterRules" bytes, or none without a vendor dictionary.
std::optional<std::string> rulesText(const ConfigurationRef& configuration) {
  if (!configuration->vendorConfiguration()) return std::nullopt;
  const auto& bytes = std::get<Bytes>(configuration->vendorConfiguration()->at("filterRules"));
  return std::string(bytes.begin(), bytes.end());
}

// Makes path a link to a link ... to a file holding text, each in a directory of its own beside
// path's directory (name, mode), the last one the file's.
std::function<void(const fs::path&)> linkTo(std::vector<std::pair<std::string, mode_t>> hops,
                                            std::string text) {
  return [=](const fs::path& path) {
    fs::path from = path;
    for (std::size_t i = 0; i < hops.size(); ++i) {
      const fs::path directory = path.parent_path().parent_path() / hops[i].first;
      fs::create_directory(directory);
      const fs::path to = directory / ("hop" + std::to_string(i));
      if (i + 1 == hops.size()) writeFile(to, text);
      fs::create_symlink(to, from);
      ASSERT_EQ(::chmod(directory.c_str(), hops[i].second), 0);
      from = to;
    }
  };
}

// What current() hands the provider and warns, and what refusal() says, for each state of the file
// and its directory.
TEST(RulesFile, EachStateGivesItsConfigurationWarningAndRefusal) {
  const auto write = [](const std::string& text, mode_t mode = 0644) {
    return [=](const fs::path& p) { writeFile(p, text, mode); };
  };
  const std::string me = "owned by uid " + std::to_string(::geteuid());
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> prepare;
    std::optional<std::string> text;  // none: no vendor dictionary
    std::string warning;              // a part of the one warning; empty: no warning
    std::string refusal;              // a part of the refusal; empty: accepted
    mode_t directoryMode = 0755;
    uid_t trustedOwner = ::geteuid();
    bool root = false;        // only root can give a file away
    mode_t aboveMode = 0700;  // of the directory above the file's
  };
  const std::vector<Case> cases = {
      {"missing", [](const fs::path&) {}, std::nullopt, "No rules file at", ""},
      {"valid", write(kValid), kValid, "", ""},
      {"read-only", write(kValid, 0400), kValid, "", "", 0700},
      {"invalid", write(kInvalid), kInvalid, "\"isEnabled\" is a string", ""},
      {"empty", write(""), "", "empty", ""},
      {"not JSON", write("isEnabled: true\n"), "isEnabled: true\n", "not valid JSON", ""},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, std::nullopt,
       "not a regular file", ""},
      {"group-writable file", write(kValid, 0620), std::nullopt, "by its group (mode 0620)",
       "by its group (mode 0620)"},
      {"world-writable file", write(kValid, 0666), std::nullopt, "by everyone (mode 0666)",
       "by everyone (mode 0666)"},
      {"group-writable directory", write(kValid), std::nullopt, "by its group (mode 0775)",
       "by its group (mode 0775)", 0775},
      {"world-writable directory, no file", [](const fs::path&) {}, std::nullopt,
       "No rules file at", "by everyone (mode 0777)", 0777},
      {"sticky world-writable directory", write(kValid), std::nullopt, "by everyone (mode 1777)",
       "by everyone (mode 1777)", 01777},
      {"owner not the trusted one", write(kValid), std::nullopt, me, me, 0755, ::geteuid() + 1},
      {"given away by root",
       [](const fs::path& p) {
         writeFile(p, kValid);
         ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
       },
       std::nullopt, "owned by uid 65534, not root", "owned by uid 65534, not root", 0755, 0, true},
      {"link into a safe directory", linkTo({{"lists", 0755}}, kValid), kValid, "", ""},
      {"link into a world-writable directory", linkTo({{"lists", 0777}}, kValid), std::nullopt,
       "lists (where", "by everyone (mode 0777)"},
      // The middle link could be pointed elsewhere by the group.
      {"link to a link in a group-writable directory",
       linkTo({{"links", 0775}, {"lists", 0755}}, kValid), std::nullopt, "links (where",
       "by its group (mode 0775)"},
      {"link to a link, both directories safe", linkTo({{"links", 0755}, {"lists", 0755}}, kValid),
       kValid, "", ""},
      // Whoever may write a directory above may move the file's away and put another in its place.
      {"group-writable directory above", write(kValid), std::nullopt, "(above",
       "by its group (mode 0770)", 0755, ::geteuid(), false, 0770},
      {"sticky world-writable directory above", write(kValid), kValid, "", "", 0755, ::geteuid(),
       false, 01777},
      {"directory above given away by root",
       [](const fs::path& p) {
         writeFile(p, kValid);
         ASSERT_EQ(::chown(p.parent_path().parent_path().c_str(), 65534, 65534), 0);
       },
       std::nullopt, "(above", "owned by uid 65534, not root", 0755, 0, true},
      // The directory is a link into a safe directory whose own holder the group may write.
      {"directory link into a group-writable directory",
       [](const fs::path& p) {
         const fs::path shared = p.parent_path().parent_path() / "shared";
         fs::remove(p.parent_path());
         fs::create_directories(shared / "quillnest");
         writeFile(shared / "quillnest" / p.filename(), kValid);
         fs::create_directory_symlink(shared / "quillnest", p.parent_path());
         ASSERT_EQ(::chmod(shared.c_str(), 0775), 0);
       },
       std::nullopt, "shared (above", "by its group (mode 0775)"},
      // In a sticky directory others may still re-point a link of their own.
      {"another user's directory link in a sticky directory above",
       [](const fs::path& p) {
         const fs::path real = p.parent_path().parent_path() / "real";
         fs::remove(p.parent_path());
         fs::create_directory(real);
         writeFile(real / p.filename(), kValid);
         fs::create_directory_symlink(real, p.parent_path());
         ASSERT_EQ(::lchown(p.parent_path().c_str(), 65534, 65534), 0);
       },
       std::nullopt, "(above", "owned by uid 65534, not root, in", 0755, 0, true, 01777},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.root && ::geteuid() != 0) continue;
    TempDir dir;
    const fs::path path = dir / "quillnest" / "filter-rules.json";
    fs::create_directory(path.parent_path());
    c.prepare(path);
    ASSERT_EQ(::chmod(path.parent_path().c_str(), c.directoryMode), 0);
    ASSERT_EQ(::chmod(dir.path().c_str(), c.aboveMode), 0);
    RulesFileOptions options = testOptions();
    options.trustedOwner = c.trustedOwner;
    Warnings warnings;
    RulesFileConfiguration rules(path, warnings.sink(), options);
    const ConfigurationRef configuration = rules.current();
    rules.warnIfUndecodable();  // what the daemon does when the filter found the file unusable
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(rulesText(configuration), c.text);
    const auto lines = warnings.take();
    EXPECT_EQ(lines.size(), c.warning.empty() ? 0u : 1u);
    for (const auto& line : lines)
      EXPECT_THAT(line, AllOf(HasSubstr(path.string()), HasSubstr(c.warning)));
    // What status gives as the reason blocking is off.
    EXPECT_EQ(rules.problem().empty(), c.warning.empty());
    EXPECT_THAT(rules.problem(), HasSubstr(c.warning));
    const std::string refusal = rules.refusal().value_or("");
    EXPECT_EQ(refusal.empty(), c.refusal.empty()) << refusal;
    EXPECT_THAT(refusal, HasSubstr(c.refusal));
  }
}

// True when count reaches expected within 5 s and stays there for settle.
bool reachesExactly(const std::atomic<int>& count, int expected,
                    std::chrono::milliseconds settle = 800ms) {
  if (!eventually([&] { return count.load() >= expected; })) return false;
  std::this_thread::sleep_for(settle);
  return count.load() == expected;
}

void replaceByRename(const fs::path& path, std::string_view text) {
  const auto temporary = path.parent_path() / ".filter-rules.json.tmp";
  writeFile(temporary, text);
  fs::rename(temporary, path);
}

void editInPlace(const fs::path& path, std::string_view text) {
  std::FILE* f = std::fopen(path.c_str(), "r+");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  fs::resize_file(path, text.size());
}

// A change to the file or around it, and what it must lead to.
struct Step {
  std::string name;
  std::function<void()> change;
  std::optional<std::string> text;  // what current() then gives; none: no vendor dictionary
  bool warns = false;               // reading it warns once
  int reports = 1;                  // observation reports it caused
};

// The rules file at path, with one observation counting its reports.
struct Observed {
  Warnings warnings;
  RulesFileConfiguration rules;
  std::atomic<int> calls{0};
  std::unique_ptr<NSKeyValueObservation> observation;
  explicit Observed(const fs::path& path)
      : rules(path, warnings.sink(), testOptions()),
        observation(rules.observe([this] { ++calls; })) {}

  // Makes each change in turn; after each, calls must have grown by its reports and stayed there,
  // and the file read as the step says.
  void run(const std::vector<Step>& steps) {
    int expected = calls.load();
    for (const auto& step : steps) {
      SCOPED_TRACE(step.name);
      step.change();
      expected += step.reports;
      ASSERT_TRUE(reachesExactly(calls, expected)) << "calls: " << calls.load();
      EXPECT_EQ(rulesText(rules.current()), step.text);
      rules.warnIfUndecodable();  // what the daemon does when the filter found the file unusable
      EXPECT_EQ(warnings.take().size(), step.warns ? 1u : 0u);
      EXPECT_EQ(rules.problem().empty(), !step.warns);
    }
  }
};

TEST(RulesFileObservation, EachKindOfChangeIsReportedOnce) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  Observed observed(path);
  RulesFileConfiguration& rules = observed.rules;
  std::atomic<int> otherCalls{0};
  auto other = rules.observe([&] { ++otherCalls; });
  // Never at installation.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(observed.calls.load(), 0);
  observed.run({
      // SIGHUP: once for every live observation.
      {"reload", [&] { rules.reload(); }, kValid},
      {"reload after the other observation is gone",
       [&] {
         other.reset();
         rules.reload();
       },
       kValid},
      {"replaced by rename", [&] { replaceByRename(path, kOther); }, kOther},
      {"edited in place", [&] { editInPlace(path, kValid); }, kValid},
      // A vim-style save: the old file moved to a backup, a new one written under the name.
      {"saved with a backup",
       [&] {
         fs::rename(path, path.string() + "~");
         writeFile(path, kOther);
         fs::remove(path.string() + "~");
       },
       kOther},
      {"other files in the directory",
       [&] {
         writeFile(dir / "filter-rules.json.bak", kValid);
         writeFile(dir / "other.json", kValid);
         fs::remove(dir / "other.json");
       },
       kOther, false, 0},
      {"a burst of writes",
       [&] {
         for (int i = 0; i < 20; ++i) replaceByRename(path, i % 2 ? kOther : kValid);
       },
       kOther},
      {"removed", [&] { fs::remove(path); }, std::nullopt, true},
      {"recreated", [&] { writeFile(path, kValid); }, kValid},
      {"made invalid", [&] { replaceByRename(path, kInvalid); }, kInvalid, true},
      {"made valid again", [&] { editInPlace(path, kValid); }, kValid},
      {"made world-writable", [&] { ::chmod(path.c_str(), 0666); }, std::nullopt, true},
      {"made safe again", [&] { ::chmod(path.c_str(), 0644); }, kValid},
      {"its directory made group-writable", [&] { ::chmod(dir.path().c_str(), 0775); },
       std::nullopt, true},
      {"its directory safe again", [&] { ::chmod(dir.path().c_str(), 0755); }, kValid},
      // Through a second name in another directory, which no watch of a directory sees.
      {"edited in place through a hard link",
       [&] {
         fs::create_directory(dir / "elsewhere");
         fs::create_hard_link(path, dir / "elsewhere" / "rules.json");
         editInPlace(dir / "elsewhere" / "rules.json", kOther);
       },
       kOther},
      {"moved away", [&] { fs::rename(path, dir / "elsewhere.json"); }, std::nullopt, true},
      {"its old hard link edited", [&] { editInPlace(dir / "elsewhere" / "rules.json", kValid); },
       std::nullopt, true, 0},
  });
  EXPECT_EQ(otherCalls.load(), 1);
}

// A writer that pauses longer than a burst may last, before it closes the file: what is there
// before the close is only part of the file. Its close is waited for, up to a bound.
TEST(RulesFileObservation, WaitsForAWriterThatPausesUntilItCloses) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  Warnings warnings;
  RulesFileOptions options = testOptions();
  options.writingQuietPeriod = 100ms;
  options.maximumDelay = 200ms;
  options.writerMaximumDelay = 1500ms;
  RulesFileConfiguration rules(path, warnings.sink(), options);
  std::atomic<int> calls{0};
  std::optional<std::string> seen;
  auto observation = rules.observe([&] {
    seen = rulesText(rules.current());
    ++calls;
  });
  const std::string text = kOther;
  for (const auto pause : {500ms, 2500ms}) {
    SCOPED_TRACE(pause.count());
    const int before = calls.load();
    std::FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size() / 2, f);
    std::fflush(f);
    std::this_thread::sleep_for(pause);
    std::fwrite(text.data() + text.size() / 2, 1, text.size() - text.size() / 2, f);
    std::fclose(f);
    if (pause < options.writerMaximumDelay) {
      // One report, of the whole file.
      ASSERT_TRUE(reachesExactly(calls, before + 1, 400ms));
      EXPECT_EQ(seen, text);
    } else {
      // Read at the bound (half a file: blocking off), then again at the close.
      ASSERT_TRUE(reachesExactly(calls, before + 2, 400ms));
      EXPECT_EQ(seen, text);
      EXPECT_EQ(warnings.take().size(), 0u);
    }
  }
}

// A rules file that is a link: the file it leads to is watched, wherever the link points. Made a
// plain file, its name is followed when a tool puts a new directory where its own was.
TEST(RulesFileObservation, FollowsTheNameThroughLinksAndReplacedDirectories) {
  TempDir dir;
  for (const char* d : {"etc", "lists", "other"}) fs::create_directory(dir / d);
  const auto path = dir / "etc" / "filter-rules.json";
  const auto target = dir / "lists" / "rules.json";
  const auto second = dir / "other" / "rules.json";
  writeFile(target, kValid);
  writeFile(second, kValid);
  fs::create_symlink(target, path);
  Observed observed(path);
  const auto repoint = [&](const fs::path& to) {
    fs::create_symlink(to, dir / "etc" / ".link.tmp");
    fs::rename(dir / "etc" / ".link.tmp", path);
  };
  observed.run({
      {"the file it leads to edited in place", [&] { editInPlace(target, kOther); }, kOther},
      {"that file replaced by rename", [&] { replaceByRename(target, kInvalid); }, kInvalid, true},
      {"another file beside it", [&] { writeFile(dir / "lists" / "x.json", kValid); }, kInvalid,
       true, 0},
      {"the link pointed elsewhere", [&] { repoint(second); }, kValid},
      {"the directory it leads into made group-writable",
       [&] { ::chmod((dir / "other").c_str(), 0775); }, std::nullopt, true},
      {"that directory safe again", [&] { ::chmod((dir / "other").c_str(), 0755); }, kValid},
      {"the file it no longer leads to edited", [&] { editInPlace(target, kOther); }, kValid, false,
       0},
      {"the file it now leads to edited", [&] { editInPlace(second, kOther); }, kOther},
      {"the directory it leads into removed", [&] { fs::remove_all(dir / "other"); }, std::nullopt,
       true},
      {"that directory back with the file",
       [&] {
         fs::create_directory(dir / "other");
         ::chmod((dir / "other").c_str(), 0755);
         writeFile(second, kValid);
       },
       kValid},
      {"the link made a plain file", [&] { replaceByRename(path, kOther); }, kOther},
      // Once for the move, once when the new directory is watched.
      {"its directory moved aside, a new one in its place",
       [&] {
         fs::rename(dir / "etc", dir / "etc.old");
         fs::create_directory(dir / "etc");
         writeFile(path, kValid);
       },
       kValid, false, 2},
      {"the file in the new one replaced", [&] { replaceByRename(path, kOther); }, kOther},
      {"the old one's file edited", [&] { editInPlace(dir / "etc.old" / path.filename(), kValid); },
       kOther, false, 0},
  });
}

TEST(RulesFileObservation, WatchesADirectoryThatAppearsLater) {
  TempDir dir;
  const auto directory = dir / "quillnest";
  const auto path = directory / "filter-rules.json";
  Observed observed(path);
  fs::create_directory(directory);
  ::chmod(directory.c_str(), 0755);
  // The directory is found again within its retry period; the file written after that is seen.
  ASSERT_TRUE(eventually([&] { return observed.calls.load() >= 1; }));
  const int before = observed.calls.load();
  writeFile(path, kValid);
  EXPECT_TRUE(reachesExactly(observed.calls, before + 1));
  EXPECT_EQ(rulesText(observed.rules.current()), kValid);
}

// No report runs once invalidate() has returned, and a handler may destroy its own observation.
TEST(RulesFileObservation, NoHandlerRunsAfterInvalidateReturnsOrItsOwnDestruction) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  std::atomic<bool> invalidated{false};
  std::atomic<int> lateCalls{0}, calls{0};
  auto observation = rules.observe([&] {
    calls.fetch_add(1);
    std::this_thread::sleep_for(20ms);  // widen the window for a race with invalidate
    if (invalidated.load()) lateCalls.fetch_add(1);
  });
  rules.reload();
  ASSERT_TRUE(eventually([&] { return calls.load() >= 1; }));
  rules.reload();
  std::this_thread::sleep_for(40ms);  // the second report is due about now
  observation->invalidate();
  invalidated.store(true);
  rules.reload();
  editInPlace(path, kOther);
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(lateCalls.load(), 0);
  observation->invalidate();  // twice is fine

  std::unique_ptr<NSKeyValueObservation> own;
  std::atomic<int> ownCalls{0};
  std::mutex mutex;
  own = rules.observe([&] {
    ownCalls.fetch_add(1);
    std::lock_guard lock(mutex);
    own.reset();
  });
  rules.reload();
  ASSERT_TRUE(eventually([&] { return ownCalls.load() == 1; }));
  rules.reload();
  editInPlace(path, kValid);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(ownCalls.load(), 1);
  std::lock_guard lock(mutex);
  EXPECT_EQ(own, nullptr);
}

}  // namespace
}  // namespace quillnest::linuxhost
