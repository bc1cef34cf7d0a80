#include "rules/domain_list.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>

#include "rules/large_buffer.h"
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

std::uint64_t load64(const char* at) {
  std::uint64_t word;
  std::memcpy(&word, at, 8);
  return word;
}

std::uint64_t load32(const char* at) {
  std::uint32_t word;
  std::memcpy(&word, at, 4);
  return word;
}

// Two words of the text a multiply: the first and last 8 bytes of a text of 8 to 16 (overlapping
// when it is shorter than 16), a few reads for shorter ones, 16 bytes a step before the last 16 of
// a longer one. A byte-count copy of the tail would cost a call and mispredict on every length.
std::uint64_t hashText(std::string_view text) {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t h = kSeed ^ (static_cast<std::uint64_t>(n) * kMulB);
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (n > 16) {
    std::size_t rest = n;
    for (; rest > 16; p += 16, rest -= 16) h = mum(load64(p) ^ kMulA, load64(p + 8) ^ h);
    a = load64(p + rest - 16);
    b = load64(p + rest - 8);
  } else if (n >= 8) {
    a = load64(p);
    b = load64(p + n - 8);
  } else if (n >= 4) {
    a = load32(p);
    b = load32(p + n - 4);
  } else if (n > 0) {
    const auto byte = [p](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    a = byte(0) << 16 | byte(n / 2) << 8 | byte(n - 1);
  }
  return mum(kMulA ^ n, mum(a ^ kMulA, b ^ h));
}

// The slot for a hash: its high bits scaled to the table size, so any size works and the low
// bits are free for the tag.
std::size_t homeSlot(std::uint64_t hash, std::size_t slotCount) {
  return static_cast<std::size_t>((static_cast<unsigned __int128>(hash) * slotCount) >> 64);
}

// Calls visit(i, hash) for the texts 0 to count - 1 in order, each hashed some texts ahead with
// its home slot prefetched: on a big list every slot is a cache miss, and this lets them overlap.
template <int kForWriting, typename TextOf, typename Visit>
void hashedAhead(std::size_t count, std::uint64_t hashMask, const std::uint32_t* slots,
                 std::size_t slotCount, TextOf textOf, Visit visit) {
  constexpr std::size_t kAhead = 16;
  std::uint64_t hashes[kAhead];
  const auto fetch = [&](std::size_t i) {
    hashes[i % kAhead] = hashText(textOf(i)) & hashMask;
    __builtin_prefetch(&slots[homeSlot(hashes[i % kAhead], slotCount)], kForWriting);
  };
  for (std::size_t i = 0; i < std::min(kAhead, count); ++i) fetch(i);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t hash = hashes[i % kAhead];
    if (i + kAhead < count) fetch(i + kAhead);
    visit(i, hash);
  }
}

// An empty index with room for count entries; none for a list beyond 32-bit positions, which is
// only walked.
DomainIndex emptyIndex(std::size_t count) {
  DomainIndex index;
  if (count == 0 || count >= std::numeric_limits<std::uint32_t>::max()) return index;
  index.tagBits = 32 - static_cast<unsigned>(std::bit_width(count));
  // At most 70% full: a miss then reads a few neighbouring slots of one cache line.
  const std::size_t slotCount = count + count * 3 / 7 + 1;
  index.slots.reserve(slotCount);
  adviseHugePages(index.slots.data(), slotCount * sizeof(index.slots[0]));
  index.slots.assign(slotCount, 0);
  return index;
}

// Adds entries from to to - 1 to the index, textOf(i) being entry i. Each insertion lands on a
// random slot, a cache miss on a big list.
template <typename TextOf>
void insertEntries(DomainIndex& index, std::uint64_t hashMask, std::size_t from, std::size_t to,
                   TextOf textOf) {
  if (index.slots.empty()) return;
  std::uint32_t* const slots = index.slots.data();
  const std::size_t slotCount = index.slots.size();
  const unsigned tagBits = index.tagBits;
  const std::uint32_t tagMask = (std::uint32_t{1} << tagBits) - 1;
  hashedAhead<1>(
      to - from, hashMask, slots, slotCount, [&](std::size_t k) { return textOf(from + k); },
      [&](std::size_t k, std::uint64_t hash) {
        const std::size_t i = from + k;
        const std::uint32_t tag = static_cast<std::uint32_t>(hash) & tagMask;
        const std::string_view text = textOf(i);
        std::size_t slot = homeSlot(hash, slotCount);
        while (true) {
          const std::uint32_t held = slots[slot];
          if (held == 0) {
            slots[slot] = static_cast<std::uint32_t>(i + 1) << tagBits | tag;
            break;
          }
          // A duplicate adds nothing to the answers.
          if ((held & tagMask) == tag && textOf((held >> tagBits) - 1) == text) {
            index.laterEquals.push_back(static_cast<std::uint32_t>(i));
            break;
          }
          if (++slot == slotCount) slot = 0;
        }
      });
}

