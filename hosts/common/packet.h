// IPv4/IPv6 packets carrying TCP or UDP, read with bounds checks only: a parser never reads past
// the bytes it was given, and every packet it cannot read is reported, not guessed at.
//
// Packets larger than the MTU are normal here (segmentation offload hands the queue whole GSO
// packets), so only the lengths in the headers themselves bound a packet.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillnest::hosts {

enum class IpFamily : std::uint8_t { v4 = 4, v6 = 6 };

// An address of either family; IPv4 uses the first 4 bytes, the rest stay zero.
struct IpAddress {
  IpFamily family = IpFamily::v4;
  std::array<std::uint8_t, 16> bytes{};

  static IpAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
  static IpAddress v6(const std::array<std::uint8_t, 16>& bytes);
  // Parses the text form of either family (no brackets, no zone); false on anything else.
  static bool parse(std::string_view text, IpAddress& out);

  // inet_ntop's form, never with brackets: "198.51.100.2", "2001:db8::1".
  std::string text() const;
  friend bool operator==(const IpAddress&, const IpAddress&) = default;
};

inline constexpr std::uint8_t kIpProtocolTCP = 6;
inline constexpr std::uint8_t kIpProtocolUDP = 17;

// TCP flag bits as they sit in the header's 14th byte.
inline constexpr std::uint8_t kTcpFin = 0x01;
inline constexpr std::uint8_t kTcpSyn = 0x02;
inline constexpr std::uint8_t kTcpRst = 0x04;
inline constexpr std::uint8_t kTcpPsh = 0x08;
inline constexpr std::uint8_t kTcpAck = 0x10;
inline constexpr std::uint8_t kTcpUrg = 0x20;

enum class ParseStatus {
  ok,
  truncated,            // a header or a length field runs past the captured bytes
  malformed,            // a field holds an impossible value (IHL < 5, data offset < 5, version)
  fragment,             // a non-first fragment: no transport header, not parseable, pass it
  unsupportedProtocol,  // neither TCP nor UDP (ICMP, ESP, ...)
  tooManyExtensionHeaders,
};

std::string_view parseStatusName(ParseStatus status);

// What the engine needs of one packet. payload points into the bytes given to the parser.
struct ParsedPacket {
  IpFamily family = IpFamily::v4;
  std::uint8_t protocol = 0;  // kIpProtocolTCP or kIpProtocolUDP
  IpAddress source;
  IpAddress destination;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  std::uint8_t tcpFlags = 0;            // TCP only
  std::uint32_t tcpSequence = 0;        // TCP only
  std::uint32_t tcpAcknowledgment = 0;  // TCP only
  std::uint16_t tcpWindow = 0;          // TCP only, unscaled
  // TCP options a receiver acts on before it takes the data (RFC 7323, RFC 2385, RFC 5925).
  bool tcpHasTimestamp = false;
  std::uint32_t tcpTimestamp = 0;              // TSval
  bool tcpSignature = false;                   // an MD5 signature or TCP-AO option
  std::optional<std::uint8_t> tcpWindowScale;  // the shift a SYN offers (RFC 7323 2.2)
  bool firstFragment = false;  // more fragments follow: payload is only the first piece
  // The IPv4 TTL or IPv6 hop limit as the packet stands here.
  std::uint8_t hopLimit = 0;
  // IPv4 options, or IPv6 extension headers other than a fragment header: receivers drop many
  // such packets (source routes, malformed or unknown options) and no client's TCP sends them.
  bool ipExtras = false;
  // The interface it came in on, where the host tells (0: unknown, or sent by this machine).
  std::uint32_t arrivedOn = 0;
  std::span<const std::uint8_t> payload;
  std::span<const std::uint8_t> tcpSegment;  // TCP only: header and payload, for the checksum

  bool isTCP() const { return protocol == kIpProtocolTCP; }
  bool hasFlag(std::uint8_t flag) const { return (tcpFlags & flag) != 0; }
};

struct ParseResult {
  ParseStatus status = ParseStatus::truncated;
  ParsedPacket packet;  // meaningful only when status is ok
  // parseIpHeaders: the bytes of payload its IP header counts beyond those copied; kUnknownLength
  // when the header does not say (a GSO packet above 64 KiB: IPv4 length 0, IPv6 jumbo).
  std::size_t missing = 0;
  static constexpr std::size_t kUnknownLength = static_cast<std::size_t>(-1);
};

// Reads an IP packet starting at its IPv4 or IPv6 header (the version nibble decides). Bytes after
// the IP total length (link padding) are ignored; a packet shorter than its total length is
// truncated.
ParseResult parseIpPacket(std::span<const std::uint8_t> bytes);
// The same for a copy of a packet's first bytes (a log's copy range): its headers must be whole,
// its payload is as far as it was copied, and `missing` tells how much more the packet held.
ParseResult parseIpHeaders(std::span<const std::uint8_t> bytes);

// The TCP checksum over the pseudo-header and the segment (RFC 9293 3.1) is right. Only
// meaningful for packets whose checksum is complete: a locally sent packet with checksum offload
// carries only the pseudo-header's part until the NIC fills it in.
bool tcpChecksumValid(const ParsedPacket& packet);

// The connection as the host's outbound side sees it: local = the side that sent the first
// packet (the client), remote = the server.
struct ConnectionKey {
  IpFamily family = IpFamily::v4;
  std::uint8_t protocol = 0;
  IpAddress local;
  std::uint16_t localPort = 0;
  IpAddress remote;
  std::uint16_t remotePort = 0;

  // Key of an outbound packet (source = local).
  static ConnectionKey outboundOf(const ParsedPacket& packet);
  // Key of an inbound packet of the same connection (destination = local).
  static ConnectionKey inboundOf(const ParsedPacket& packet);
  // The same connection seen from its other end.
  ConnectionKey turned() const { return {family, protocol, remote, remotePort, local, localPort}; }

  // "tcp 10.0.0.1:50000 -> 198.51.100.2:443", "[2001:db8::1]:443" for IPv6.
  std::string text() const;
  friend bool operator==(const ConnectionKey&, const ConnectionKey&) = default;
};

struct ConnectionKeyHash {
  std::size_t operator()(const ConnectionKey& key) const noexcept;
};

}  // namespace quillnest::hosts
