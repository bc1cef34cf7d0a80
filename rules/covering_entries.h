// Which entry of a list covers each of its entries from above: the first, in list order, that
// equals the text after one of the entry's dots. For going through a whole big list, where one
// index lookup per parent domain would be a cache miss each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest {

class CoveringEntries {
 public:
  // Needs only the entries: it may be built before their list's index is ready.
  explicit CoveringEntries(DomainEntries entries);

  // For the entries of list from begin on, as many as out holds (fewer at the list's end): the
  // position of the first entry equal to the text after one of their dots. list holds the
  // entries this was built from.
  void firstFromAbove(const DomainList& list, std::size_t begin,
                      std::span<std::optional<std::size_t>> out) const;

 private:
  const std::uint64_t& word(std::uint64_t key) const;

  // Most parent domains equal no entry. A bit table of 2 bytes per entry, two bits of one word
  // per key, keyed by a text's length and last 8 bytes (one read, whatever the length), rules
  // most of them out without hashing them or touching the index.
  std::vector<std::uint64_t> words_;
};

}  // namespace quillnest
