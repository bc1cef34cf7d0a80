#include "hosts/linux/control/blocklist_import.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <unordered_set>

#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Names that hosts files carry for the machine itself, not to block anything.
bool isLocalName(std::string_view name) {
  static constexpr std::array<std::string_view, 13> kNames = {
      "localhost",    "localhost.localdomain", "local",           "broadcasthost", "ip6-localhost",
      "ip6-loopback", "ip6-localnet",          "ip6-mcastprefix", "ip6-allnodes",  "ip6-allrouters",
      "ip6-allhosts", "localdomain",           "0.0.0.0"};
  if (std::find(kNames.begin(), kNames.end(), name) != kNames.end()) return true;
  return name.ends_with(".localhost");
}

// The addresses blocklists point blocked names at: unspecified and loopback.
bool isSinkAddress(std::string_view text) {
  char buffer[64];
  if (text.size() >= sizeof buffer) return false;
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  in_addr v4{};
  if (::inet_pton(AF_INET, buffer, &v4) == 1) {
    const std::uint32_t address = ntohl(v4.s_addr);
    return address == 0 || (address >> 24) == 127;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, buffer, &v6) == 1) {
    return IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_LOOPBACK(&v6);
  }
  return false;
}

bool isHostNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

// A normalised name that a flow could carry: ASCII labels of 1-63 letters, digits, "-" and "_"
// (lists carry underscores and real DNS answers for them), at most 253 characters.
bool isValidHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t label = 0;
  for (const char c : name) {
    if (c == '.') {
      if (label == 0) return false;
      label = 0;
      continue;
    }
    if (!isHostNameCharacter(c) || ++label > 63) return false;
  }
  return label != 0;
}

class Importer {
 public:
  explicit Importer(ImportResult& result) : result_(result) {}

  void skip(std::string_view reason) { ++result_.skipped[std::string(reason)]; }

  void addName(std::string_view raw) {
    if (raw.starts_with("*.")) raw.remove_prefix(2);  // entries cover what is below them anyway
    const auto normalized = normalizedHost(raw);
    if (!normalized) return skip(kSkipInvalid);
    const std::string& name = *normalized;
    if (isLocalName(name)) return skip(kSkipLocalhost);
    if (isIPAddressLiteral(name)) return skip(kSkipAddress);
    if (!isValidHostName(name)) return skip(kSkipInvalid);
    if (name.find('.') == std::string::npos) return skip(kSkipSingleLabel);
    if (!seen_.insert(name).second) return skip(kSkipDuplicate);
    result_.domains.push_back(name);
  }

  void line(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    if (text.empty() || text.front() == '#' || text.front() == '!' || text.front() == '[') {
      return;  // blank, hosts or Adblock comment, Adblock header
    }
    if (text.starts_with("||")) return adblock(text.substr(2));
    if (text.starts_with("@@") || text.find("##") != std::string_view::npos ||
        text.find("#@#") != std::string_view::npos || text.find("#?#") != std::string_view::npos) {
      return skip(kSkipAdblock);
    }
    // A "#" after white space starts a comment.
    for (std::size_t i = 1; i < text.size(); ++i) {
      if (text[i] == '#' && isSpace(text[i - 1])) {
        text = text.substr(0, i);
        break;
      }
    }
    std::vector<std::string_view> tokens;
    for (std::size_t i = 0; i < text.size();) {
      while (i < text.size() && isSpace(text[i])) ++i;
      std::size_t j = i;
      while (j < text.size() && !isSpace(text[j])) ++j;
      if (j > i) tokens.push_back(text.substr(i, j - i));
      i = j;
    }
    if (tokens.empty()) return;
    if (isIPAddressLiteral(tokens.front())) {
      const bool sink = isSinkAddress(tokens.front());
      if (tokens.size() == 1) return skip(kSkipAddress);
      for (std::size_t i = 1; i < tokens.size(); ++i) {
        const auto normalized = normalizedHost(tokens[i]);
        if (normalized && isLocalName(*normalized)) {
          skip(kSkipLocalhost);
        } else if (!sink) {
          skip(kSkipRealAddress);
        } else {
          addName(tokens[i]);
        }
      }
      return;
    }
    for (const auto token : tokens) addName(token);
  }

  void adblock(std::string_view rule) {
    const std::size_t caret = rule.find('^');
    if (caret == std::string_view::npos || caret + 1 != rule.size() ||
        rule.substr(0, caret).find_first_of("/*|") != std::string_view::npos) {
      return skip(kSkipAdblock);  // options, paths and patterns mean more than a domain
    }
    addName(rule.substr(0, caret));
  }

 private:
  ImportResult& result_;
  std::unordered_set<std::string> seen_;
};

}  // namespace

std::size_t ImportResult::skippedTotal() const {
  std::size_t total = 0;
  for (const auto& [reason, count] : skipped) total += count;
  return total;
}

ImportResult importBlocklist(std::string_view text) {
  ImportResult result;
  Importer importer(result);
  // A UTF-8 byte order mark would otherwise spoil the first name.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    importer.line(text.substr(0, end));
    ++result.lines;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return result;
}

std::string rulesFileText(const std::vector<std::string>& domains) {
  // The encoder writes one line; the names are plain host names (no quotes, commas or escapes),
  // so each separator can start a line of its own.
  const std::string encoded = encodeFilterRules(makeFilterRules(true, domains));
  std::string out;
  out.reserve(encoded.size() + domains.size() * 6 + 16);
  bool inArray = false;
  bool inString = false;
  for (std::size_t i = 0; i < encoded.size(); ++i) {
    const char c = encoded[i];
    if (c == '"' && (i == 0 || encoded[i - 1] != '\\')) inString = !inString;
    if (inString || (c != '[' && c != ']' && c != ',' && c != '{' && c != '}')) {
      out.push_back(c);
      continue;
    }
    switch (c) {
      case '{':
        out += "{\n  ";
        break;
      case '}':
        out += "\n}\n";
        break;
      case '[':
        inArray = true;
        out += (i + 1 < encoded.size() && encoded[i + 1] == ']') ? "[" : "[\n    ";
        break;
      case ']':
        out += (i > 0 && encoded[i - 1] == '[') ? "]" : "\n  ]";
        inArray = false;
        break;
      case ',':
        out += inArray ? ",\n    " : ",\n  ";
        break;
    }
  }
  return out;
}

}  // namespace quillnest::linuxhost
