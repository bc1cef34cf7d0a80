#include "hosts/linux/control/blocklist_import.h"

#include <arpa/inet.h>
#include <utf8proc.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <span>
#include <string>

#include "hosts/linux/control/host_names.h"
#include "rules/covering_entries.h"
#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/json_text.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

// Text in UTF-16 (Windows editors save hosts files so, after a byte order mark) as UTF-8. A lone
// surrogate becomes U+FFFD, so the name holding it is refused as any invalid name is.
std::string utf8FromUtf16(std::string_view bytes, bool bigEndian) {
  auto unit = [&](std::size_t i) {
    const auto first = static_cast<std::uint8_t>(bytes[i]);
    const auto second = static_cast<std::uint8_t>(bytes[i + 1]);
    return bigEndian ? std::uint32_t{first} << 8 | second : std::uint32_t{second} << 8 | first;
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    std::uint32_t code = unit(i);
    if (code >= 0xD800 && code < 0xE000) {
      const bool pair =
          code < 0xDC00 && i + 3 < bytes.size() && unit(i + 2) >= 0xDC00 && unit(i + 2) < 0xE000;
      code = pair ? 0x10000 + ((code - 0xD800) << 10) + (unit(i + 2) - 0xDC00) : 0xFFFD;
      if (pair) i += 2;
    }
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t written =
        utf8proc_encode_char(static_cast<utf8proc_int32_t>(code), encoded);
    out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(written));
  }
  return out;
}

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
  if (text == "0.0.0.0" || text == "127.0.0.1") return true;  // nearly every hosts line
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

// Per byte: 1 for the characters of a label, 2 for a dot, 0 for anything else.
constexpr std::array<std::uint8_t, 256> kNameBytes = [] {
  std::array<std::uint8_t, 256> table{};
  for (int c = 'a'; c <= 'z'; ++c) table[c] = 1;
  for (int c = '0'; c <= '9'; ++c) table[c] = 1;
  table['-'] = table['_'] = 1;
  table['.'] = 2;
  return table;
}();

// A normalised name that a flow could carry: ASCII labels of 1-63 letters, digits, "-" and "_"
// (lists carry underscores and real DNS answers for them), at most 253 characters.
bool isValidHostName(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  std::size_t label = 0;
  for (const char c : name) {
    const std::uint8_t kind = kNameBytes[static_cast<unsigned char>(c)];
    if (kind == 2) {
      if (label == 0) return false;
      label = 0;
    } else if (kind == 0 || ++label > 63) {
      return false;
    }
  }
  return label != 0;
}

// False for a token that can be no address literal (a name with a letter, "-" or "_"), which
// spares most tokens of a list the parse.
bool mayBeAddressLiteral(std::string_view token) {
  if (token == "0.0.0.0" || token == "127.0.0.1") return true;
  bool nameOnly = true;
  bool letter = false;
  for (const char c : token) {
    nameOnly = nameOnly && kNameBytes[static_cast<unsigned char>(c)] != 0;
    letter = letter || (c >= 'a' && c <= 'z') || c == '-' || c == '_';
  }
  return !(nameOnly && letter) && isIPAddressLiteral(token);
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

// Appends the white-space-separated tokens of text.
void splitTokens(std::string_view text, std::vector<std::string_view>& tokens) {
  for (std::size_t i = 0; i < text.size();) {
    while (i < text.size() && isSpace(text[i])) ++i;
    std::size_t j = i;
    while (j < text.size() && !isSpace(text[j])) ++j;
    if (j > i) tokens.push_back(text.substr(i, j - i));
    i = j;
  }
}

// The rules file of count names in order, nameAt(k) the k-th; escape when they may need it.
template <typename NameAt>
std::string rulesFileOf(std::size_t count, NameAt nameAt, bool escape) {
  std::size_t size = 64;
  for (std::size_t k = 0; k < count; ++k) size += nameAt(k).size() + 8;
  std::string out;
  out.reserve(size);
  out += "{\n  \"isEnabled\":true,\n  \"domains\":[";
  for (std::size_t k = 0; k < count; ++k) {
    // In order, the names lie all over memory: fetch some ahead.
    if (k + 16 < count) __builtin_prefetch(nameAt(k + 16).data());
    out += k == 0 ? "\n    " : ",\n    ";
    if (escape) {
      appendJsonString(out, nameAt(k));
    } else {
      out += '"';
      out += nameAt(k);
      out += '"';
    }
  }
  out += count == 0 ? "]\n}\n" : "\n  ]\n}\n";
  return out;
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
  if (normalized && !isValidHostName(name)) return skip(kSkipInvalid);
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
  std::vector<std::string_view>& tokens = tokens_;
  tokens.clear();
  if (kind == ListFormat::plain) splitTokens(text, tokens);
  if (!tokens.empty() && mayBeAddressLiteral(tokens.front())) kind = ListFormat::hosts;

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
    if (sink) {
      addName(tokens[i]);  // which tells local names apart itself
      continue;
    }
    const auto normalized = normalizedHost(tokens[i]);
    skip(normalized && isLocalName(*normalized) ? kSkipLocalhost : kSkipRealAddress);
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
  result.text.reserve(names.text().size());
  result.ends.reserve(names.size() + 1);
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
      result.text.append(names[i]);
      result.ends.push_back(static_cast<std::uint32_t>(result.text.size()));
    }
  }
  if (repeats != 0) result.skipped[std::string(kSkipDuplicate)] += repeats;
  return result;
}

