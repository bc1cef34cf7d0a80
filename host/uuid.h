// A flow identifier: 128 random bits with the usual 8-4-4-4-12 text form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace quillnest {

class UUID {
 public:
  using Bytes = std::array<std::uint8_t, 16>;

  constexpr UUID() : bytes_{} {}
  constexpr explicit UUID(const Bytes& bytes) : bytes_(bytes) {}

  // A fresh version-4 UUID from a per-thread generator seeded by the OS.
  static UUID random();
  // Accepts the canonical text form in either case; nothing else.
  static std::optional<UUID> fromString(std::string_view text);

  const Bytes& bytes() const { return bytes_; }
  // Upper case, as the platform prints UUIDs.
  std::string uuidString() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;

 private:
  Bytes bytes_;
};

struct UUIDHash {
  std::size_t operator()(const UUID& id) const noexcept;
};

}  // namespace quillnest

template <>
struct std::hash<quillnest::UUID> : quillnest::UUIDHash {};
