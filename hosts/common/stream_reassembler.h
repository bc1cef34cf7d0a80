// The outbound byte stream of one TCP connection, rebuilt from segments that may arrive out of
// order, twice, or overlapping. Offsets count from the first byte after the SYN (ISN + 1).
//
// Overlaps are first-wins, as in the kernel's receiver: a byte once taken is never replaced by a
// later segment that carries a different value there. Bytes handed out by take() are forgotten;
// anything that arrives again below that point is ignored. A later copy that differs from a byte
// still kept is remembered (conflicted()): which copy a receiver ends with then depends on the
// order it sees them in, which no reader of the stream can know, and real senders never do it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

namespace quillnest::hosts {

// Position of a segment in the stream, from the 32-bit sequence numbers: wrap-around safe for
// streams shorter than 2^31 bytes. A segment that starts before the stream (a SYN's own sequence
// number, stale data) gets a negative offset.
std::int64_t streamOffset(std::uint32_t initialSequence, std::uint32_t sequence);

class StreamReassembler {
 public:
  // Segments reaching beyond taken() + window are refused (insert returns false) so a sender
  // cannot make us keep an unbounded sparse stream.
  explicit StreamReassembler(std::size_t window = 256 * 1024) : window_(window) {}

  // Adds a segment at a stream offset (negative offsets are clipped to 0). Returns false when
  // the segment lies beyond the window; nothing of it is kept then.
  bool insert(std::int64_t offset, std::span<const std::uint8_t> bytes);
  // insert() would keep a segment of size bytes at offset (or has nothing new to keep).
  bool fits(std::int64_t offset, std::size_t size) const;
  // Forgets every byte kept at offset and beyond (bytes that were never passed on).
  void forgetFrom(std::uint64_t offset);

  // Takes everything before offset unread, kept or not: bytes nobody needs (a body the reader
  // skips) are neither kept nor compared from here on.
  void skipTo(std::uint64_t offset);

  // The contiguous bytes from taken() on, if any; they are then taken.
  std::vector<std::uint8_t> take();

  // The contiguous bytes from `from` (at or beyond taken()) up to the first gap, left in place:
  // a reader that may give the stream back to another reader looks without taking.
  std::vector<std::uint8_t> peek(std::uint64_t from) const;

  // How many bytes could be taken now without a gap.
  std::size_t contiguousAvailable() const;
  // Offset of the first byte not yet taken.
  std::uint64_t taken() const { return taken_; }
  // Bytes kept beyond taken() (contiguous or not).
  std::size_t buffered() const { return buffered_; }
  // A segment carried other bytes than those kept for the same offsets.
  bool conflicted() const { return conflicted_; }

 private:
  std::size_t window_;
  std::uint64_t taken_ = 0;
  std::size_t buffered_ = 0;
  bool conflicted_ = false;
  // Non-overlapping pieces keyed by their start offset, all at or beyond taken_.
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;
};

}  // namespace quillnest::hosts
