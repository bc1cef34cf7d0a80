#include "hosts/linux/control/blocklist_import.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>

#include "hosts/linux/control/host_names.h"
#include "rules/covering_entries.h"
#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/json_text.h"
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

bool startsWithKey(std::string_view text, std::string_view& key, std::string_view& value) {
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos || equals == 0) return false;
  for (const char c : text.substr(0, equals)) {
    if (!((c >= 'a' && c <= 'z') || c == '-')) return false;
  }
  key = text.substr(0, equals);
  value = text.substr(equals + 1);
  return true;
}

// "domain##selector" and its kin; "##" after white space is a hosts comment instead.
bool isAdblockCosmetic(std::string_view text) {
  for (const std::string_view marker : {"##", "#@#", "#?#", "#$#"}) {
    const std::size_t at = text.find(marker);
    if (at != std::string_view::npos && (at == 0 || !isSpace(text[at - 1]))) return true;
  }
  return false;
}

std::vector<std::string_view> splitTokens(std::string_view text) {
  std::vector<std::string_view> tokens;
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && isSpace(text[i])) ++i;
    std::size_t j = i;
    while (j < text.size() && !isSpace(text[j])) ++j;
    if (j > i) tokens.push_back(text.substr(i, j - i));
    i = j;
  }
  return tokens;
}

}  // namespace

std::optional<ListFormat> listFormatNamed(std::string_view name) {
  for (const auto format : {ListFormat::guess, ListFormat::hosts, ListFormat::plain,
                            ListFormat::adblock, ListFormat::dnsmasq}) {
    if (listFormatName(format) == name) return format;
  }
  return std::nullopt;
}

std::string_view listFormatName(ListFormat format) {
  switch (format) {
    case ListFormat::guess:
      return "guess";
    case ListFormat::hosts:
      return "hosts";
    case ListFormat::plain:
      return "plain";
    case ListFormat::adblock:
      return "adblock";
    case ListFormat::dnsmasq:
      return "dnsmasq";
  }
  return {};
}

void BlocklistImporter::addName(std::string_view raw) {
  if (raw.starts_with("*.")) raw.remove_prefix(2);  // entries cover what is below them anyway
  // Most names in lists are written normalised already: they are taken as they stand.
  std::optional<std::string> normalized;
  bool converted = false;
  if (!isValidHostName(raw)) {
    normalized = normalizedHost(raw);
    if (!normalized) return skip(kSkipInvalid);
    if (!isValidHostName(*normalized)) {
      std::string error;
      auto aLabels = aLabelName(*normalized, error);
      if (!aLabels) return skip(kSkipInvalidIdn);
      converted = *aLabels != *normalized;
      normalized = std::move(aLabels);
    }
  }
  const std::string_view name = normalized ? std::string_view(*normalized) : raw;
  if (isLocalName(name)) return skip(kSkipLocalhost);
  // Of names taken as they stand only a dotted quad can be an address.
  const bool mayBeAddress = normalized || std::all_of(name.begin(), name.end(), [](char c) {
                              return c == '.' || (c >= '0' && c <= '9');
                            });
  if (mayBeAddress && isIPAddressLiteral(name)) return skip(kSkipAddress);
  if (!isValidHostName(name)) return skip(kSkipInvalid);
  if (name.find('.') == std::string::npos) return skip(kSkipSingleLabel);
  keep(name, converted);
}

void BlocklistImporter::keep(std::string_view name, bool converted) {
  if (name.size() > std::numeric_limits<std::uint32_t>::max() - names_.size()) {
    return skip(kSkipBeyondLimit);
  }
  names_.append(name);
  ends_.push_back(static_cast<std::uint32_t>(names_.size()));
  converted_.push_back(converted);
}

void BlocklistImporter::line(std::string_view text, ListFormat format) {
  while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
  if (text.empty() || text.front() == '#' || text.front() == '!' || text.front() == '[') {
    return;  // blank, hosts or Adblock comment, Adblock header
  }
  // A "#" after white space starts a comment (hosts files, plain lists).
  std::string_view uncommented = text;
  for (std::size_t i = 1; i < text.size(); ++i) {
    if (text[i] == '#' && isSpace(text[i - 1])) {
      uncommented = text.substr(0, i);
      break;
    }
  }
  std::string_view key;
  std::string_view value;
  ListFormat kind = ListFormat::plain;
  if (text.starts_with("||") || text.starts_with("@@") || isAdblockCosmetic(text) ||
      uncommented.find('$') != std::string_view::npos) {
    kind = ListFormat::adblock;
  } else if (startsWithKey(text, key, value)) {
    kind = ListFormat::dnsmasq;
  } else {
    text = uncommented;
  }
  const std::vector<std::string_view> tokens =
      kind == ListFormat::plain ? splitTokens(text) : std::vector<std::string_view>{};
  if (!tokens.empty() && isIPAddressLiteral(tokens.front())) kind = ListFormat::hosts;

  if (format == ListFormat::adblock && kind == ListFormat::plain) {
    return skip(kSkipAdblockPath);  // a bare text in an Adblock list matches inside URLs
  }
  if (format != ListFormat::guess && format != kind) return skip(kSkipOtherFormat);
  switch (kind) {
    case ListFormat::adblock:
      return adblockLine(text);
    case ListFormat::dnsmasq:
      return dnsmasqLine(key, value);
    case ListFormat::hosts:
      return hostsLine(tokens);
    case ListFormat::plain:
    case ListFormat::guess:
      for (const auto token : tokens) addName(token);
      return;
  }
}

