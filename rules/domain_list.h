// The immutable object behind FilterRules: the domain list as stored (one block of text and the
// entries' end offsets), and an index over it that answers the domain match with the plain walk's
// result without visiting every entry.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quillnest {

// The entries in stored order, each a view into its list's text. Valid while the list lives (any
// FilterRules holding it keeps it alive).
class DomainEntries {
 public:
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::string_view;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = std::string_view;

    const_iterator() = default;
    const_iterator(const char* text, const std::uint32_t* bound) : text_(text), bound_(bound) {}
    std::string_view operator*() const { return {text_ + bound_[0], bound_[1] - bound_[0]}; }
    const_iterator& operator++() {
      ++bound_;
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator before = *this;
      ++bound_;
      return before;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.bound_ == b.bound_;
    }

   private:
    const char* text_ = nullptr;
    const std::uint32_t* bound_ = nullptr;
  };
  using iterator = const_iterator;
  using value_type = std::string_view;

  DomainEntries() = default;
  // bounds holds count + 1 offsets into text, the first 0.
  DomainEntries(const char* text, const std::uint32_t* bounds, std::size_t count)
      : text_(text), bounds_(bounds), count_(count) {}

  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  std::string_view operator[](std::size_t i) const {
    return {text_ + bounds_[i], bounds_[i + 1] - bounds_[i]};
  }
  std::string_view front() const { return (*this)[0]; }
  std::string_view back() const { return (*this)[count_ - 1]; }
  const_iterator begin() const { return {text_, bounds_}; }
  const_iterator end() const { return {text_, bounds_ + count_}; }

  // Every entry's text back to back, in order.
  std::string_view text() const { return {text_, bounds_[count_]}; }

  // The entries as strings of their own (a copy: for tests and tools, not the filter).
  std::vector<std::string> strings() const { return {begin(), end()}; }

  // Same length, equal strings at every position.
  friend bool operator==(const DomainEntries& a, const DomainEntries& b);
  friend bool operator==(const DomainEntries& a, const std::vector<std::string>& b);

 private:
  static constexpr std::uint32_t kNoBounds[1] = {0};
  const char* text_ = nullptr;
  const std::uint32_t* bounds_ = kNoBounds;
  std::size_t count_ = 0;
};

// A block of entry text from malloc: the decoder sizes it for the worst case, then gives the
// unused end back without moving the text.
class EntryText {
 public:
  EntryText() = default;
  explicit EntryText(std::size_t capacity);  // throws std::bad_alloc

  char* data() const { return data_.get(); }
  std::size_t capacity() const { return capacity_; }
  void shrinkTo(std::size_t size);

 private:
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> data_;
  std::size_t capacity_ = 0;
};

// The hash index over a list's entries. A slot is 0 (empty) or (entry + 1) << tagBits | the low
// tagBits bits of the entry's hash: positions take the bits the list's size needs and the rest
// spare most string comparisons.
struct DomainIndex {
  std::vector<std::uint32_t> slots;
  unsigned tagBits = 0;
  // The entries equal to an earlier one, ascending: met while inserting, so that which entries
  // come first among equals needs no pass over the slots.
  std::vector<std::uint32_t> laterEquals;
};

// Builds a list's index on another thread while the list's entries are still being written, for
// big lists, where inserting a million entries costs as much as decoding them. The writer lays
// the entries out in place and says how many are final; the index is ready soon after the last.
class IndexBuiltAlongside {
 public:
  // Worth a thread from this many entries on.
  static constexpr std::size_t kWorthFrom = 65536;

  // Entry i will be text[bounds[i], bounds[i + 1]): neither block moves until finish() returns.
  IndexBuiltAlongside(const char* text, const std::uint32_t* bounds, std::size_t count);
  ~IndexBuiltAlongside();
  IndexBuiltAlongside(const IndexBuiltAlongside&) = delete;
  IndexBuiltAlongside& operator=(const IndexBuiltAlongside&) = delete;

  // Entries 0 to entries - 1 are final.
  void complete(std::size_t entries);
  // Waits for the index: all count entries of it when they were all completed, else nothing.
  std::optional<DomainIndex> finish();

 private:
  static constexpr std::size_t kStopping = std::size_t{1} << (sizeof(std::size_t) * 8 - 1);
  void insertUpTo(std::size_t entries);
  void run();

  const char* text_;
  const std::uint32_t* bounds_;
  std::size_t count_;
  DomainIndex index_;
  std::size_t inserted_ = 0;               // the builder's alone until it is joined
  bool failed_ = false;                    // likewise: it ran out of memory
  std::atomic<std::size_t> completed_{0};  // with kStopping once no more will come
  std::thread thread_;
};

class DomainList {
 public:
  // Keeps the entries exactly as given (order, duplicates, empty strings) and indexes them.
  explicit DomainList(std::span<const std::string> domains);
  // The same with every hash ANDed with hashMask: for tests, which force collisions with it.
  DomainList(std::span<const std::string> domains, std::uint64_t hashMask);
  // Takes entries already laid out: entry i is text[bounds[i], bounds[i + 1]), bounds[0] == 0.
  // index, when given, was built over exactly these entries.
  DomainList(EntryText text, std::vector<std::uint32_t> bounds,
             std::optional<DomainIndex> index = std::nullopt);

  DomainList(const DomainList&) = delete;
  DomainList& operator=(const DomainList&) = delete;

  DomainEntries domains() const { return {text_.data(), bounds_.data(), bounds_.size() - 1}; }

  // True when some entry equals host, or equals the part of host after one of its dots. The host
  // is taken as it is: callers normalise it first.
  bool matchesNormalizedHost(std::string_view host) const;

  // True when some entry equals name byte for byte.
  bool contains(std::string_view name) const { return firstEqual(name).has_value(); }
  // The position of the first entry equal to name byte for byte.
  std::optional<std::size_t> firstEqual(std::string_view name) const;
  // firstEqual of each name into out, the index reads of all of them overlapped: for many names
  // at once on a big list, where each lookup is a cache miss.
  void firstEqualEach(std::span<const std::string_view> names,
                      std::span<std::optional<std::size_t>> out) const;
  // For every entry, whether it is the first of those equal to it (firstEqual(entry i) == i),
  // without a lookup per entry.
  std::vector<bool> firstOfEquals() const;

  // Bytes held by the index, beside the entries.
  std::size_t indexBytes() const {
    return (index_.slots.capacity() + index_.laterEquals.capacity()) * sizeof(std::uint32_t);
  }
  // Everything the list holds: text block, offsets and index.
  std::size_t heldBytes() const {
    return text_.capacity() + bounds_.capacity() * sizeof(std::uint32_t) + indexBytes();
  }

 private:
  void indexEntries();
  std::optional<std::size_t> probe(std::string_view name, std::uint64_t hash) const;
  std::string_view entry(std::size_t i) const {
    return {text_.data() + bounds_[i], bounds_[i + 1] - bounds_[i]};
  }

  EntryText text_;
  std::vector<std::uint32_t> bounds_;
  DomainIndex index_;
  std::uint64_t hashMask_ = ~std::uint64_t{0};
};

// The match as a linear walk over the list, building "." + entry for each entry that is not equal
// to the normalised host. Slow on long lists; kept as the reference the index is tested against.
bool matchesHostByWalk(DomainEntries domains, std::string_view host);
bool matchesHostByWalk(std::span<const std::string> domains, std::string_view host);

}  // namespace quillnest
