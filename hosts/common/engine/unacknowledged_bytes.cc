#include "hosts/common/engine/unacknowledged_bytes.h"

#include <algorithm>

namespace quillnest::hosts {

bool agreesWith(std::span<const std::uint8_t> kept, std::int64_t keptOffset, std::int64_t offset,
                std::span<const std::uint8_t> bytes) {
  const std::int64_t from = std::max(offset, keptOffset);
  const std::int64_t to = std::min(offset + static_cast<std::int64_t>(bytes.size()),
                                   keptOffset + static_cast<std::int64_t>(kept.size()));
  return from >= to ||
         std::equal(kept.begin() + (from - keptOffset), kept.begin() + (to - keptOffset),
                    bytes.begin() + (from - offset));
}

void UnacknowledgedBytes::keep(std::uint64_t offset, std::span<const std::uint8_t> bytes) {
  if (offset < acknowledged_) {
    const std::uint64_t skip = std::min<std::uint64_t>(acknowledged_ - offset, bytes.size());
    bytes = bytes.subspan(static_cast<std::size_t>(skip));
    offset += skip;
  }
  if (bytes.empty()) return;
  if (runs_.empty() || runs_.back().end() != offset) runs_.push_back({offset, {}});
  runs_.back().bytes.insert(runs_.back().bytes.end(), bytes.begin(), bytes.end());
  size_ += bytes.size();
  if (size_ > limit_) {
    // At least a few pages at a time, so a stream held at the limit is not moved per segment.
    const std::size_t excess = std::min(size_, std::max<std::size_t>(size_ - limit_, 16384));
    dropFront(excess);
  }
}

void UnacknowledgedBytes::dropFront(std::size_t count) {
  while (count > 0 && !runs_.empty()) {
    Run& front = runs_.front();
    const std::size_t n = std::min(count, front.bytes.size());
    forgottenTo_ = front.offset + n;
    if (n == front.bytes.size()) {
      runs_.erase(runs_.begin());
    } else {
      front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
      front.offset += n;
    }
    size_ -= n;
    count -= n;
  }
}

bool UnacknowledgedBytes::agrees(std::int64_t offset, std::span<const std::uint8_t> bytes) const {
  const std::int64_t end = offset + static_cast<std::int64_t>(bytes.size());
  if (forgottenTo_ && offset < static_cast<std::int64_t>(*forgottenTo_) &&
      end > static_cast<std::int64_t>(acknowledged_)) {
    return false;
  }
  return std::all_of(runs_.begin(), runs_.end(), [&](const Run& run) {
    return agreesWith(run.bytes, static_cast<std::int64_t>(run.offset), offset, bytes);
  });
}

void UnacknowledgedBytes::acknowledged(std::int64_t offset) {
  if (offset <= static_cast<std::int64_t>(acknowledged_)) return;
  acknowledged_ = static_cast<std::uint64_t>(offset);
  if (forgottenTo_ && *forgottenTo_ <= acknowledged_) forgottenTo_.reset();
  while (!runs_.empty() && runs_.front().offset < acknowledged_) {
    Run& front = runs_.front();
    if (front.end() <= acknowledged_) {
      size_ -= front.bytes.size();
      runs_.erase(runs_.begin());
      continue;
    }
    const std::size_t n = static_cast<std::size_t>(acknowledged_ - front.offset);
    front.bytes.erase(front.bytes.begin(), front.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    front.offset = acknowledged_;
    size_ -= n;
  }
}

void UnacknowledgedBytes::clear() {
  runs_.clear();
  size_ = 0;
  forgottenTo_.reset();
}

}  // namespace quillnest::hosts
