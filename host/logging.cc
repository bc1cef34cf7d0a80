#include "host/logging.h"

#include <cstddef>

namespace quillnest {
namespace {

std::string argumentText(const LogArgument& argument, bool asBool, bool showPrivate) {
  if (const auto* text = std::get_if<std::string>(&argument.value)) {
    if (argument.isPrivate() && !showPrivate) return "<private>";
    return *text;
  }
  const std::int64_t number = std::holds_alternative<std::int32_t>(argument.value)
                                  ? std::get<std::int32_t>(argument.value)
                                  : std::get<std::int64_t>(argument.value);
  if (asBool) return number != 0 ? "true" : "false";
  return std::to_string(number);
}

}  // namespace

std::string renderLogLine(std::string_view format, const std::vector<LogArgument>& arguments,
                          bool showPrivate) {
  std::string line;
  line.reserve(format.size() + 32);
  std::size_t next = 0;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      line.push_back(format[i]);
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == '%') {
      line.push_back('%');
      ++i;
      continue;
    }
    // %{qualifier}? then length modifiers, then the conversion letter.
    std::size_t j = i + 1;
    std::string_view qualifier;
    if (j < format.size() && format[j] == '{') {
      const std::size_t close = format.find('}', j);
      if (close == std::string_view::npos) break;
      qualifier = format.substr(j + 1, close - j - 1);
      j = close + 1;
    }
    while (j < format.size() && (format[j] == 'l' || format[j] == 'h' || format[j] == 'z')) ++j;
    if (j >= format.size()) break;
    if (next < arguments.size()) {
      line += argumentText(arguments[next], qualifier == "bool", showPrivate);
    }
    ++next;
    i = j;
  }
  return line;
}

}  // namespace quillnest
