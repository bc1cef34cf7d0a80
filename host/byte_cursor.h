// A bounded reader over bytes that come from outside the process.
// Every read either succeeds within the view or fails and leaves the cursor where it was, so a
// parser written against it cannot read past the end of its input, whatever the input says.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillnest {

class ByteCursor {
 public:
  constexpr ByteCursor() = default;
  constexpr ByteCursor(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  constexpr explicit ByteCursor(std::span<const std::uint8_t> bytes)
      : data_(bytes.data()), size_(bytes.size()) {}

  constexpr const std::uint8_t* data() const { return data_; }
  constexpr std::size_t size() const { return size_; }
  constexpr bool empty() const { return size_ == 0; }
  constexpr std::span<const std::uint8_t> span() const { return {data_, size_}; }

  constexpr bool skip(std::size_t count) {
    if (count > size_) return false;
    advance(count);
    return true;
  }

  constexpr bool readU8(std::uint8_t& out) {
    if (size_ < 1) return false;
    out = data_[0];
    advance(1);
    return true;
  }

  constexpr bool readU16(std::uint16_t& out) {
    if (size_ < 2) return false;
    out = static_cast<std::uint16_t>((data_[0] << 8) | data_[1]);
    advance(2);
    return true;
  }

  constexpr bool readU24(std::uint32_t& out) {
    if (size_ < 3) return false;
    out = (std::uint32_t{data_[0]} << 16) | (std::uint32_t{data_[1]} << 8) | data_[2];
    advance(3);
    return true;
  }

  // The next count bytes as a cursor of their own.
  constexpr bool readBytes(std::size_t count, ByteCursor& out) {
    if (count > size_) return false;
    out = ByteCursor(data_, count);
    advance(count);
    return true;
  }

  // A length (one or two bytes) followed by that many bytes. On failure nothing is consumed.
  constexpr bool readU8LengthPrefixed(ByteCursor& out) {
    ByteCursor probe = *this;
    std::uint8_t length = 0;
    if (!probe.readU8(length) || !probe.readBytes(length, out)) return false;
    *this = probe;
    return true;
  }

  constexpr bool readU16LengthPrefixed(ByteCursor& out) {
    ByteCursor probe = *this;
    std::uint16_t length = 0;
    if (!probe.readU16(length) || !probe.readBytes(length, out)) return false;
    *this = probe;
    return true;
  }

 private:
  constexpr void advance(std::size_t count) {
    data_ += count;
    size_ -= count;
  }

  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace quillnest
