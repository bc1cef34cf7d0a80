#include "hosts/linux/control/rules_file.h"

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
using testing::eventually;
using testing::TempDir;
using testing::writeFile;

constexpr std::string_view kValid = R"({"isEnabled":true,"domains":["example.com"]})";
constexpr std::string_view kOther = R"({"isEnabled":true,"domains":["example.org"]})";
constexpr std::string_view kInvalid = R"({"isEnabled":"yes","domains":[]})";

class Warnings {
 public:
  WarningSink sink() {
    return [this](const std::string& line) {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    };
  }
  std::vector<std::string> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(lines_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

RulesFileOptions testOptions() {
  RulesFileOptions options;
  options.trustedOwner = ::geteuid();
  return options;
}

std::optional<Bytes> filterRulesBytes(const ConfigurationRef& configuration) {
  if (!configuration || !configuration->vendorConfiguration()) return std::nullopt;
  const auto& vendor = *configuration->vendorConfiguration();
  const auto it = vendor.find("filterRules");
  if (it == vendor.end()) return std::nullopt;
  return std::get<Bytes>(it->second);
}

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

TEST(RulesFileCurrent, FileStatesGiveTheirConfigurationAndWarnings) {
  struct Case {
    std::string name;
    std::function<void(const std::filesystem::path&)> prepare;
    bool hasVendor;
    std::string bytes;
    std::string warningPart;  // empty: no warning
  };
  const std::vector<Case> cases = {
      {"missing", [](const auto&) {}, false, "", ""},
      {"valid", [](const auto& p) { writeFile(p, kValid); }, true, std::string(kValid), ""},
      {"invalid", [](const auto& p) { writeFile(p, kInvalid); }, true, std::string(kInvalid),
       "\"isEnabled\" is a string"},
      {"empty", [](const auto& p) { writeFile(p, ""); }, true, "", "empty"},
      {"not JSON", [](const auto& p) { writeFile(p, "isEnabled: true\n"); }, true,
       "isEnabled: true\n", "not valid JSON"},
      {"directory", [](const auto& p) { std::filesystem::create_directory(p); }, false, "",
       "not a regular file"},
      {"group writable", [](const auto& p) { writeFile(p, kValid, 0664); }, false, "",
       "writable by its group"},
      {"world writable", [](const auto& p) { writeFile(p, kValid, 0666); }, false, "",
       "writable by everyone"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto path = dir / "filter-rules.json";
    c.prepare(path);
    Warnings warnings;
    RulesFileConfiguration rules(path, warnings.sink(), testOptions());
    const ConfigurationRef configuration = rules.current();
    ASSERT_NE(configuration, nullptr);
    EXPECT_EQ(configuration->vendorConfiguration().has_value(), c.hasVendor);
    if (c.hasVendor) {
      EXPECT_EQ(filterRulesBytes(configuration), bytesOf(c.bytes));
    }
    const auto lines = warnings.take();
    if (c.warningPart.empty()) {
      EXPECT_TRUE(lines.empty()) << lines.front();
    } else {
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_NE(lines[0].find(path.string()), std::string::npos) << lines[0];
      EXPECT_NE(lines[0].find(c.warningPart), std::string::npos) << lines[0];
    }
  }
}

TEST(RulesFileRefusal, FilesAndDirectoriesOthersCanWriteAreRefused) {
  struct Case {
    std::string name;
    mode_t directoryMode;
    std::optional<mode_t> fileMode;  // none: no file
    std::string refusalPart;         // empty: accepted
  };
  const std::vector<Case> cases = {
      {"safe file", 0755, 0644, ""},
      {"read-only file", 0700, 0400, ""},
      {"no file in a safe directory", 0755, std::nullopt, ""},
      {"group-writable file", 0755, 0620, "file"},
      {"world-writable file", 0755, 0602, "file"},
      {"group-writable directory", 0775, 0644, "directory"},
      {"world-writable directory, no file", 0777, std::nullopt, "directory"},
      {"sticky world-writable directory", 01777, 0644, "directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const auto directory = dir / "quillnest";
    std::filesystem::create_directory(directory);
    const auto path = directory / "filter-rules.json";
    if (c.fileMode) writeFile(path, kValid, *c.fileMode);
    ASSERT_EQ(::chmod(directory.c_str(), c.directoryMode), 0);
    RulesFileConfiguration rules(path, {}, testOptions());
    const auto refusal = rules.refusal();
    if (c.refusalPart.empty()) {
      EXPECT_FALSE(refusal.has_value()) << *refusal;
    } else {
      ASSERT_TRUE(refusal.has_value());
      EXPECT_NE(refusal->find(c.refusalPart), std::string::npos) << *refusal;
    }
  }
}

TEST(RulesFileRefusal, OwnerOtherThanTheTrustedOneIsRefused) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileOptions options = testOptions();
  options.trustedOwner = ::geteuid() + 1;  // the file and directory now belong to "someone else"
  Warnings warnings;
  RulesFileConfiguration rules(path, warnings.sink(), options);
  const auto refusal = rules.refusal();
  ASSERT_TRUE(refusal.has_value());
  EXPECT_NE(refusal->find("owned by uid " + std::to_string(::geteuid())), std::string::npos);
  // On reload the same file is a warning and no configuration.
  EXPECT_FALSE(rules.current()->vendorConfiguration().has_value());
  ASSERT_EQ(warnings.take().size(), 1u);
}

TEST(RulesFileRefusal, FileChownedToAnotherUserIsRefusedByRoot) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
  RulesFileConfiguration rules(path, {}, RulesFileOptions{});
  const auto refusal = rules.refusal();
  ASSERT_TRUE(refusal.has_value());
  EXPECT_NE(refusal->find("owned by uid 65534, not root"), std::string::npos) << *refusal;
}

// Counts handler calls and lets a test wait for them with bounds.
class ChangeCounter {
 public:
  std::function<void()> handler() {
    return [this] { calls_.fetch_add(1); };
  }
  int calls() const { return calls_.load(); }
  // True when the count reaches expected within the bound and stays there for settle.
  bool reachesExactly(int expected, std::chrono::milliseconds settle = 800ms) const {
    if (!eventually([&] { return calls() >= expected; }, 5s)) return false;
    std::this_thread::sleep_for(settle);
    return calls() == expected;
  }

 private:
  std::atomic<int> calls_{0};
};

void replaceByRename(const std::filesystem::path& path, std::string_view text) {
  const auto temporary = path.parent_path() / ".filter-rules.json.tmp";
  writeFile(temporary, text);
  std::filesystem::rename(temporary, path);
}

void editInPlace(const std::filesystem::path& path, std::string_view text) {
  std::FILE* f = std::fopen(path.c_str(), "r+");
  ASSERT_NE(f, nullptr);
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  std::filesystem::resize_file(path, text.size());
}

// A vim-style save: the old file moved to a backup, a new one written under the name.
void saveWithBackup(const std::filesystem::path& path, std::string_view text) {
  std::filesystem::rename(path, path.string() + "~");
  writeFile(path, text);
  std::filesystem::remove(path.string() + "~");
}

TEST(RulesFileObservation, EachKindOfChangeIsReportedOnce) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  Warnings warnings;
  RulesFileConfiguration rules(path, warnings.sink(), testOptions());
  ChangeCounter counter;
  auto observation = rules.observe(counter.handler());
  // Never at installation.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(counter.calls(), 0);

  struct Step {
    std::string name;
    std::function<void()> change;
    std::optional<std::string> expectedBytes;  // none: no vendor dictionary
    bool warns;
  };
  const std::vector<Step> steps = {
      {"replaced by rename", [&] { replaceByRename(path, kOther); }, std::string(kOther), false},
      {"edited in place", [&] { editInPlace(path, kValid); }, std::string(kValid), false},
      {"saved with a backup", [&] { saveWithBackup(path, kOther); }, std::string(kOther), false},
      {"removed", [&] { std::filesystem::remove(path); }, std::nullopt, false},
      {"recreated", [&] { writeFile(path, kValid); }, std::string(kValid), false},
      {"made invalid", [&] { replaceByRename(path, kInvalid); }, std::string(kInvalid), true},
      {"made valid again", [&] { editInPlace(path, kValid); }, std::string(kValid), false},
      {"made world-writable", [&] { ::chmod(path.c_str(), 0666); }, std::nullopt, true},
      {"made safe again", [&] { ::chmod(path.c_str(), 0644); }, std::string(kValid), false},
      {"moved away", [&] { std::filesystem::rename(path, dir / "elsewhere.json"); }, std::nullopt,
       false},
  };
  int expected = 0;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    step.change();
    ++expected;
    ASSERT_TRUE(counter.reachesExactly(expected)) << "calls: " << counter.calls();
    const auto configuration = rules.current();
    if (step.expectedBytes) {
      EXPECT_EQ(filterRulesBytes(configuration), bytesOf(*step.expectedBytes));
    } else {
      EXPECT_FALSE(configuration->vendorConfiguration().has_value());
    }
    EXPECT_EQ(warnings.take().size(), step.warns ? 1u : 0u);
  }
}

