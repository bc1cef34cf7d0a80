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
  // The list must outlive this.
  explicit CoveringEntries(const DomainList& list);

  // For the entries from begin on, as many as out holds (fewer at the list's end): the position
  // of the first entry equal to the text after one of their dots.
  void firstFromAbove(std::size_t begin, std::span<std::optional<std::size_t>> out) const;

 private:
  const std::uint64_t& word(std::uint64_t key) const;

  const DomainList& list_;
  // Most parent domains equal no entry. A bit table of 2 bytes per entry, two bits of one word
  // per key, keyed by a text's length and last 8 bytes (one read, whatever the length), rules
  // most of them out without hashing them or touching the index.
  std::vector<std::uint64_t> words_;
};

}  // namespace quillnest
