// The unified log takes only literal formats, so the adapter keeps one os_log call per line the
// filter writes. This is the portable half: recognising which line a core log call is.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "host/log_formats.h"
#include "host/logging.h"

namespace quillnest::macos {

enum class KnownLogLine {
  rulesUpdated,
  settingsFailed,
  filterStopped,
  blockedHostname,
  blockedTLSHostname,
};

// The known line that format and arguments make, or nothing when the arguments do not fit the
// literal call exactly (count, type or privacy). A near miss must not pick a literal format whose
// privacy differs from what the caller asked for.
std::optional<KnownLogLine> recognizeLogLine(std::string_view format,
                                             const std::vector<LogArgument>& arguments);

}  // namespace quillnest::macos
