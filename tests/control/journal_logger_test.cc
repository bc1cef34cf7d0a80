#include "hosts/linux/control/journal_logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "hosts/linux/control/text_escape.h"

namespace quillnest::linuxhost {
namespace {

// Collects what a logger writes into a pipe.
class Pipe {
 public:
  Pipe() {
    EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
    ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20);
  }
  ~Pipe() {
    ::close(fds_[0]);
    ::close(fds_[1]);
  }
  int writeEnd() const { return fds_[1]; }
  std::string drain() {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }

 private:
  int fds_[2];
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
  const std::vector<Case> cases = {
      {"default line",
       false,
       LogLevel::defaultLevel,
       "Rules updated: enabled=%{bool}d domains=%ld reset_flows=%ld",
       {LogArgument::int32(1), LogArgument::int64(3), LogArgument::int64(0)},
       "<5>Rules updated: enabled=true domains=3 reset_flows=0\n"},
      {"error line hides a private string",
       false,
       LogLevel::error,
       "Unable to apply filter settings: %s",
       {LogArgument::string("queue busy")},
       "<3>Unable to apply filter settings: <private>\n"},
      {"debug shows private strings",
       true,
       LogLevel::error,
       "Unable to apply filter settings: %s",
       {LogArgument::string("queue busy")},
       "<3>Unable to apply filter settings: queue busy\n"},
      {"debug line without --debug",
       false,
       LogLevel::debug,
       "Blocked hostname: %{public}s",
       {LogArgument::publicString("ads.example.com")},
       ""},
      {"debug line with --debug",
       true,
       LogLevel::debug,
       "Blocked hostname: %{public}s",
       {LogArgument::publicString("ads.example.com")},
       "<7>Blocked hostname: ads.example.com\n"},
      {"control characters cannot forge a line",
       true,
       LogLevel::debug,
       "Blocked TLS hostname: %{public}s",
       {LogArgument::publicString("a.com\n<3>forged\r")},
       "<7>Blocked TLS hostname: a.com\\x0a<3>forged\\x0d\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Pipe pipe;
    JournalLogger logger(c.debug, pipe.writeEnd());
    EXPECT_EQ(logger.isEnabled(c.level), !c.expected.empty());
    logger.log(c.level, c.format, c.arguments);
    EXPECT_EQ(pipe.drain(), c.expected);
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
  Pipe pipe;
  JournalLogger logger(false, pipe.writeEnd());
  logger.warning("Rules file /x does not load");
  logger.info("started");
  logger.writeLine(12, "clamped");
  EXPECT_EQ(pipe.drain(), "<4>Rules file /x does not load\n<6>started\n<7>clamped\n");
}

TEST(JournalLogger, LinesFromManyThreadsStayWhole) {
  Pipe pipe;
  JournalLogger logger(true, pipe.writeEnd());
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
  const std::string text = pipe.drain();
  std::size_t lines = 0;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    const std::string line = text.substr(start, end - start);
    const std::string prefix = "<7>Blocked hostname: ";
    ASSERT_EQ(line.substr(0, prefix.size()), prefix);
    const std::string name = line.substr(prefix.size());
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(name, std::string(name.size(), name[0])) << "interleaved line";
    EXPECT_EQ(name.size(), 100u + static_cast<std::size_t>(name[0] - 'a'));
    ++lines;
    start = end + 1;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
}  // namespace quillnest::linuxhost
