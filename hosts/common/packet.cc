#include "hosts/common/packet.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <optional>

#include "host/byte_cursor.h"

namespace quillnest::hosts {
namespace {

// Random access over outside bytes, every read made through ByteCursor: a read past the end
// yields zero bytes instead of touching memory, whatever the lengths in the headers say. The
// parsers still check has() first, so such a read is never the answer they act on.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  std::size_t size() const { return bytes_.size(); }
  bool has(std::size_t n) const { return n <= bytes_.size(); }
  std::uint8_t u8(std::size_t at) const {
    std::uint8_t value = 0;
    ByteCursor cursor = at_(at);
    return cursor.readU8(value) ? value : 0;
  }
  std::uint16_t u16(std::size_t at) const {
    std::uint16_t value = 0;
    ByteCursor cursor = at_(at);
    return cursor.readU16(value) ? value : 0;
  }
  std::uint32_t u32(std::size_t at) const {
    return static_cast<std::uint32_t>(u16(at)) << 16 | u16(at + 2);
  }
  std::span<const std::uint8_t> from(std::size_t at) const { return at_(at).span(); }
  std::span<const std::uint8_t> slice(std::size_t at, std::size_t n) const {
    ByteCursor cursor = at_(at);
    ByteCursor part;
    return cursor.readBytes(n, part) ? part.span() : std::span<const std::uint8_t>{};
  }

 private:
  ByteCursor at_(std::size_t at) const {
    ByteCursor cursor(bytes_);
    if (!cursor.skip(at)) return {};
    return cursor;
  }

