// The log and notification facilities the host gives the provider.
//
// A log line is a format plus typed arguments, each with its privacy mark, so that every host can
// keep the distinction its own log makes (the unified log redacts private arguments, the journal
// host prints "<private>"), and tests can compare exact lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace quillnest {

enum class LogLevel { debug, defaultLevel, error };

enum class Privacy {
  automatic,  // no qualifier in the format: strings are private, numbers public
  publicData,
  privateData,
};

struct LogArgument {
  std::variant<std::int32_t, std::int64_t, std::string> value;
  Privacy privacy = Privacy::automatic;

  static LogArgument int32(std::int32_t v) { return {v, Privacy::automatic}; }
  static LogArgument int64(std::int64_t v) { return {v, Privacy::automatic}; }
  static LogArgument publicString(std::string v) { return {std::move(v), Privacy::publicData}; }
  static LogArgument string(std::string v) { return {std::move(v), Privacy::automatic}; }

  // True when the log must not show the value in clear text.
  bool isPrivate() const {
    if (privacy == Privacy::automatic) return std::holds_alternative<std::string>(value);
    return privacy == Privacy::privateData;
  }
  friend bool operator==(const LogArgument&, const LogArgument&) = default;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual bool isEnabled(LogLevel level) const = 0;
  virtual void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) = 0;
};

// Posts named notifications without payload (notify_post on the platform).
class Notifier {
 public:
  virtual ~Notifier() = default;
  virtual void post(std::string_view name) = 0;
};

// Renders a line the way a plain-text log shows it: "%{bool}d" as true/false, "%ld" and "%d" as
// numbers, strings as text or "<private>" unless showPrivate.
std::string renderLogLine(std::string_view format, const std::vector<LogArgument>& arguments,
                          bool showPrivate);

}  // namespace quillnest
