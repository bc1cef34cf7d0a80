// Reads the server name from the TLS ClientHello at the start of a flow's outbound bytes.
// Pure functions of the bytes; every read goes through ByteCursor (host/byte_cursor.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace quillnest {

class ServerNameResult {
 public:
  enum class Kind { found, needMore, unavailable };

  static ServerNameResult found(std::string hostName) {
    return ServerNameResult(Kind::found, std::move(hostName), 0);
  }
  // total: bytes counted from the first input byte that must be present to go on (5...65,535).
  static ServerNameResult needMore(std::size_t total) {
    return ServerNameResult(Kind::needMore, {}, total);
  }
  static ServerNameResult unavailable() { return ServerNameResult(Kind::unavailable, {}, 0); }

  Kind kind() const { return kind_; }
  const std::string& hostName() const { return hostName_; }
  std::size_t total() const { return total_; }

  friend bool operator==(const ServerNameResult&, const ServerNameResult&) = default;

 private:
  ServerNameResult(Kind kind, std::string hostName, std::size_t total)
      : kind_(kind), hostName_(std::move(hostName)), total_(total) {}

  Kind kind_;
  std::string hostName_;
  std::size_t total_;
};

// Largest total the reader ever asks for: the provider's buffer limit less one.
inline constexpr std::size_t kMaxServerNameTotal = 65535;

ServerNameResult extractServerName(std::span<const std::uint8_t> bytes);
// One complete handshake message, from its type byte: found or unavailable.
ServerNameResult parseClientHello(std::span<const std::uint8_t> message);
// The extension_data of a server_name extension: found or unavailable.
ServerNameResult parseServerNameList(std::span<const std::uint8_t> extensionData);

}  // namespace quillnest