  std::span<const std::uint8_t> bytes_;
};

constexpr std::size_t kMaxExtensionHeaders = 8;

// Reads the options a receiver checks before it takes a segment's data. Like the kernel's option
// parser, it stops at the end-of-list option or at an option whose length is impossible.
void parseTcpOptions(ByteCursor options, ParsedPacket& out) {
  std::uint8_t kind = 0;
  while (options.readU8(kind)) {
    if (kind == 0) return;    // end of list
    if (kind == 1) continue;  // no-op
    std::uint8_t length = 0;
    ByteCursor body;
    if (!options.readU8(length) || length < 2 || !options.readBytes(length - 2u, body)) return;
    switch (kind) {
      case 8: {  // timestamps
        std::uint16_t high = 0;
        std::uint16_t low = 0;
        if (length == 10 && body.readU16(high) && body.readU16(low)) {
          out.tcpHasTimestamp = true;
          out.tcpTimestamp = static_cast<std::uint32_t>(high) << 16 | low;
        }
        break;
      }
      case 3: {  // window scale
        std::uint8_t shift = 0;
        if (length == 3 && body.readU8(shift)) out.tcpWindowScale = shift;
        break;
      }
      case 19:  // MD5 signature
      case 29:  // TCP-AO
        out.tcpSignature = true;
        break;
      default:
        break;
    }
  }
}

// payloadCut: the IP header counts bytes beyond these (a copy of the packet's start).
ParseStatus parseTransport(std::span<const std::uint8_t> bytes, std::uint8_t protocol,
                           bool firstFragment, bool payloadCut, ParsedPacket& out) {
  Reader r(bytes);
  out.protocol = protocol;
  out.firstFragment = firstFragment;
  if (protocol == kIpProtocolTCP) {
    if (!r.has(20)) return ParseStatus::truncated;
    out.sourcePort = r.u16(0);
    out.destinationPort = r.u16(2);
    out.tcpSequence = r.u32(4);
    out.tcpAcknowledgment = r.u32(8);
    const std::size_t dataOffset = static_cast<std::size_t>(r.u8(12) >> 4) * 4;
    out.tcpFlags = r.u8(13);
    out.tcpWindow = r.u16(14);
    if (dataOffset < 20) return ParseStatus::malformed;
    if (!r.has(dataOffset)) return ParseStatus::truncated;
    parseTcpOptions(ByteCursor(r.slice(20, dataOffset - 20)), out);
    out.payload = r.from(dataOffset);
    out.tcpSegment = bytes;
    return ParseStatus::ok;
  }
  if (protocol == kIpProtocolUDP) {
    if (!r.has(8)) return ParseStatus::truncated;
    out.sourcePort = r.u16(0);
    out.destinationPort = r.u16(2);
    const std::size_t length = r.u16(4);
    if (firstFragment) {
      out.payload = r.from(8);
      return ParseStatus::ok;
    }
    // Zero: a UDP GSO super-packet or a jumbogram; the IP length bounds it.
    if (length == 0) {
      out.payload = r.from(8);
      return ParseStatus::ok;
    }
    if (length < 8) return ParseStatus::malformed;
    if (!r.has(length)) {
      if (!payloadCut) return ParseStatus::truncated;
      out.payload = r.from(8);
      return ParseStatus::ok;
    }
    out.payload = r.slice(8, length - 8);
    return ParseStatus::ok;
  }
  return ParseStatus::unsupportedProtocol;
}

ParseResult parseIPv4(Reader r, bool headersOnly) {
  ParseResult result;
  ParsedPacket& p = result.packet;
  p.family = IpFamily::v4;
  if (!r.has(20)) return {ParseStatus::truncated, {}};
  const std::size_t headerLength = static_cast<std::size_t>(r.u8(0) & 0x0f) * 4;
  if (headerLength < 20) return {ParseStatus::malformed, {}};
  std::size_t totalLength = r.u16(2);
  if (headersOnly && totalLength == 0) {
    result.missing = ParseResult::kUnknownLength;
    totalLength = r.size();
  }
  if (totalLength < headerLength) return {ParseStatus::malformed, {}};
  if (headersOnly && r.has(headerLength) && !r.has(totalLength)) {
    result.missing = totalLength - r.size();
    totalLength = r.size();
  }
  if (!r.has(headerLength) || !r.has(totalLength)) return {ParseStatus::truncated, {}};
  const std::uint16_t fragment = r.u16(6);
  const bool moreFragments = (fragment & 0x2000) != 0;
  const std::uint16_t fragmentOffset = fragment & 0x1fff;
  std::ranges::copy(r.slice(12, 4), p.source.bytes.begin());
  std::ranges::copy(r.slice(16, 4), p.destination.bytes.begin());
  p.source.family = p.destination.family = IpFamily::v4;
  p.protocol = r.u8(9);
  p.hopLimit = r.u8(8);
  p.ipExtras = headerLength > 20;
  if (fragmentOffset != 0) return {ParseStatus::fragment, p};
  result.status = parseTransport(r.slice(headerLength, totalLength - headerLength), p.protocol,
                                 moreFragments, result.missing != 0, p);
  return result;
}

ParseResult parseIPv6(Reader r, bool headersOnly) {
  ParseResult result;
  ParsedPacket& p = result.packet;
  p.family = IpFamily::v6;
  if (!r.has(40)) return {ParseStatus::truncated, {}};
  std::size_t payloadLength = r.u16(4);
  // Zero with a hop-by-hop jumbo option, or a GSO packet above 64 KiB: the captured bytes bound it.
  if (payloadLength == 0) {
    payloadLength = r.size() - 40;
    if (headersOnly) result.missing = ParseResult::kUnknownLength;
  }
  if (headersOnly && !r.has(40 + payloadLength)) {
    result.missing = 40 + payloadLength - r.size();
    payloadLength = r.size() - 40;
  }
  if (!r.has(40 + payloadLength)) return {ParseStatus::truncated, {}};
  std::ranges::copy(r.slice(8, 16), p.source.bytes.begin());
  std::ranges::copy(r.slice(24, 16), p.destination.bytes.begin());
  p.source.family = p.destination.family = IpFamily::v6;
  p.hopLimit = r.u8(7);

  Reader payload(r.slice(40, payloadLength));
  std::uint8_t next = r.u8(6);
  std::size_t at = 0;
  bool moreFragments = false;
  for (std::size_t count = 0;; ++count) {
    switch (next) {
      case 0:     // hop-by-hop options
      case 43:    // routing
      case 60: {  // destination options
        p.ipExtras = true;
        if (count == kMaxExtensionHeaders) return {ParseStatus::tooManyExtensionHeaders, p};
        if (!payload.has(at + 2)) return {ParseStatus::truncated, p};
        const std::size_t length = (static_cast<std::size_t>(payload.u8(at + 1)) + 1) * 8;
        if (!payload.has(at + length)) return {ParseStatus::truncated, p};
        next = payload.u8(at);
        at += length;
        continue;
      }
      case 51: {  // authentication header
        p.ipExtras = true;
        if (count == kMaxExtensionHeaders) return {ParseStatus::tooManyExtensionHeaders, p};
        if (!payload.has(at + 2)) return {ParseStatus::truncated, p};
        const std::size_t length = (static_cast<std::size_t>(payload.u8(at + 1)) + 2) * 4;
        if (!payload.has(at + length)) return {ParseStatus::truncated, p};
        next = payload.u8(at);
        at += length;
        continue;
      }
      case 44: {  // fragment
        if (count == kMaxExtensionHeaders) return {ParseStatus::tooManyExtensionHeaders, p};
        if (!payload.has(at + 8)) return {ParseStatus::truncated, p};
        const std::uint16_t offsetAndFlags = payload.u16(at + 2);
        next = payload.u8(at);
        at += 8;
        p.protocol = next;
        if ((offsetAndFlags >> 3) != 0) return {ParseStatus::fragment, p};
        moreFragments = (offsetAndFlags & 1) != 0;
        continue;
      }
      default:
        break;
    }
    break;
  }
  p.protocol = next;
  result.status = parseTransport(payload.from(at), next, moreFragments, result.missing != 0, p);
  return result;
}

}  // namespace

IpAddress IpAddress::v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  IpAddress address;
  address.family = IpFamily::v4;
  address.bytes[0] = a;
  address.bytes[1] = b;
  address.bytes[2] = c;
  address.bytes[3] = d;
  return address;
}

