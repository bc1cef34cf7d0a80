#include "hosts/linux/control/journal_logger.h"

#include <unistd.h>

#include <cerrno>

#include "hosts/linux/control/text_escape.h"

namespace quillnest::linuxhost {

int syslogPriority(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return 7;
    case LogLevel::defaultLevel:
      return 5;
    case LogLevel::error:
      return 3;
  }
  return 5;
}

void JournalLogger::log(LogLevel level, std::string_view format,
                        std::vector<LogArgument> arguments) {
  if (!isEnabled(level)) return;
  writeLine(syslogPriority(level), renderLogLine(format, arguments, debug_));
}

void JournalLogger::writeLine(int priority, std::string_view text) {
  std::string line;
  line.reserve(text.size() + 8);
  line.push_back('<');
  line.push_back(static_cast<char>('0' + (priority < 0 ? 0 : priority > 7 ? 7 : priority)));
  line.push_back('>');
  appendEscaped(line, text);
  line.push_back('\n');

  // One write per line; the lock keeps lines whole when the journal's stream is slow to take them.
  std::lock_guard lock(mutex_);
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(fd_, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere to log to: nothing better to do
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace quillnest::linuxhost
