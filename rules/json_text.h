// Writes a string as a JSON string literal: quotes, escapes, and U+FFFD for bytes that are not
// UTF-8, so the output is always valid JSON.
#pragma once

#include <string>
#include <string_view>

namespace quillnest {

void appendJsonString(std::string& out, std::string_view text);

}  // namespace quillnest
