// Builds IP packets and TLS ClientHello records for host tests (parser tables, engine runs, capture
// files) and benchmarks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/common/packet.h"
#include "tests/support/client_hello.h"

namespace quillnest::testing {

using PacketBytes = std::vector<std::uint8_t>;

struct PacketLayout {
  hosts::IpFamily family = hosts::IpFamily::v4;
  std::string source = "10.0.0.1";
  std::string destination = "198.51.100.2";
  std::uint8_t protocol = hosts::kIpProtocolTCP;
  std::uint16_t sourcePort = 40000;
  std::uint16_t destinationPort = 443;
  std::uint8_t flags = hosts::kTcpAck;
  std::uint32_t sequence = 0;
  std::uint32_t acknowledgment = 0;
  std::uint16_t window = 65535;
  PacketBytes payload{};
  std::size_t ipv4Options = 0;   // bytes of IPv4 options (multiple of 4)
  std::size_t tcpOptions = 0;    // bytes of TCP options (multiple of 4)
  PacketBytes tcpOptionBytes{};  // options as given, padded with NOPs (when tcpOptions is 0)
  std::uint8_t hopLimit = 64;
};

inline void putU16(PacketBytes& out, std::size_t at, std::uint16_t v) {
  out[at] = static_cast<std::uint8_t>(v >> 8);
  out[at + 1] = static_cast<std::uint8_t>(v);
}

inline void putU32(PacketBytes& out, std::size_t at, std::uint32_t v) {
  putU16(out, at, static_cast<std::uint16_t>(v >> 16));
  putU16(out, at + 2, static_cast<std::uint16_t>(v));
}

// TCP options for PacketLayout::tcpOptionBytes.
inline PacketBytes timestampOption(std::uint32_t value) {
  PacketBytes option{8, 10, 0, 0, 0, 0, 0, 0, 0, 0};
  putU32(option, 2, value);
  return option;
}
inline PacketBytes md5Option() {
  PacketBytes option{19, 18};
  option.resize(18, 0xab);
  return option;
}

inline std::uint16_t internetChecksum(const std::uint8_t* data, std::size_t length,
                                      std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < length; i += 2) sum += data[i] << 8 | data[i + 1];
  if (length % 2) sum += data[length - 1] << 8;
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// The transport header plus payload, with its checksum over the pseudo-header.
inline PacketBytes buildTransport(const PacketLayout& layout, const hosts::IpAddress& source,
                                  const hosts::IpAddress& destination) {
  PacketBytes segment;
  if (layout.protocol == hosts::kIpProtocolTCP) {
    const std::size_t options =
        layout.tcpOptions ? layout.tcpOptions : (layout.tcpOptionBytes.size() + 3) / 4 * 4;
    segment.assign(20 + options, 0);
    putU16(segment, 0, layout.sourcePort);
    putU16(segment, 2, layout.destinationPort);
    putU32(segment, 4, layout.sequence);
    putU32(segment, 8, layout.acknowledgment);
    segment[12] = static_cast<std::uint8_t>(((20 + options) / 4) << 4);
    segment[13] = layout.flags;
    putU16(segment, 14, layout.window);
    for (std::size_t i = 20; i < segment.size(); ++i) segment[i] = 1;  // NOPs
    std::copy(layout.tcpOptionBytes.begin(), layout.tcpOptionBytes.end(), segment.begin() + 20);
  } else {
    segment.assign(8, 0);
    putU16(segment, 0, layout.sourcePort);
    putU16(segment, 2, layout.destinationPort);
    putU16(segment, 4, static_cast<std::uint16_t>(8 + layout.payload.size()));
  }
  segment.insert(segment.end(), layout.payload.begin(), layout.payload.end());
  const std::size_t width = source.family == hosts::IpFamily::v4 ? 4 : 16;
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < width; i += 2) {
    sum += source.bytes[i] << 8 | source.bytes[i + 1];
    sum += destination.bytes[i] << 8 | destination.bytes[i + 1];
  }
  sum += layout.protocol;
  sum += static_cast<std::uint32_t>(segment.size() & 0xffff) +
         static_cast<std::uint32_t>(segment.size() >> 16);
  const std::size_t checksumAt = layout.protocol == hosts::kIpProtocolTCP ? 16 : 6;
  std::uint16_t checksum = internetChecksum(segment.data(), segment.size(), sum);
  if (layout.protocol == hosts::kIpProtocolUDP && checksum == 0) checksum = 0xffff;
  putU16(segment, checksumAt, checksum);
  return segment;
}

inline PacketBytes buildPacket(const PacketLayout& layout) {
  hosts::IpAddress source, destination;
  hosts::IpAddress::parse(layout.source, source);
  hosts::IpAddress::parse(layout.destination, destination);
  const PacketBytes segment = buildTransport(layout, source, destination);
  PacketBytes packet;
  if (layout.family == hosts::IpFamily::v4) {
    const std::size_t headerLength = 20 + layout.ipv4Options;
    packet.assign(headerLength, 0);
    packet[0] = static_cast<std::uint8_t>(0x40 | headerLength / 4);
    putU16(packet, 2, static_cast<std::uint16_t>(headerLength + segment.size()));
    putU16(packet, 6, 0x4000);  // don't fragment
    packet[8] = layout.hopLimit;
    packet[9] = layout.protocol;
    std::copy_n(source.bytes.begin(), 4, packet.begin() + 12);
    std::copy_n(destination.bytes.begin(), 4, packet.begin() + 16);
    for (std::size_t i = 20; i < headerLength; ++i) packet[i] = 1;  // NOP options
    putU16(packet, 10, internetChecksum(packet.data(), headerLength));
  } else {
    packet.assign(40, 0);
    packet[0] = 0x60;
    putU16(packet, 4, static_cast<std::uint16_t>(segment.size()));
    packet[6] = layout.protocol;
    packet[7] = layout.hopLimit;
    std::copy(source.bytes.begin(), source.bytes.end(), packet.begin() + 8);
    std::copy(destination.bytes.begin(), destination.bytes.end(), packet.begin() + 24);
  }
  packet.insert(packet.end(), segment.begin(), segment.end());
  return packet;
}

// A ClientHello record with a server_name extension. `padding` adds a padding extension (or one
// of fillerType) of that many bytes, placed before server_name when sniLast (so the name lands in
// a later segment of a split hello, as browsers' large hellos do).
inline PacketBytes makeClientHello(std::string_view serverName, std::size_t padding = 0,
                                   bool sniLast = true, std::uint16_t fillerType = 0x0015) {
  const Bytes sni = serverNameExtension(serverName);
  const Bytes filler = padding ? extension(fillerType, Bytes(padding, 0)) : Bytes{};
  ClientHelloParts parts;
  parts.cipherSuites = {0x13, 0x01};
  parts.extensions = sniLast ? concat({filler, sni}) : concat({sni, filler});
  return handshakeRecords(clientHelloMessage(parts));
}

}  // namespace quillnest::testing
