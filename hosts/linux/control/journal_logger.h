// Log lines for systemd's journal: stderr, one line per write(2), each line prefixed with its
// syslog priority ("<7>" ...) so journald files it at that priority.
//
// Levels: debug -> <7> (debug), default -> <5> (notice), error -> <3> (err). The daemon's own
// warnings (a rules file that does not load, unsafe permissions) are <4> (warning), and its
// start-up and shutdown lines <6> (info).
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "host/logging.h"

namespace quillnest::linuxhost {

int syslogPriority(LogLevel level);

class JournalLogger final : public Logger {
 public:
  // debug: debug lines are written and private arguments shown in clear text.
  explicit JournalLogger(bool debug, int fd = 2) : debug_(debug), fd_(fd) {}

  bool isEnabled(LogLevel level) const override { return level != LogLevel::debug || debug_; }
  void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) override;

  void warning(std::string_view text) { writeLine(4, text); }
  void info(std::string_view text) { writeLine(6, text); }
  // One line at a syslog priority (0-7). Control characters in text are escaped ("\x0a"), so a
  // host name cannot start a forged line of its own.
  void writeLine(int priority, std::string_view text);
  // A line already rendered, at the priority of its level.
  void writeLine(LogLevel level, std::string_view text) { writeLine(syslogPriority(level), text); }

 private:
  bool debug_;
  int fd_;
  std::mutex mutex_;
};

}  // namespace quillnest::linuxhost