template <typename Entries>
bool walk(const Entries& domains, std::string_view host) {
  const std::optional<std::string> h = normalizedHost(host);
  if (!h) return false;
  for (const auto& d : domains) {
    if (*h == d) return true;
    std::string dotted = ".";
    dotted.append(d);
    if (h->ends_with(dotted)) return true;
  }
  return false;
}

}  // namespace

bool operator==(const DomainEntries& a, const DomainEntries& b) {
  if (a.count_ != b.count_) return false;
  // The offsets and the text together say exactly which strings stand where.
  const std::size_t textSize = a.bounds_[a.count_];
  return std::equal(a.bounds_, a.bounds_ + a.count_ + 1, b.bounds_) &&
         (textSize == 0 || std::memcmp(a.text_, b.text_, textSize) == 0);
}

bool operator==(const DomainEntries& a, const std::vector<std::string>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

EntryText::EntryText(std::size_t capacity) : capacity_(capacity) {
  if (capacity == 0) return;
  char* const buffer = static_cast<char*>(std::malloc(capacity));
  if (buffer == nullptr) throw std::bad_alloc();
  adviseHugePages(buffer, capacity);
  data_.reset(buffer);
}

void EntryText::shrinkTo(std::size_t size) {
  if (size >= capacity_) return;
  if (size == 0) {
    data_.reset();
    capacity_ = 0;
    return;
  }
  // glibc shrinks in place (mremap for a mapped block), so the entries stay where they are.
  if (char* shrunk = static_cast<char*>(std::realloc(data_.get(), size))) {
    (void)data_.release();
    data_.reset(shrunk);
    capacity_ = size;
  }
}

DomainList::DomainList(std::span<const std::string> domains)
    : DomainList(domains, ~std::uint64_t{0}) {}

DomainList::DomainList(std::span<const std::string> domains, std::uint64_t hashMask)
    : hashMask_(hashMask) {
  std::size_t total = 0;
  for (const std::string& d : domains) total += d.size();
  if (total > std::numeric_limits<std::uint32_t>::max()) {
    throw std::length_error("domain list text over 4 GiB");
  }
  text_ = EntryText(total);
  bounds_.reserve(domains.size() + 1);
  adviseHugePages(bounds_.data(), bounds_.capacity() * sizeof(std::uint32_t));
  bounds_.push_back(0);
  std::size_t at = 0;
  for (const std::string& d : domains) {
    if (!d.empty()) std::memcpy(text_.data() + at, d.data(), d.size());
    at += d.size();
    bounds_.push_back(static_cast<std::uint32_t>(at));
  }
  indexEntries();
}

DomainList::DomainList(EntryText text, std::vector<std::uint32_t> bounds,
                       std::optional<DomainIndex> index)
    : text_(std::move(text)), bounds_(std::move(bounds)) {
  if (bounds_.empty()) bounds_.push_back(0);
  if (index) {
    index_ = std::move(*index);
  } else {
    indexEntries();
  }
}

void DomainList::indexEntries() {
  const std::size_t count = bounds_.size() - 1;
  index_ = emptyIndex(count);
  insertEntries(index_, hashMask_, 0, count, [this](std::size_t i) { return entry(i); });
  index_.laterEquals.shrink_to_fit();
}

IndexBuiltAlongside::IndexBuiltAlongside(const char* text, const std::uint32_t* bounds,
                                         std::size_t count)
    : text_(text), bounds_(bounds), count_(count) {
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: finish() does it all.
    index_ = emptyIndex(count);
  }
}

IndexBuiltAlongside::~IndexBuiltAlongside() {
  if (!thread_.joinable()) return;
  completed_.fetch_or(kStopping, std::memory_order_release);
  completed_.notify_one();
  thread_.join();
}