IpAddress IpAddress::v6(const std::array<std::uint8_t, 16>& bytes) {
  IpAddress address;
  address.family = IpFamily::v6;
  address.bytes = bytes;
  return address;
}

bool IpAddress::parse(std::string_view text, IpAddress& out) {
  const std::string copy(text);
  IpAddress address;
  if (inet_pton(AF_INET, copy.c_str(), address.bytes.data()) == 1) {
    address.family = IpFamily::v4;
    out = address;
    return true;
  }
  if (inet_pton(AF_INET6, copy.c_str(), address.bytes.data()) == 1) {
    address.family = IpFamily::v6;
    out = address;
    return true;
  }
  return false;
}

std::string IpAddress::text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  const int af = family == IpFamily::v4 ? AF_INET : AF_INET6;
  if (inet_ntop(af, bytes.data(), buffer, sizeof buffer) == nullptr) return {};
  return buffer;
}

std::string_view parseStatusName(ParseStatus status) {
  switch (status) {
    case ParseStatus::ok:
      return "ok";
    case ParseStatus::truncated:
      return "truncated";
    case ParseStatus::malformed:
      return "malformed";
    case ParseStatus::fragment:
      return "fragment";
    case ParseStatus::unsupportedProtocol:
      return "unsupported protocol";
    case ParseStatus::tooManyExtensionHeaders:
      return "too many extension headers";
  }
  return "unknown";
}

bool tcpChecksumValid(const ParsedPacket& packet) {
  if (!packet.isTCP() || packet.firstFragment) return true;
  std::uint64_t sum = 0;
  auto add = [&sum](std::span<const std::uint8_t> data) {
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) sum += data[i] << 8 | data[i + 1];
    if (data.size() % 2) sum += static_cast<std::uint64_t>(data.back()) << 8;
  };
  const std::size_t addressLength = packet.family == IpFamily::v4 ? 4 : 16;
  add(std::span(packet.source.bytes).first(addressLength));
  add(std::span(packet.destination.bytes).first(addressLength));
  sum += kIpProtocolTCP;
  sum += packet.tcpSegment.size() & 0xffff;
  sum += packet.tcpSegment.size() >> 16;
  add(packet.tcpSegment);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return sum == 0xffff;
}

namespace {

ParseResult parse(std::span<const std::uint8_t> bytes, bool headersOnly) {
  Reader r(bytes);
  if (!r.has(1)) return {ParseStatus::truncated, {}};
  switch (r.u8(0) >> 4) {
    case 4:
      return parseIPv4(r, headersOnly);
    case 6:
      return parseIPv6(r, headersOnly);
    default:
      return {ParseStatus::malformed, {}};
  }
}

}  // namespace

ParseResult parseIpPacket(std::span<const std::uint8_t> bytes) { return parse(bytes, false); }

ParseResult parseIpHeaders(std::span<const std::uint8_t> bytes) { return parse(bytes, true); }

ConnectionKey ConnectionKey::outboundOf(const ParsedPacket& packet) {
  return {packet.family,     packet.protocol,    packet.source,
          packet.sourcePort, packet.destination, packet.destinationPort};
}

ConnectionKey ConnectionKey::inboundOf(const ParsedPacket& packet) {
  return {packet.family,          packet.protocol, packet.destination,
          packet.destinationPort, packet.source,   packet.sourcePort};
}

std::string ConnectionKey::text() const {
  // Appends one piece at a time: GCC 12 warns falsely (-Wrestrict) on chained operator+ at -O3.
  std::string out = protocol == kIpProtocolTCP   ? "tcp"
                    : protocol == kIpProtocolUDP ? "udp"
                                                 : std::to_string(protocol);
  auto endpoint = [&](const IpAddress& address, std::uint16_t port) {
    const bool v6 = family == IpFamily::v6;
    if (v6) out.push_back('[');
    out.append(address.text());
    if (v6) out.push_back(']');
    out.push_back(':');
    out.append(std::to_string(port));
  };
  out.push_back(' ');
  endpoint(local, localPort);
  out.append(" -> ");
  endpoint(remote, remotePort);
  return out;
}

std::size_t ConnectionKeyHash::operator()(const ConnectionKey& key) const noexcept {
  // A multiply-xorshift over the key's words: a few cycles per lookup, and every packet makes
  // one or two. All sixteen address bytes count, as they do for equality (v4 leaves 12 zero).
  auto word = [](const IpAddress& address, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, address.bytes.data() + at, 8);
    return value;
  };
  auto mix = [](std::uint64_t h, std::uint64_t value) {
    h = (h ^ value) * 0x9e3779b97f4a7c15ull;
    return h ^ (h >> 29);
  };
  std::uint64_t h = std::uint64_t{key.localPort} << 32 | std::uint64_t{key.remotePort} << 16 |
                    std::uint64_t{key.protocol} << 8 | static_cast<std::uint8_t>(key.family);
  h = mix(h, word(key.local, 0));
  h = mix(h, word(key.local, 8));
  h = mix(h, word(key.remote, 0));
  h = mix(h, word(key.remote, 8));
  return static_cast<std::size_t>(h);
}

}  // namespace quillnest::hosts
