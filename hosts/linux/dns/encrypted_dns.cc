#include "hosts/linux/dns/encrypted_dns.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <tuple>

#include "rules/filter_rules.h"
#include "rules/json_text.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost::dns {

extern const char* const kBuiltInResolverList;  // generated from packaging/doh-resolvers.txt

namespace {

bool addressLess(const hosts::IpAddress& a, const hosts::IpAddress& b) {
  return std::tie(a.family, a.bytes) < std::tie(b.family, b.bytes);
}

}  // namespace

EncryptedDns encryptedDnsOf(const hosts::ParsedPacket& packet,
                            std::span<const hosts::IpAddress> resolverAddresses) {
  if (packet.protocol != hosts::kIpProtocolTCP && packet.protocol != hosts::kIpProtocolUDP)
    return EncryptedDns::none;
  if (packet.destinationPort == kEncryptedDnsPort) return EncryptedDns::port853;
  // Every queued packet to port 443 asks, nearly all of them in vain: a few comparisons, not one
  // per listed address.
  if (packet.destinationPort == 443 &&
      std::binary_search(resolverAddresses.begin(), resolverAddresses.end(), packet.destination,
                         addressLess))
    return EncryptedDns::resolverAddress;
  return EncryptedDns::none;
}

namespace {

// Each line of a list file without its comment and the white space around it.
template <typename Take>
void forEachLine(std::string_view text, const Take& take) {
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = line.substr(0, line.find('#'));
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.front())))
      line.remove_prefix(1);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
      line.remove_suffix(1);
    if (!line.empty()) take(line);
  }
}

}  // namespace

std::vector<std::string> parseResolverList(std::string_view text) {
  std::vector<std::string> names;
  forEachLine(text, [&names](std::string_view line) {
    hosts::IpAddress address;
    if (hosts::IpAddress::parse(line, address)) return;
    if (auto name = normalizedHost(line)) names.push_back(std::move(*name));
  });
  return normalizedDomains(names);
}

std::vector<hosts::IpAddress> parseResolverAddresses(std::string_view text) {
  std::vector<hosts::IpAddress> addresses;
  forEachLine(text, [&addresses](std::string_view line) {
    hosts::IpAddress address;
    if (hosts::IpAddress::parse(line, address)) addresses.push_back(address);
  });
  std::sort(addresses.begin(), addresses.end(), addressLess);
  addresses.erase(std::unique(addresses.begin(), addresses.end()), addresses.end());
  return addresses;
}

const std::vector<std::string>& wellKnownResolvers() {
  static const std::vector<std::string> names = parseResolverList(kBuiltInResolverList);
  return names;
}

const std::vector<hosts::IpAddress>& wellKnownResolverAddresses() {
  static const std::vector<hosts::IpAddress> addresses =
      parseResolverAddresses(kBuiltInResolverList);
  return addresses;
}

