#include "hosts/common/stream_reassembler.h"

#include <algorithm>
#include <iterator>

namespace quillnest::hosts {

std::int64_t streamOffset(std::uint32_t initialSequence, std::uint32_t sequence) {
  // The stream starts at ISN + 1; the signed 32-bit distance survives wrap-around.
  return static_cast<std::int32_t>(sequence - (initialSequence + 1u));
}

bool StreamReassembler::insert(std::int64_t offset, std::span<const std::uint8_t> bytes) {
  if (offset < 0) {
    const auto skip = static_cast<std::uint64_t>(-offset);
    if (skip >= bytes.size()) return true;
    bytes = bytes.subspan(skip);
    offset = 0;
  }
  std::uint64_t start = static_cast<std::uint64_t>(offset);
  const std::uint64_t end = start + bytes.size();
  if (end <= taken_) return true;
  if (!fits(offset, bytes.size())) return false;
  std::uint64_t cursor = std::max(start, taken_);

  // Compare with the copies already kept where they overlap.
  auto overlap = pieces_.upper_bound(cursor);
  if (overlap != pieces_.begin()) --overlap;
  for (; overlap != pieces_.end() && overlap->first < end && !conflicted_; ++overlap) {
    const std::uint64_t pieceEnd = overlap->first + overlap->second.size();
    const std::uint64_t from = std::max(overlap->first, cursor);
    const std::uint64_t to = std::min(pieceEnd, end);
    if (from >= to) continue;
    conflicted_ =
        !std::equal(overlap->second.begin() + static_cast<std::ptrdiff_t>(from - overlap->first),
                    overlap->second.begin() + static_cast<std::ptrdiff_t>(to - overlap->first),
                    bytes.begin() + static_cast<std::ptrdiff_t>(from - start));
  }

  // Skip whatever an earlier piece already covers: the first bytes win.
  auto it = pieces_.upper_bound(cursor);
  if (it != pieces_.begin()) {
    auto previous = std::prev(it);
    cursor = std::max(cursor, previous->first + previous->second.size());
  }
  while (cursor < end) {
    it = pieces_.lower_bound(cursor);
    if (it != pieces_.end() && it->first == cursor) {
      cursor += it->second.size();
      continue;
    }
    const std::uint64_t stop = it == pieces_.end() ? end : std::min(it->first, end);
    auto first = bytes.begin() + static_cast<std::ptrdiff_t>(cursor - start);
    auto last = bytes.begin() + static_cast<std::ptrdiff_t>(stop - start);
    pieces_.emplace(cursor, std::vector<std::uint8_t>(first, last));
    buffered_ += stop - cursor;
    cursor = stop;
  }
  return true;
}

bool StreamReassembler::fits(std::int64_t offset, std::size_t size) const {
  const std::int64_t end = offset + static_cast<std::int64_t>(size);
  return end <= static_cast<std::int64_t>(taken_ + window_);
}

void StreamReassembler::forgetFrom(std::uint64_t offset) {
  auto it = pieces_.lower_bound(offset);
  if (it != pieces_.begin()) {
    auto& [start, piece] = *std::prev(it);
    if (start + piece.size() > offset) {
      buffered_ -= start + piece.size() - offset;
      piece.resize(offset - start);
    }
  }
  for (auto rest = it; rest != pieces_.end(); ++rest) buffered_ -= rest->second.size();
  pieces_.erase(it, pieces_.end());
}

void StreamReassembler::skipTo(std::uint64_t offset) {
  if (offset <= taken_) return;
  while (!pieces_.empty() && pieces_.begin()->first < offset) {
    auto node = pieces_.extract(pieces_.begin());
    std::vector<std::uint8_t>& piece = node.mapped();
    const std::uint64_t end = node.key() + piece.size();
    buffered_ -= piece.size();
    if (end > offset) {
      piece.erase(piece.begin(), piece.begin() + static_cast<std::ptrdiff_t>(offset - node.key()));
      buffered_ += piece.size();
      pieces_.emplace(offset, std::move(piece));
      break;
    }
  }
  taken_ = offset;
}

std::vector<std::uint8_t> StreamReassembler::take() {
  std::vector<std::uint8_t> out;
  while (!pieces_.empty() && pieces_.begin()->first == taken_) {
    auto& piece = pieces_.begin()->second;
    taken_ += piece.size();
    buffered_ -= piece.size();
    // Most takes find one piece: it is handed out as it is, uncopied.
    if (out.empty()) {
      out = std::move(piece);
    } else {
      out.insert(out.end(), piece.begin(), piece.end());
    }
    pieces_.erase(pieces_.begin());
  }
  return out;
}

std::vector<std::uint8_t> StreamReassembler::peek(std::uint64_t from) const {
  std::vector<std::uint8_t> out;
  std::uint64_t next = taken_;
  for (const auto& [start, piece] : pieces_) {
    if (start != next) break;
    const std::uint64_t end = start + piece.size();
    if (end > from) {
      const std::uint64_t skip = from > start ? from - start : 0;
      out.insert(out.end(), piece.begin() + static_cast<std::ptrdiff_t>(skip), piece.end());
    }
    next = end;
  }
  return out;
}

std::size_t StreamReassembler::contiguousAvailable() const {
  std::uint64_t next = taken_;
  for (const auto& [start, piece] : pieces_) {
    if (start != next) break;
    next += piece.size();
  }
  return static_cast<std::size_t>(next - taken_);
}

}  // namespace quillnest::hosts
