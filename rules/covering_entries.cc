#include "rules/covering_entries.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "rules/byte_masks.h"

namespace quillnest {
namespace {

constexpr std::size_t kBitsPerEntry = 16;  // a few percent of absent texts pass

// The last 8 bytes of text as one word, the last byte on top (a shorter text's bytes on top,
// zeros below): a parent domain's word is then its entry's word with the top bytes kept.
std::uint64_t lastBytes(std::string_view text) {
  std::uint64_t word = 0;
  if (text.size() >= 8) {
    std::memcpy(&word, text.data() + text.size() - 8, 8);
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    return word;
  }
  for (const char c : text) word = word >> 8 | std::uint64_t{static_cast<unsigned char>(c)} << 56;
  return word;
}

// The top n bytes of a word, for n up to 8. Tables rather than shifts by a variable amount,
// which cost several instructions each on the common target.
constexpr auto kTopBytes = [] {
  std::array<std::uint64_t, 9> masks{};
  for (unsigned n = 1; n <= 8; ++n) masks[n] = ~std::uint64_t{0} << (64 - 8 * n);
  return masks;
}();
constexpr auto kBit = [] {
  std::array<std::uint64_t, 64> bits{};
  for (unsigned i = 0; i < 64; ++i) bits[i] = std::uint64_t{1} << i;
  return bits;
}();

// The key of the text of length size that ends where a text whose lastBytes are last ends.
std::uint64_t keyOf(std::uint64_t last, std::size_t size) {
  const std::uint64_t ending = last & kTopBytes[std::min<std::size_t>(size, 8)];
  const unsigned __int128 product =
      static_cast<unsigned __int128>(ending ^ size * 0x9E3779B97F4A7C15ull) * 0xD6E8FEB86659FD93ull;
  return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

// Bit i set where text[i] is a dot, for its first 64 bytes. 32 bytes a step where they may be
// read (readable bytes from text's start may).
std::uint64_t dotMask(std::string_view text, std::size_t readable) {
  const std::size_t size = std::min<std::size_t>(text.size(), 64);
  std::uint64_t mask = 0;
  if (size <= 32 && readable >= 32) {
    mask = bytesEqual32(text.data(), '.');
  } else if (readable >= 64) {
    mask = bytesEqual32(text.data(), '.') | std::uint64_t{bytesEqual32(text.data() + 32, '.')}
                                                << 32;
  } else {
    for (std::size_t i = 0; i < size; ++i) mask |= std::uint64_t{text[i] == '.'} << i;
  }
  return size == 64 ? mask : mask & ((std::uint64_t{1} << size) - 1);
}

std::uint64_t bitsOf(std::uint64_t key) { return kBit[key & 63] | kBit[key >> 6 & 63]; }

}  // namespace

CoveringEntries::CoveringEntries(DomainEntries entries)
    : words_(std::max<std::size_t>(entries.size() * kBitsPerEntry / 64, 1), 0) {
  for (const std::string_view entry : entries) {
    const std::uint64_t key = keyOf(lastBytes(entry), entry.size());
    words_[&word(key) - words_.data()] |= bitsOf(key);
  }
}

const std::uint64_t& CoveringEntries::word(std::uint64_t key) const {
  return words_[static_cast<std::size_t>((static_cast<unsigned __int128>(key) * words_.size()) >>
                                         64)];
}

void CoveringEntries::firstFromAbove(const DomainList& list, std::size_t begin,
                                     std::span<std::optional<std::size_t>> out) const {
  const DomainEntries entries = list.domains();
  const std::size_t count = std::min(out.size(), entries.size() - std::min(begin, entries.size()));
  // Most parent domains are ruled out by the bit table; those it lets through are looked up in
  // the index together, their cache misses overlapped, and each text once: a top-level domain
  // the table happens to let through comes back with every few entries.
  std::vector<std::string_view> names;
  std::vector<std::pair<std::size_t, std::size_t>> asked;  // (entry, name)
  names.reserve(count);
  asked.reserve(count);
  std::array<std::size_t, 64> recent{};  // a name's position + 1, by the top bits of its key
  const char* const end = entries.text().data() + entries.text().size();
  // The table is larger than a core's own cache: every parent domain's word is asked for first,
  // and read once all are on their way.
  struct Parent {
    std::size_t k;
    std::size_t dot;
    std::uint64_t key;
  };
  std::vector<Parent> parents;
  parents.reserve(count * 2);
  for (std::size_t k = 0; k < count; ++k) {
    out[k].reset();
    const std::string_view entry = entries[begin + k];
    const std::uint64_t last = lastBytes(entry);
    const auto ask = [&](std::size_t dot) {
      // An empty entry never matches a host, so it covers nothing below it either.
      if (dot + 1 == entry.size()) return;
      const std::uint64_t key = keyOf(last, entry.size() - dot - 1);
      __builtin_prefetch(&word(key));
      parents.push_back({k, dot, key});
    };
    for (std::uint64_t dots = dotMask(entry, end - entry.data()); dots != 0; dots &= dots - 1) {
      ask(static_cast<std::size_t>(std::countr_zero(dots)));
    }
    for (std::size_t dot = entry.find('.', 64); dot != std::string_view::npos;
         dot = entry.find('.', dot + 1)) {
      ask(dot);
    }
  }
  for (const auto& [k, dot, key] : parents) {
    const std::uint64_t bits = bitsOf(key);
    if ((word(key) & bits) != bits) continue;
    const std::string_view parent = entries[begin + k].substr(dot + 1);
    std::size_t& seen = recent[key >> 58];
    if (seen == 0 || names[seen - 1] != parent) {
      names.push_back(parent);
      seen = names.size();
    }
    asked.emplace_back(k, seen - 1);
  }
  std::vector<std::optional<std::size_t>> found(names.size());
  list.firstEqualEach(names, found);
  for (const auto& [k, name] : asked) {
    std::optional<std::size_t>& first = out[k];
    if (found[name] && (!first || *found[name] < *first)) first = found[name];
  }
}

}  // namespace quillnest
