// Turns the blocklists people have into the domain list of a rules file: hosts files
// ("0.0.0.0 name", "127.0.0.1 name", "::1 name", several names a line, "#" comments), plain
// one-domain-per-line lists ("*.name" too), Adblock "||name^" lines, and dnsmasq
// "address=/name/...", "server=/name/" and "local=/name/" lines. Line ends may be CRLF, the text
// may start with a byte order mark. Internationalised names become their A-labels.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest::linuxhost {

// guess: each line is read as whatever format it is in. A given format skips lines of others.
enum class ListFormat { guess, hosts, plain, adblock, dnsmasq };
std::optional<ListFormat> listFormatNamed(std::string_view name);
std::string_view listFormatName(ListFormat format);

struct ImportResult {
  // The names kept, back to back (name k is text[ends[k], ends[k + 1])): a string of its own per
  // name would cost twice the list's size. Normalised A-labels, unique, none covering another.
  std::string text;
  std::vector<std::uint32_t> ends{0};
  DomainEntries domains() const { return {text.data(), ends.data(), ends.size() - 1}; }
  std::size_t lines = 0;
  std::size_t internationalised = 0;           // names converted to A-labels
  std::size_t folded = 0;                      // names dropped because another entry covers them
  std::map<std::string, std::size_t> skipped;  // reason -> count
  std::size_t skippedTotal() const;
};

// Reads several lists into one result.
class BlocklistImporter {
 public:
  void add(std::string_view text, ListFormat format = ListFormat::guess);
  // As add, but a text without a single host name (an error page served in place of a list)
  // leaves no trace, not even in the counts: false then.
  bool addList(std::string_view text, ListFormat format = ListFormat::guess);
  // The names in order of first appearance, without those another name covers.
  ImportResult finish() &&;
  // The names read so far, repeats included: none means the lists hold no host name at all.
  std::size_t namesRead() const { return ends_.size() - 1; }

 private:
  void line(std::string_view text, ListFormat format);
  void addName(std::string_view raw);
  void skip(std::string_view reason) { ++result_.skipped[std::string(reason)]; }
  void keep(std::string_view name, bool converted);
  void hostsLine(const std::vector<std::string_view>& tokens);
  void adblockLine(std::string_view text);
  void dnsmasqLine(std::string_view key, std::string_view value);

  ImportResult result_;
  // Every name kept so far, repeats too, back to back: entry i is names_[ends_[i], ends_[i + 1]).
  // Repeats and covered names are told apart once all are in, on the filter's own index: a set
  // of strings cost several times the lists' size and most of the time.
  std::string names_;
  std::vector<std::uint32_t> ends_{0};
  std::vector<bool> converted_;           // per name: was internationalised
  std::vector<std::string_view> tokens_;  // the line's, kept to spare an allocation a line
};

ImportResult importBlocklist(std::string_view text, ListFormat format = ListFormat::guess);

// The rules file for the imported domains: enabled, normalised, one entry per line (so `check`
// can name lines), ending with a newline.
std::string rulesFileText(DomainEntries domains);
std::string rulesFileText(const std::vector<std::string>& domains);

// Reasons, as counted in ImportResult::skipped.
inline constexpr std::string_view kSkipLocalhost = "localhost entry";
inline constexpr std::string_view kSkipInvalid = "not a valid host name";
inline constexpr std::string_view kSkipBeyondLimit = "beyond 4 GiB of names";
inline constexpr std::string_view kSkipInvalidIdn = "internationalised name invalid under UTS #46";
inline constexpr std::string_view kSkipAddress = "an address, not a name";
inline constexpr std::string_view kSkipSingleLabel =
    "single label (would block a top-level domain)";
inline constexpr std::string_view kSkipRealAddress = "name mapped to a real address";
inline constexpr std::string_view kSkipAdblockOptions = "Adblock rule with $ options";
inline constexpr std::string_view kSkipAdblockException = "Adblock exception (@@)";
inline constexpr std::string_view kSkipAdblockPath = "Adblock rule with a path or a pattern";
inline constexpr std::string_view kSkipAdblockCosmetic = "Adblock element hiding rule";
inline constexpr std::string_view kSkipDnsmasqOther = "dnsmasq line that blocks no name";
inline constexpr std::string_view kSkipOtherFormat = "line in another format than the one given";
inline constexpr std::string_view kSkipDuplicate = "duplicate";

}  // namespace quillnest::linuxhost