void IndexBuiltAlongside::complete(std::size_t entries) {
  completed_.store(std::min(entries, count_), std::memory_order_release);
  completed_.notify_one();
}

void IndexBuiltAlongside::insertUpTo(std::size_t entries) {
  insertEntries(index_, ~std::uint64_t{0}, inserted_, entries, [this](std::size_t i) {
    return std::string_view(text_ + bounds_[i], bounds_[i + 1] - bounds_[i]);
  });
  inserted_ = entries;
}

void IndexBuiltAlongside::run() {
  try {
    index_ = emptyIndex(count_);
    while (true) {
      const std::size_t state = completed_.load(std::memory_order_acquire);
      const std::size_t ready = state & ~kStopping;
      if (ready > inserted_) {
        insertUpTo(ready);
      } else if ((state & kStopping) != 0) {
        return;
      } else {
        completed_.wait(state, std::memory_order_acquire);
      }
    }
  } catch (const std::bad_alloc&) {
    failed_ = true;  // the list is indexed once decoded instead, or fails to load as it would
  }
}

std::optional<DomainIndex> IndexBuiltAlongside::finish() {
  if (thread_.joinable()) {
    completed_.fetch_or(kStopping, std::memory_order_release);
    completed_.notify_one();
    thread_.join();
  }
  if (failed_) return std::nullopt;
  insertUpTo(completed_.load(std::memory_order_acquire) & ~kStopping);
  if (inserted_ != count_) return std::nullopt;
  index_.laterEquals.shrink_to_fit();
  return std::move(index_);
}

std::optional<std::size_t> DomainList::firstEqual(std::string_view name) const {
  if (index_.slots.empty()) {
    const DomainEntries entries = domains();
    for (std::size_t i = 0; i < entries.size(); ++i) {
      if (entries[i] == name) return i;
    }
    return std::nullopt;
  }
  return probe(name, hashText(name) & hashMask_);
}

std::optional<std::size_t> DomainList::probe(std::string_view name, std::uint64_t hash) const {
  const unsigned tagBits = index_.tagBits;
  const std::uint32_t tagMask = (std::uint32_t{1} << tagBits) - 1;
  const std::uint32_t tag = static_cast<std::uint32_t>(hash) & tagMask;
  const std::size_t slotCount = index_.slots.size();
  std::size_t slot = homeSlot(hash, slotCount);
  while (true) {
    const std::uint32_t held = index_.slots[slot];
    if (held == 0) return std::nullopt;
    // The index holds the first of equal entries.
    if ((held & tagMask) == tag && entry((held >> tagBits) - 1) == name) {
      return (held >> tagBits) - 1;
    }
    if (++slot == slotCount) slot = 0;
  }
}

void DomainList::firstEqualEach(std::span<const std::string_view> names,
                                std::span<std::optional<std::size_t>> out) const {
  if (index_.slots.empty()) {
    for (std::size_t i = 0; i < names.size(); ++i) out[i] = firstEqual(names[i]);
    return;
  }
  hashedAhead<0>(
      names.size(), hashMask_, index_.slots.data(), index_.slots.size(),
      [&](std::size_t i) { return names[i]; },
      [&](std::size_t i, std::uint64_t hash) { out[i] = probe(names[i], hash); });
}

std::vector<bool> DomainList::firstOfEquals() const {
  const std::size_t count = bounds_.size() - 1;
  if (index_.slots.empty()) {
    std::vector<bool> first(count);
    for (std::size_t i = 0; i < count; ++i) first[i] = firstEqual(entry(i)) == i;
    return first;
  }
  std::vector<bool> first(count, true);
  for (const std::uint32_t later : index_.laterEquals) first[later] = false;
  return first;
}

bool DomainList::matchesNormalizedHost(std::string_view host) const {
  if (bounds_.size() == 1) return false;
  // "host ends with '.' + entry" holds exactly when the entry equals the text after one of the
  // host's dots, so the whole host and each such remainder are looked up; entries are opaque.
  if (contains(host)) return true;
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
       dot = host.find('.', dot + 1)) {
    if (contains(host.substr(dot + 1))) return true;
  }
  return false;
}

bool matchesHostByWalk(DomainEntries domains, std::string_view host) { return walk(domains, host); }

bool matchesHostByWalk(std::span<const std::string> domains, std::string_view host) {
  return walk(domains, host);
}

}  // namespace quillnest
