#include "rules/normalization.h"

#include <arpa/inet.h>
#include <utf8proc.h>

#include <algorithm>
#include <cstdint>

namespace quillnest {
namespace {

bool isAsciiSpace(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(),
                     [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

void lowerAsciiInPlace(std::string& s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// The white-space-and-newlines set: category Z, the controls U+0009..U+000D and U+0085.
bool isUnicodeSpace(utf8proc_int32_t cp) {
  if (cp < 0x80) return isAsciiSpace(static_cast<unsigned char>(cp));
  if (cp == 0x85) return true;
  const utf8proc_category_t category = utf8proc_category(cp);
  return category == UTF8PROC_CATEGORY_ZS || category == UTF8PROC_CATEGORY_ZL ||
         category == UTF8PROC_CATEGORY_ZP;
}

// Lower-cases by the simple mapping and, when asked, trims white space at both ends in the same
// pass. A byte that does not start a well-formed UTF-8 sequence is kept as it is and counts as
// neither space nor letter, so malformed names stay distinct from every well-formed one.
std::string lowerUnicode(std::string_view s, bool trim) {
  std::string out;
  out.reserve(s.size());
  std::size_t keep = 0;  // length of out up to the end of the last non-space
  bool started = !trim;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(s.data());
  std::size_t i = 0;
  while (i < s.size()) {
    utf8proc_int32_t cp = -1;
    const utf8proc_ssize_t n =
        utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(s.size() - i), &cp);
    if (n <= 0) {
      out.push_back(s[i]);
      keep = out.size();
      started = true;
      ++i;
      continue;
    }
    const auto length = static_cast<std::size_t>(n);
    if (trim && isUnicodeSpace(cp)) {
      if (started) out.append(s.substr(i, length));
    } else {
      utf8proc_uint8_t encoded[4];
      const utf8proc_ssize_t written = utf8proc_encode_char(utf8proc_tolower(cp), encoded);
      out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(written));
      keep = out.size();
      started = true;
    }
    i += length;
  }
  if (trim) out.resize(keep);
  return out;
}

void dropTrailingDots(std::string& s) {
  while (!s.empty() && s.back() == '.') s.pop_back();
}

}  // namespace

std::optional<std::string> normalizedHost(std::string_view name) {
  std::string result;
  if (isAscii(name)) {
    std::size_t begin = 0;
    std::size_t end = name.size();
    while (begin < end && isAsciiSpace(static_cast<unsigned char>(name[begin]))) ++begin;
    while (end > begin && isAsciiSpace(static_cast<unsigned char>(name[end - 1]))) --end;
    result.assign(name.substr(begin, end - begin));
    lowerAsciiInPlace(result);
  } else {
    result = lowerUnicode(name, /*trim=*/true);
  }
  dropTrailingDots(result);
  if (result.empty()) return std::nullopt;
  return result;
}

std::vector<std::string> normalizedDomains(const std::vector<std::string>& list) {
  std::vector<std::string> result;
  result.reserve(list.size());
  for (const std::string& entry : list) {
    if (std::optional<std::string> name = normalizedHost(entry)) result.push_back(std::move(*name));
  }
  std::sort(result.begin(), result.end());
  result.erase(std::unique(result.begin(), result.end()), result.end());
  return result;
}

bool isIPAddressLiteral(std::string_view name) {
  std::size_t begin = 0;
  std::size_t end = name.size();
  const auto isBracket = [](char c) { return c == '[' || c == ']'; };
  while (begin < end && isBracket(name[begin])) ++begin;
  while (end > begin && isBracket(name[end - 1])) --end;
  std::string_view rest = name.substr(begin, end - begin);
  while (!rest.empty() && rest.front() == '%') rest.remove_prefix(1);
  rest = rest.substr(0, rest.find('%'));
  if (rest.empty()) return false;
  // A C string on purpose: an embedded NUL ends the text just as it does for inet_pton's callers.
  const std::string piece(rest);
  unsigned char address[16];
  if (inet_pton(AF_INET, piece.c_str(), address) == 1) return true;
  return inet_pton(AF_INET6, piece.c_str(), address) == 1;
}

std::string normalizedServerName(std::string_view name) {
  std::string result;
  if (isAscii(name)) {
    result.assign(name);
    lowerAsciiInPlace(result);
  } else {
    result = lowerUnicode(name, /*trim=*/false);
  }
  dropTrailingDots(result);
  return result;
}

}  // namespace quillnest
