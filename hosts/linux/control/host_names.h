// Host names as lists write them and as flows carry them: the A-label form of internationalised
// names (UTS #46 through libidn2), what keeps a text from ever being a name on the wire, and
// which entry of a list covers a name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest::linuxhost {

// The name as TLS and HTTP carry it. ASCII text comes back unchanged; anything else goes through
// UTS #46 processing (nontransitional, as browsers do: "ß" stays a letter of its own), which
// also lower-cases. None, with error saying why, when the name is invalid there.
std::optional<std::string> aLabelName(std::string_view name, std::string& error);

// Why a normalised ASCII name can never be a name on the wire, or empty: characters no host
// name has (":" only inside an IPv6 literal), empty labels, labels over 63 bytes, names over 253.
// Several reasons are joined by "; ".
std::string nameShapeProblem(std::string_view name);

// The texts an entry must equal to cover host, in the order the walk meets them: host itself,
// then what follows each of its dots, longest first.
std::vector<std::string_view> labelSuffixes(std::string_view host);

// Which entries of a list cover a name, with the list's own rule: an entry covers the name it
// equals and every name that ends with "." followed by it. Entries are compared as stored.
class EntryCover {
 public:
  // The entries must outlive the cover.
  explicit EntryCover(const std::vector<std::string>& entries);
  explicit EntryCover(DomainEntries entries);

  // Position of the first entry equal to text.
  std::optional<std::size_t> firstEqual(std::string_view text) const;
  // Positions of the entries that cover host, in list order; the first of equal entries only.
  std::vector<std::size_t> covering(std::string_view host) const;
  // The first entry, in list order, that covers name from above (after one of its dots).
  std::optional<std::size_t> coveringFromAbove(std::string_view name) const;

 private:
  std::unordered_map<std::string_view, std::size_t> first_;
};

}  // namespace quillnest::linuxhost
