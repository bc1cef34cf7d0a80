// Stream bytes a verdict rests on that the server has not acknowledged yet. A copy of them may die
// on the way (too big for a link, say) while another copy reaches the server, so a later copy
// that differs leaves the engine unable to know which one the server took. Kept in runs at their
// stream offsets; bytes nothing rests on (an unread body's) are left out. Past the limit the
// oldest are forgotten, and a copy that reaches into forgotten bytes cannot be shown to agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillnest::hosts {

// Whether bytes at stream offset agree with kept bytes that start at keptOffset, where the two
// overlap.
bool agreesWith(std::span<const std::uint8_t> kept, std::int64_t keptOffset, std::int64_t offset,
                std::span<const std::uint8_t> bytes);

class UnacknowledgedBytes {
 public:
  explicit UnacknowledgedBytes(std::size_t limit) : limit_(limit) {}

  // Bytes read at offset, at or past those kept before.
  void keep(std::uint64_t offset, std::span<const std::uint8_t> bytes);
  // Whether a copy at offset agrees with what is kept where they overlap (false where it
  // reaches into forgotten bytes).
  bool agrees(std::int64_t offset, std::span<const std::uint8_t> bytes) const;
  // The server acknowledged every byte before offset: no copy of them can take their place.
  void acknowledged(std::int64_t offset);
  bool empty() const { return runs_.empty() && !forgottenTo_; }
  void clear();

 private:
  struct Run {
    std::uint64_t offset;
    std::vector<std::uint8_t> bytes;
    std::uint64_t end() const { return offset + bytes.size(); }
  };
  void dropFront(std::size_t count);

  std::size_t limit_;
  std::vector<Run> runs_;  // few: no allocation while empty, as on most connections
  std::size_t size_ = 0;
  std::uint64_t acknowledged_ = 0;
  // Bytes from acknowledged_ up to here were forgotten unacknowledged.
  std::optional<std::uint64_t> forgottenTo_;
};

}  // namespace quillnest::hosts
