#include "hosts/linux/control/text_escape.h"

namespace quillnest::linuxhost {

void appendEscaped(std::string& out, std::string_view text, bool quotes) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.reserve(out.size() + text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (quotes && (c == '"' || c == '\\')) {
      out.push_back('\\');
      out.push_back(c);
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xf]);
    } else {
      out.push_back(c);
    }
  }
}

}  // namespace quillnest::linuxhost
