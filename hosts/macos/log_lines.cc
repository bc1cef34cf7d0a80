#include "hosts/macos/log_lines.h"

#include <array>
#include <cstdint>
#include <string>

namespace quillnest::macos {
namespace {

enum class Slot { boolInt32, publicInt64, privateString, publicString };

struct LineShape {
  KnownLogLine line;
  std::string_view format;
  std::vector<Slot> slots;
};

const std::array<LineShape, 5>& shapes() {
  static const std::array<LineShape, 5> table{{
      {KnownLogLine::rulesUpdated,
       QUILLNEST_LOG_RULES_UPDATED,
       {Slot::boolInt32, Slot::publicInt64, Slot::publicInt64}},
      {KnownLogLine::settingsFailed, QUILLNEST_LOG_SETTINGS_FAILED, {Slot::privateString}},
      {KnownLogLine::filterStopped, QUILLNEST_LOG_FILTER_STOPPED, {Slot::publicInt64}},
      {KnownLogLine::blockedHostname, QUILLNEST_LOG_BLOCKED_HOSTNAME, {Slot::publicString}},
      {KnownLogLine::blockedTLSHostname, QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME, {Slot::publicString}},
  }};
  return table;
}

bool fits(Slot slot, const LogArgument& argument) {
  switch (slot) {
    case Slot::boolInt32:
      return std::holds_alternative<std::int32_t>(argument.value) && !argument.isPrivate();
    case Slot::publicInt64:
      return std::holds_alternative<std::int64_t>(argument.value) && !argument.isPrivate();
    case Slot::privateString:
      return std::holds_alternative<std::string>(argument.value) && argument.isPrivate();
    case Slot::publicString:
      return std::holds_alternative<std::string>(argument.value) && !argument.isPrivate();
  }
  return false;
}

}  // namespace

std::optional<KnownLogLine> recognizeLogLine(std::string_view format,
                                             const std::vector<LogArgument>& arguments) {
  for (const LineShape& shape : shapes()) {
    if (shape.format != format) continue;
    if (shape.slots.size() != arguments.size()) return std::nullopt;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
      if (!fits(shape.slots[i], arguments[i])) return std::nullopt;
    }
    return shape.line;
  }
  return std::nullopt;
}

}  // namespace quillnest::macos