void BlocklistImporter::add(std::string_view text, ListFormat format) {
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    // UTF-8 has neither byte, so the converted text does not come back here.
    return add(utf8FromUtf16(text.substr(2), text.front() == '\xFE'), format);
  }
  // A UTF-8 byte order mark would otherwise spoil the first name.
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  // The names are part of the text, and a line mostly holds one: room made once, where growing
  // by doubling would hold the old block and the new at once. Untouched room costs no memory.
  names_.reserve(names_.size() + text.size());
  ends_.reserve(ends_.size() +
                static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    line(text.substr(0, end), format);
    ++result_.lines;
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
}

bool BlocklistImporter::addList(std::string_view text, ListFormat format) {
  const std::size_t names = namesRead();
  const std::size_t lines = result_.lines;
  auto skipped = result_.skipped;
  add(text, format);
  if (namesRead() > names) return true;
  result_.lines = lines;
  result_.skipped = std::move(skipped);
  return false;
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

namespace {

// names: size() and operator[] giving a text.
template <typename Names>
std::string rulesFileTextOf(const Names& names) {
  // What `import` keeps is normalised already and needs only to be put in order; anything else
  // goes through the filter's own normalising, which sorts too.
  if (!std::all_of(names.begin(), names.end(),
                   [](std::string_view name) { return isValidHostName(name); })) {
    std::vector<std::string> copies;
    copies.reserve(names.size());
    for (std::size_t c = 0; c < names.size(); ++c) copies.emplace_back(names[c]);
    const std::vector<std::string> normalised = normalizedDomains(copies);
    return rulesFileOf(
        normalised.size(), [&](std::size_t n) { return std::string_view(normalised[n]); }, true);
  }
  // In order of their first 8 bytes as a number, the texts compared only where those tie: a
  // million names sort several times faster than by comparing texts throughout.
  struct Keyed {
    std::uint64_t key;
    std::uint32_t at;  // in names
  };
  const auto nameOf = [&](const Keyed& k) { return std::string_view(names[k.at]); };
  std::vector<Keyed> keyed;
  keyed.reserve(names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    const std::string_view name = names[k];
    unsigned char prefix[8] = {};
    std::memcpy(prefix, name.data(), std::min(name.size(), sizeof prefix));
    std::uint64_t key = 0;
    for (const unsigned char byte : prefix) key = key << 8 | byte;
    keyed.push_back({key, static_cast<std::uint32_t>(k)});
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    return a.key != b.key ? a.key < b.key : nameOf(a) < nameOf(b);
  });
  keyed.erase(std::unique(keyed.begin(), keyed.end(),
                          [&](const Keyed& a, const Keyed& b) { return nameOf(a) == nameOf(b); }),
              keyed.end());
  // Valid host names hold nothing JSON escapes.
  return rulesFileOf(
      keyed.size(), [&](std::size_t k) { return nameOf(keyed[k]); }, false);
}

}  // namespace

std::string rulesFileText(DomainEntries domains) { return rulesFileTextOf(domains); }

std::string rulesFileText(const std::vector<std::string>& domains) {
  return rulesFileTextOf(domains);
}

}  // namespace quillnest::linuxhost