void BlocklistImporter::hostsLine(const std::vector<std::string_view>& tokens) {
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
}

void BlocklistImporter::adblockLine(std::string_view text) {
  if (text.starts_with("@@")) return skip(kSkipAdblockException);
  if (isAdblockCosmetic(text)) return skip(kSkipAdblockCosmetic);
  if (text.find('$') != std::string_view::npos) return skip(kSkipAdblockOptions);
  if (!text.starts_with("||")) return skip(kSkipAdblockPath);
  const std::string_view rule = text.substr(2);
  const std::size_t caret = rule.find('^');
  if (caret == std::string_view::npos || caret + 1 != rule.size() ||
      rule.substr(0, caret).find_first_of("/*|:") != std::string_view::npos) {
    return skip(kSkipAdblockPath);  // paths, ports and patterns mean more than a domain
  }
  addName(rule.substr(0, caret));
}

// "address=/a/b/TARGET", "server=/a/b/TARGET", "local=/a/b/": the names between the slashes,
// what they resolve to after the last one.
void BlocklistImporter::dnsmasqLine(std::string_view key, std::string_view value) {
  const std::size_t last = value.rfind('/');
  if ((key != "address" && key != "server" && key != "local") || !value.starts_with('/') ||
      last == 0) {
    return skip(kSkipDnsmasqOther);
  }
  const std::string_view target = value.substr(last + 1);
  std::vector<std::string_view> names;
  for (std::string_view rest = value.substr(1, last - 1); !rest.empty();) {
    const std::size_t slash = rest.find('/');
    names.push_back(rest.substr(0, slash));
    if (slash == std::string_view::npos) break;
    rest.remove_prefix(slash + 1);
  }
  bool blocks = false;
  if (key == "address") {
    // No address, "#" (the unspecified addresses) or a sink: every name under it fails to load.
    blocks = target.empty() || target == "#" || isSinkAddress(target);
    if (!blocks && isIPAddressLiteral(target)) {
      for (std::size_t i = 0; i < names.size(); ++i) skip(kSkipRealAddress);
      return;
    }
  } else {
    blocks = target.empty();  // a target here forwards the names to another server
  }
  if (!blocks || names.empty()) return skip(kSkipDnsmasqOther);
  for (const auto name : names) {
    if (name.empty() || name == "#") {
      skip(kSkipDnsmasqOther);  // "#" is every domain
    } else {
      addName(name);
    }
  }
}

ImportResult BlocklistImporter::finish() && {
  ImportResult result = std::move(result_);
  EntryText text(names_.size());
  if (!names_.empty()) std::memcpy(text.data(), names_.data(), names_.size());
  std::string().swap(names_);
  const DomainList list(std::move(text), std::move(ends_));
  const DomainEntries names = list.domains();
  const std::vector<bool> firstOfEquals = list.firstOfEquals();
  const CoveringEntries cover(names);
  std::size_t repeats = 0;
  constexpr std::size_t kRun = 512;
  std::array<std::optional<std::size_t>, kRun> above;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i % kRun == 0) {
      cover.firstFromAbove(list, i, std::span(above).first(std::min(kRun, names.size() - i)));
    }
    if (!firstOfEquals[i]) {
      ++repeats;
    } else if (above[i % kRun]) {
      ++result.folded;
    } else {
      result.internationalised += converted_[i] ? 1 : 0;
      result.domains.emplace_back(names[i]);
    }
  }
  if (repeats != 0) result.skipped[std::string(kSkipDuplicate)] += repeats;
  return result;
}

void BlocklistImporter::add(std::string_view text, ListFormat format) {
  // A UTF-8 byte order mark would otherwise spoil the first name.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line(text.substr(0, end), format);
    ++result_.lines;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

std::size_t ImportResult::skippedTotal() const {
  std::size_t total = 0;
  for (const auto& [reason, count] : skipped) total += count;
  return total;
}

ImportResult importBlocklist(std::string_view text, ListFormat format) {
  BlocklistImporter importer;
  importer.add(text, format);
  return std::move(importer).finish();
}

std::string rulesFileText(const std::vector<std::string>& domains) {
  // What `import` keeps is normalised already and needs only to be put in order; anything else
  // goes through the filter's own normalising, which sorts too.
  std::optional<FilterRules> normalised;
  std::vector<std::string_view> sorted;
  if (std::all_of(domains.begin(), domains.end(),
                  [](const std::string& d) { return isValidHostName(d); })) {
    sorted.assign(domains.begin(), domains.end());
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
  } else {
    normalised = makeFilterRules(true, domains);
    const DomainEntries entries = normalised->domains();
    sorted.assign(entries.begin(), entries.end());
  }
  std::size_t size = 64;
  for (const std::string_view d : sorted) size += d.size() + 8;
  std::string out;
  out.reserve(size);
  out += "{\n  \"isEnabled\":true,\n  \"domains\":[";
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    out += i == 0 ? "\n    " : ",\n    ";
    appendJsonString(out, sorted[i]);
  }
  out += sorted.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace quillnest::linuxhost