namespace {

constexpr std::size_t npos = std::string_view::npos;

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::size_t skipSpace(std::string_view json, std::size_t at) {
  while (at < json.size() && isJsonSpace(json[at])) ++at;
  return at;
}

// Just past the string opening at json[at] == '"'; npos when it never closes.
std::size_t skipString(std::string_view json, std::size_t at) {
  for (std::size_t from = at + 1;;) {
    const std::size_t quote = json.find('"', from);
    if (quote == npos) return npos;
    // A quote after an odd number of backslashes is part of the string.
    std::size_t slashes = 0;
    while (json[quote - 1 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 0) return quote + 1;
    from = quote + 1;
  }
}

// Just past the value starting at json[at]; npos when the text ends first. Only strings and
// nesting are followed: whether the value is valid is the decoder's question.
std::size_t skipValue(std::string_view json, std::size_t at) {
  std::size_t depth = 0;
  while (at < json.size()) {
    const char c = json[at];
    if (c == '"') {
      at = skipString(json, at);
      if (at == npos) return npos;
    } else if (c == '{' || c == '[') {
      ++depth;
      ++at;
    } else if (c == '}' || c == ']') {
      if (depth == 0) return at;
      --depth;
      ++at;
    } else if (depth == 0 && (c == ',' || isJsonSpace(c))) {
      return at;
    } else {
      ++at;
    }
    if (depth == 0 && (c == '"' || c == '}' || c == ']')) return at;
  }
  return npos;
}

struct DomainsArray {
  std::size_t close = npos;  // the position of its ']'
  bool empty = true;
  bool isEnabled = false;
};

// The top level of a rules text read without unescaping: none when a key holds an escape, a key
// repeats or the object's shape is off.
std::optional<DomainsArray> findDomainsArray(std::string_view json) {
  DomainsArray found;
  bool sawEnabled = false;
  bool sawDomains = false;
  std::size_t at = skipSpace(json, 0);
  if (at >= json.size() || json[at] != '{') return std::nullopt;
  at = skipSpace(json, at + 1);
  if (at < json.size() && json[at] == '}') return std::nullopt;
  while (at < json.size() && json[at] == '"') {
    const std::size_t keyEnd = skipString(json, at);
    if (keyEnd == npos) return std::nullopt;
    const std::string_view key = json.substr(at + 1, keyEnd - at - 2);
    if (key.find('\\') != npos) return std::nullopt;
    at = skipSpace(json, keyEnd);
    if (at >= json.size() || json[at] != ':') return std::nullopt;
    at = skipSpace(json, at + 1);
    if (at >= json.size()) return std::nullopt;
    const std::size_t valueEnd = skipValue(json, at);
    if (valueEnd == npos) return std::nullopt;
    if (key == "isEnabled") {
      if (sawEnabled) return std::nullopt;
      sawEnabled = true;
      found.isEnabled = json.substr(at, valueEnd - at) == "true";
    } else if (key == "domains") {
      if (sawDomains || json[at] != '[') return std::nullopt;
      sawDomains = true;
      found.close = valueEnd - 1;
      if (json[found.close] != ']') return std::nullopt;
      found.empty = skipSpace(json, at + 1) == found.close;
    }
    at = skipSpace(json, valueEnd);
    if (at < json.size() && json[at] == '}') {
      if (!sawEnabled || !sawDomains) return std::nullopt;
      return found;
    }
    if (at >= json.size() || json[at] != ',') return std::nullopt;
    at = skipSpace(json, at + 1);
  }
  return std::nullopt;
}

// The slow way, for texts the scan above does not read: decode, add what is missing, encode.
std::size_t addByDecoding(Bytes& rulesText, const std::vector<std::string>& names) {
  DecodeResult decoded = decodeFilterRules(rulesText);
  if (!decoded.rules || !decoded.rules->isEnabled()) return 0;
  std::vector<std::string> domains = decoded.rules->domains().strings();
  const std::vector<std::string> own = normalizedDomains(domains);
  std::size_t added = 0;
  for (const auto& name : names) {
    if (std::binary_search(own.begin(), own.end(), name)) continue;
    domains.push_back(name);
    ++added;
  }
  if (added == 0) return 0;
  const std::string json = encodeFilterRules(FilterRules(true, std::move(domains)));
  rulesText.assign(json.begin(), json.end());
  return added;
}

}  // namespace

std::size_t addBlockedResolvers(Bytes& rulesText, const std::vector<std::string>& names) {
  if (names.empty()) return 0;
  const std::string_view json(reinterpret_cast<const char*>(rulesText.data()), rulesText.size());
  const std::optional<DomainsArray> domains = findDomainsArray(json);
  if (!domains) return addByDecoding(rulesText, names);
  if (!domains->isEnabled) return 0;
  std::string text;
  for (const auto& name : names) {
    if (!text.empty() || !domains->empty) text.push_back(',');
    appendJsonString(text, name);
  }
  rulesText.insert(rulesText.begin() + static_cast<std::ptrdiff_t>(domains->close), text.begin(),
                   text.end());
  return names.size();
}

}  // namespace quillnest::linuxhost::dns
