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

std::vector<std::string_view> labelSuffixes(std::string_view host) {
  std::vector<std::string_view> suffixes{host};
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
       dot = host.find('.', dot + 1)) {
    suffixes.push_back(host.substr(dot + 1));
  }
  return suffixes;
}

EntryCover::EntryCover(const std::vector<std::string>& entries) {
  first_.reserve(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) first_.emplace(entries[i], i);
}

EntryCover::EntryCover(DomainEntries entries) {
  first_.reserve(entries.size());
  std::size_t i = 0;
  for (const std::string_view entry : entries) first_.emplace(entry, i++);
}

std::optional<std::size_t> EntryCover::firstEqual(std::string_view text) const {
  const auto it = first_.find(text);
  if (it == first_.end()) return std::nullopt;
  return it->second;
}

std::vector<std::size_t> EntryCover::covering(std::string_view host) const {
  std::vector<std::size_t> found;
  for (const std::string_view suffix : labelSuffixes(host)) {
    if (const auto it = first_.find(suffix); it != first_.end()) found.push_back(it->second);
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  return found;
}

std::optional<std::size_t> EntryCover::coveringFromAbove(std::string_view name) const {
  // Runs once per imported name: no list of suffixes is built.
  std::optional<std::size_t> first;
  for (std::size_t dot = name.find('.'); dot != std::string_view::npos;
       dot = name.find('.', dot + 1)) {
    const auto it = first_.find(name.substr(dot + 1));
    if (it != first_.end() && (!first || it->second < *first)) first = it->second;
  }
  return first;
}

}  // namespace quillnest::linuxhost
