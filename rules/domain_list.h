// The immutable object behind FilterRules: the domain list as stored, and an index over it that
// answers the domain match with the plain walk's result without visiting every entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillnest {

class DomainList {
 public:
  // Keeps the entries exactly as given (order, duplicates, empty strings) and indexes them.
  explicit DomainList(std::vector<std::string> domains);

  DomainList(const DomainList&) = delete;
  DomainList& operator=(const DomainList&) = delete;

  const std::vector<std::string>& domains() const { return domains_; }

  // True when some entry equals host, or equals the part of host after one of its dots. The host
  // is taken as it is: callers normalise it first.
  bool matchesNormalizedHost(std::string_view host) const;

  // True when some entry equals name byte for byte.
  bool contains(std::string_view name) const;

  // Bytes held by the index, beside the strings themselves.
  std::size_t indexBytes() const { return slots_.capacity() * sizeof(Slot); }

 private:
  // A slot names an entry by position; the hash tag spares a string comparison on most misses.
  struct Slot {
    std::uint32_t tag;
    std::uint32_t entryPlusOne;  // 0: empty slot
  };

  void insert(std::size_t entry, std::uint64_t hash);

  std::vector<std::string> domains_;
  std::vector<Slot> slots_;
};

// The match as a linear walk over the list, building "." + entry for each entry that is not equal
// to the normalised host. Slow on long lists; kept as the reference the index is tested against.
bool matchesHostByWalk(const std::vector<std::string>& domains, std::string_view host);

}  // namespace quillnest
