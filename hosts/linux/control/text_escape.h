// Text from outside (host names, file contents) shown in logs and on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace quillnest::linuxhost {

// Appends text with control characters and DEL as "\xNN", so it cannot start a line of its own
// or move a terminal's cursor. quotes: '"' and '\' become "\"" and "\\" too, for text shown
// between double quotes.
void appendEscaped(std::string& out, std::string_view text, bool quotes = false);

}  // namespace quillnest::linuxhost
