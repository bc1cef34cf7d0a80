#include "rules/domain_list.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "rules/normalization.h"

namespace quillnest {
namespace {

// A small multiply-fold hash (the wyhash "mum" step). The seed is fixed: lists come from the
// administrator's configuration, and a fixed layout keeps measurements repeatable.
constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
constexpr std::uint64_t kMulA = 0xA0761D6478BD642Full;
constexpr std::uint64_t kMulB = 0xE7037ED1A0B428DBull;

std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

std::uint64_t hashText(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t h = kSeed ^ (static_cast<std::uint64_t>(n) * kMulB);
  while (n >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    h = mum(h ^ word, kMulA);
    p += 8;
    n -= 8;
  }
  std::uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  h = mum(h ^ tail ^ kMulA, kMulB ^ n);
  return mum(h, kMulA) ^ h;
}

// The slot for a hash: its high bits scaled to the table size, so any size works and the low
// bits are free for the tag.
std::size_t homeSlot(std::uint64_t hash, std::size_t slotCount) {
  return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slotCount) >> 64);
}

std::uint32_t tagOf(std::uint64_t hash) { return static_cast<std::uint32_t>(hash); }

}  // namespace

DomainList::DomainList(std::vector<std::string> domains) : domains_(std::move(domains)) {
  // Positions are kept in 32 bits; a list beyond that (over 100 GB of strings) is only walked.
  if (domains_.empty() || domains_.size() >= std::numeric_limits<std::uint32_t>::max()) return;
  // At most 70% full: linear probing then stays within a cache line or two, at about 11 bytes of
  // table per entry.
  const std::size_t slotCount = domains_.size() + domains_.size() * 3 / 7 + 1;
  slots_.assign(slotCount, Slot{0, 0});
  // Each insertion lands on a random slot, a cache miss on a big list; hashing a stretch of
  // entries ahead and prefetching their slots lets those misses overlap.
  constexpr std::size_t kAhead = 16;
  std::uint64_t hashes[kAhead];
  const std::size_t count = domains_.size();
  for (std::size_t i = 0; i < std::min(kAhead, count); ++i) {
    hashes[i] = hashText(domains_[i]);
    __builtin_prefetch(&slots_[homeSlot(hashes[i], slotCount)], 1);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t hash = hashes[i % kAhead];
    if (i + kAhead < count) {
      const std::uint64_t next = hashText(domains_[i + kAhead]);
      hashes[i % kAhead] = next;
      __builtin_prefetch(&slots_[homeSlot(next, slotCount)], 1);
    }
    insert(i, hash);
  }
}

void DomainList::insert(std::size_t entry, std::uint64_t hash) {
  const std::uint32_t tag = tagOf(hash);
  const std::size_t slotCount = slots_.size();
  std::size_t slot = homeSlot(hash, slotCount);
  while (true) {
    Slot& candidate = slots_[slot];
    if (candidate.entryPlusOne == 0) {
      candidate = Slot{tag, static_cast<std::uint32_t>(entry + 1)};
      return;
    }
    // A duplicate adds nothing to the answers.
    if (candidate.tag == tag && domains_[candidate.entryPlusOne - 1] == domains_[entry]) return;
    if (++slot == slotCount) slot = 0;
  }
}

bool DomainList::contains(std::string_view name) const {
  if (slots_.empty()) {
    for (const std::string& entry : domains_) {
      if (entry == name) return true;
    }
    return false;
  }
  const std::uint64_t hash = hashText(name);
  const std::uint32_t tag = tagOf(hash);
  const std::size_t slotCount = slots_.size();
  std::size_t slot = homeSlot(hash, slotCount);
  while (true) {
    const Slot& candidate = slots_[slot];
    if (candidate.entryPlusOne == 0) return false;
    if (candidate.tag == tag && domains_[candidate.entryPlusOne - 1] == name) return true;
    if (++slot == slotCount) slot = 0;
  }
}

bool DomainList::matchesNormalizedHost(std::string_view host) const {
  if (domains_.empty()) return false;
  // "host ends with '.' + entry" holds exactly when the entry equals the text after one of the
  // host's dots, so the whole host and each such remainder are looked up; entries are opaque.
  if (contains(host)) return true;
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
       dot = host.find('.', dot + 1)) {
    if (contains(host.substr(dot + 1))) return true;
  }
  return false;
}

bool matchesHostByWalk(const std::vector<std::string>& domains, std::string_view host) {
  const std::optional<std::string> h = normalizedHost(host);
  if (!h) return false;
  for (const std::string& d : domains) {
    if (*h == d) return true;
    const std::string dotted = "." + d;
    if (h->ends_with(dotted)) return true;
  }
  return false;
}

}  // namespace quillnest