TEST(RulesFileObservation, OtherFilesInTheDirectoryAreNotChanges) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  ChangeCounter counter;
  auto observation = rules.observe(counter.handler());
  writeFile(dir / "filter-rules.json.bak", kOther);
  writeFile(dir / "other.json", kOther);
  std::filesystem::remove(dir / "other.json");
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(counter.calls(), 0);
}

TEST(RulesFileObservation, BurstOfWritesIsOneChange) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  ChangeCounter counter;
  auto observation = rules.observe(counter.handler());
  for (int i = 0; i < 20; ++i) replaceByRename(path, i % 2 ? kValid : kOther);
  EXPECT_TRUE(counter.reachesExactly(1));
}

TEST(RulesFileObservation, ReloadIsOneChangeForEveryLiveObservation) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  ChangeCounter first;
  ChangeCounter second;
  auto a = rules.observe(first.handler());
  auto b = rules.observe(second.handler());
  rules.reload();
  EXPECT_TRUE(first.reachesExactly(1, 300ms));
  EXPECT_TRUE(second.reachesExactly(1, 300ms));
  b->invalidate();
  rules.reload();
  EXPECT_TRUE(first.reachesExactly(2, 300ms));
  EXPECT_EQ(second.calls(), 1);
}

TEST(RulesFileObservation, WatchesADirectoryThatAppearsLater) {
  TempDir dir;
  const auto directory = dir / "quillnest";
  const auto path = directory / "filter-rules.json";
  RulesFileConfiguration rules(path, {}, testOptions());
  ChangeCounter counter;
  auto observation = rules.observe(counter.handler());
  std::filesystem::create_directory(directory);
  ::chmod(directory.c_str(), 0755);
  // The directory is found again within its retry period; the file written after that is seen.
  ASSERT_TRUE(eventually([&] { return counter.calls() >= 1; }, 5s));
  const int before = counter.calls();
  writeFile(path, kValid);
  EXPECT_TRUE(counter.reachesExactly(before + 1));
  EXPECT_EQ(filterRulesBytes(rules.current()), bytesOf(kValid));
}

TEST(RulesFileObservation, NoHandlerRunsAfterInvalidateReturns) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  std::atomic<bool> invalidated{false};
  std::atomic<int> lateCalls{0};
  std::atomic<int> calls{0};
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
}

TEST(RulesFileObservation, DestroyingTheObservationFromItsHandlerIsSafe) {
  TempDir dir;
  const auto path = dir / "filter-rules.json";
  writeFile(path, kValid);
  RulesFileConfiguration rules(path, {}, testOptions());
  std::unique_ptr<NSKeyValueObservation> observation;
  std::atomic<int> calls{0};
  std::mutex mutex;
  observation = rules.observe([&] {
    calls.fetch_add(1);
    std::lock_guard lock(mutex);
    observation.reset();
  });
  rules.reload();
  ASSERT_TRUE(eventually([&] { return calls.load() == 1; }));
  rules.reload();
  editInPlace(path, kOther);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(calls.load(), 1);
  std::lock_guard lock(mutex);
  EXPECT_EQ(observation, nullptr);
}

}  // namespace
}  // namespace quillnest::linuxhost
