#include "hosts/linux/control/host_names.h"

#include <idn2.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return (static_cast<unsigned char>(c) & 0x80) == 0; });
}

bool isNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
}

void addReason(std::vector<std::string>& reasons, std::string reason) {
  if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end()) {
    reasons.push_back(std::move(reason));
  }
}

std::string characterReason(char c) {
  switch (c) {
    case '*':
      return "\"*\" is no wildcard here; an entry already covers every name below it";
    case '/':
      return "\"/\": looks like a URL; write the host name alone";
    case '|':
    case '^':
      return "\"|\" or \"^\": Adblock syntax; write the host name alone";
    case ':':
      return "\":\": a port or a scheme; write the host name alone";
    default:
      break;
  }
  const auto byte = static_cast<unsigned char>(c);
  if (c == ' ' || (byte >= 0x09 && byte <= 0x0d)) return "white space inside the name";
  if (byte < 0x20 || byte == 0x7f) return "a control character no host name has";
  if (c >= 'A' && c <= 'Z') return "upper case (host names are compared in lower case)";
  return "\"" + std::string(1, c) + "\", a character no host name has";
}

}  // namespace

std::optional<std::string> aLabelName(std::string_view name, std::string& error) {
  if (isAscii(name)) return std::string(name);
  if (name.find('\0') != std::string_view::npos) {
    error = "contains a NUL byte";
    return std::nullopt;
  }
  const std::string text(name);
  char* out = nullptr;
  const int rc = ::idn2_to_ascii_8z(text.c_str(), &out, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  const std::unique_ptr<char, decltype(&::idn2_free)> owned(out, &::idn2_free);
  if (rc != IDN2_OK || out == nullptr) {
    error = ::idn2_strerror(rc);
    return std::nullopt;
  }
  return std::string(out);
}

std::string nameShapeProblem(std::string_view name) {
  std::vector<std::string> reasons;
  // An IPv6 literal is a host the HTTP Host header can carry (without its brackets).
  const bool ipv6 = name.find(':') != std::string_view::npos && name.front() != '[' &&
                    isIPAddressLiteral(name) && name.find('%') == std::string_view::npos;
  if (!ipv6) {
    for (const char c : name) {
      if (!isNameCharacter(c) && (static_cast<unsigned char>(c) & 0x80) == 0) {
        addReason(reasons, characterReason(c));
      }
    }
    std::size_t label = 0;
    bool emptyLabel = name.empty() || name.front() == '.' || name.back() == '.';
    bool longLabel = false;
    for (const char c : name) {
      if (c == '.') {
        emptyLabel = emptyLabel || label == 0;
        label = 0;
      } else {
        longLabel = longLabel || ++label > 63;
      }
    }
    if (emptyLabel) addReason(reasons, "an empty label (\"..\" or a dot at either end)");
    if (longLabel) addReason(reasons, "a label over 63 bytes");
  }
  if (name.size() > 253) addReason(reasons, "over 253 bytes");
  std::string joined;
  for (const auto& reason : reasons) {
    if (!joined.empty()) joined += "; ";
    joined += reason;
  }
  return joined;
}

}  // namespace quillnest::linuxhost
