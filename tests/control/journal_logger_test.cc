#include "hosts/linux/control/journal_logger.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <sstream>
#include <thread>

#include "hosts/linux/control/text_escape.h"

namespace quillnest::linuxhost {
namespace {

// What a logger wrote, read back whole: a memory file, which never blocks the writer.
struct Written {
  int fd = ::memfd_create("journal", MFD_CLOEXEC);
  ~Written() { ::close(fd); }
  std::string text() const {
    std::string text(static_cast<std::size_t>(::lseek(fd, 0, SEEK_END)), '\0');
    EXPECT_EQ(::pread(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
  }
};

TEST(JournalLogger, LevelsPrivacyAndDebugSwitch) {
  struct Case {
    std::string name;
    bool debug;
    LogLevel level;
    std::string format;
    std::vector<LogArgument> arguments;
    std::string expected;  // empty: nothing written
  };
  using A = LogArgument;
  using Args = std::vector<LogArgument>;
  const std::string settings = "Unable to apply filter settings: %s";
  const std::string blocked = "Blocked hostname: %{public}s";
  const std::vector<Case> cases = {
      {"default line", false, LogLevel::defaultLevel,
       "Rules updated: enabled=%{bool}d domains=%ld reset_flows=%ld",
       Args{A::int32(1), A::int64(3), A::int64(0)},
       "<5>Rules updated: enabled=true domains=3 reset_flows=0\n"},
      {"error line hides a private string", false, LogLevel::error, settings,
       Args{A::string("queue busy")}, "<3>Unable to apply filter settings: <private>\n"},
      {"debug shows private strings", true, LogLevel::error, settings,
       Args{A::string("queue busy")}, "<3>Unable to apply filter settings: queue busy\n"},
      {"debug line without --debug", false, LogLevel::debug, blocked,
       Args{A::publicString("ads.example.com")}, ""},
      {"debug line with --debug", true, LogLevel::debug, blocked,
       Args{A::publicString("ads.example.com")}, "<7>Blocked hostname: ads.example.com\n"},
      {"control characters cannot forge a line", true, LogLevel::debug, blocked,
       Args{A::publicString("a.com\n<3>forged\r")},
       "<7>Blocked hostname: a.com\\x0a<3>forged\\x0d\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Written written;
    JournalLogger logger(c.debug, written.fd);
    EXPECT_EQ(logger.isEnabled(c.level), !c.expected.empty());
    logger.log(c.level, c.format, c.arguments);
    EXPECT_EQ(written.text(), c.expected);
  }
}

TEST(AppendEscaped, ControlCharactersAlwaysQuotesOnlyWhenAsked) {
  const std::string raw("a\"b\\c\x7f\x00\x1f ~", 10);
  std::string plain = ">";
  std::string quoted;
  appendEscaped(plain, raw);
  appendEscaped(quoted, raw, true);
  EXPECT_EQ(plain, ">a\"b\\c\\x7f\\x00\\x1f ~");
  EXPECT_EQ(quoted, "a\\\"b\\\\c\\x7f\\x00\\x1f ~");
}

TEST(JournalLogger, DaemonLinesHaveTheirOwnPriorities) {
  Written written;
  JournalLogger logger(false, written.fd);
  logger.warning("Rules file /x does not load");
  logger.info("started");
  logger.writeLine(12, "clamped");
  EXPECT_EQ(written.text(), "<4>Rules file /x does not load\n<6>started\n<7>clamped\n");
}

TEST(JournalLogger, LinesFromManyThreadsStayWhole) {
  Written written;
  JournalLogger logger(true, written.fd);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string name(100 + t, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        logger.log(LogLevel::debug, "Blocked hostname: %{public}s",
                   {LogArgument::publicString(name)});
      }
    });
  }
  for (auto& thread : threads) thread.join();
  std::istringstream text(written.text());
  std::size_t lines = 0;
  for (std::string line; std::getline(text, line); ++lines) {
    ASSERT_FALSE(line.empty());
    const char c = line.back();
    ASSERT_EQ(line, "<7>Blocked hostname: " + std::string(100 + c - 'a', c)) << "interleaved";
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace quillnest::linuxhost
