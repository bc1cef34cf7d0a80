#include "hosts/common/packet.h"

#include <gtest/gtest.h>

#include <tuple>

#include "tests/common/packet_builder.h"

namespace quillnest::hosts {
namespace {

using testing::buildPacket;
using testing::PacketBytes;
using testing::PacketLayout;
using testing::putU16;

PacketLayout tcp(PacketBytes payload = {'h', 'i'}) {
  return {.flags = kTcpAck | kTcpPsh,
          .sequence = 0x01020304,
          .acknowledgment = 0x0a0b0c0d,
          .payload = std::move(payload)};
}
PacketLayout v6(PacketLayout layout) {
  layout.family = IpFamily::v6;
  layout.source = "2001:db8::1";
  layout.destination = "2001:db8:0:1::2";
  return layout;
}
PacketLayout udp(PacketLayout layout) {
  layout.protocol = kIpProtocolUDP;
  return layout;
}

// Puts IPv6 extension headers (each a {type, 8-byte body}) in front of the transport header.
PacketBytes withExtensions(PacketBytes packet, const std::vector<std::uint8_t>& types) {
  std::uint8_t transport = packet[6];
  PacketBytes chain;
  for (std::size_t i = 0; i < types.size(); ++i) {
    const std::uint8_t next = i + 1 < types.size() ? types[i + 1] : transport;
    PacketBytes header(8, 0);
    header[0] = next;
    chain.insert(chain.end(), header.begin(), header.end());
  }
  if (!types.empty()) packet[6] = types[0];
  packet.insert(packet.begin() + 40, chain.begin(), chain.end());
  putU16(packet, 4, static_cast<std::uint16_t>(packet.size() - 40));
  return packet;
}

struct Case {
  std::string name;
  PacketBytes bytes;
  ParseStatus status;
  std::size_t payloadSize = 0;
};

template <typename Edit>
PacketBytes edited(PacketBytes packet, Edit edit) {
  edit(packet);
  return packet;
}

std::vector<Case> cases() {
  using enum ParseStatus;
  using P = PacketBytes;
  const PacketBytes v4 = buildPacket(tcp()), v4udp = buildPacket(udp(tcp())),
                    v6tcp = buildPacket(v6(tcp()));
  auto options = tcp();
  options.ipv4Options = 8;
  options.tcpOptions = 12;
  auto fragmentOffset = [&](std::uint16_t field) {
    return edited(v4, [&](PacketBytes& p) { putU16(p, 6, field); });
  };
  auto v6Fragment = [&](std::uint16_t field) {
    return edited(withExtensions(v6tcp, {44}), [&](PacketBytes& p) { putU16(p, 40 + 2, field); });
  };
  // clang-format off
  return {
      {"ipv4_tcp", v4, ok, 2},
      {"ipv4_tcp_with_options", buildPacket(options), ok, 2},
      {"ipv4_udp", buildPacket(udp(tcp({1, 2, 3}))), ok, 3},
      {"ipv6_tcp", v6tcp, ok, 2},
      {"ipv6_udp", buildPacket(v6(udp(tcp({9})))), ok, 1},
      {"ipv6_hop_routing_destopts", withExtensions(v6tcp, {0, 43, 60}), ok, 2},
      // GSO packets far above any MTU.
      {"ipv4_gso", buildPacket(tcp(PacketBytes(60000, 0x5a))), ok, 60000},
      {"ipv6_gso", buildPacket(v6(tcp(PacketBytes(65000, 0x5a)))), ok, 65000},
      {"ipv4_link_padding_ignored", edited(v4, [](P& p) { p.insert(p.end(), 6, 0); }), ok, 2},
      {"ipv4_ihl_below_5", edited(v4, [](P& p) { p[0] = 0x44; }), malformed},
      {"ipv4_ihl_past_total_length", edited(v4, [](P& p) { p[0] = 0x4f; }), malformed},
      {"ipv4_total_length_past_end",
       edited(v4, [](P& p) { putU16(p, 2, static_cast<std::uint16_t>(p.size() + 1)); }), truncated},
      {"ipv4_total_length_below_header", edited(v4, [](P& p) { putU16(p, 2, 19); }), malformed},
      {"tcp_data_offset_below_5", edited(v4, [](P& p) { p[20 + 12] = 0x40; }), malformed},
      {"tcp_data_offset_past_end", edited(v4, [](P& p) { p[20 + 12] = 0xf0; }), truncated},
      {"udp_length_below_8", edited(v4udp, [](P& p) { putU16(p, 20 + 4, 7); }), malformed},
      {"udp_length_past_end", edited(v4udp, [](P& p) { putU16(p, 20 + 4, 200); }), truncated},
      {"ip_version_5", edited(v4, [](P& p) { p[0] = 0x55; }), malformed},
      {"empty", {}, truncated},
      {"ipv4_icmp", edited(v4, [](P& p) { p[9] = 1; }), unsupportedProtocol},
      {"ipv4_non_first_fragment", fragmentOffset(0x2000 | 185), fragment},
      {"ipv4_last_fragment", fragmentOffset(3), fragment},
      {"ipv4_first_fragment", fragmentOffset(0x2000), ok, 2},
      {"ipv6_non_first_fragment", v6Fragment(100 << 3), fragment},
      {"ipv6_first_fragment", v6Fragment(1), ok, 2},
      {"ipv6_extension_chain_too_long", withExtensions(v6tcp, std::vector<std::uint8_t>(9, 60)),
       tooManyExtensionHeaders},
      {"ipv6_eight_extensions_ok", withExtensions(v6tcp, std::vector<std::uint8_t>(8, 60)), ok, 2},
      // (200 + 1) * 8 bytes: far past the payload
      {"ipv6_extension_length_past_end",
       edited(withExtensions(v6tcp, {60}), [](P& p) { p[41] = 200; }), truncated},
      {"ipv6_no_next_header", edited(withExtensions(v6tcp, {60}), [](P& p) { p[40] = 59; }),
       unsupportedProtocol},
      {"ipv6_payload_length_past_end",
       edited(v6tcp, [](P& p) { putU16(p, 4, static_cast<std::uint16_t>(p.size())); }), truncated},
  };
  // clang-format on
}

class ParseTable : public ::testing::TestWithParam<Case> {};

TEST_P(ParseTable, StatusAndPayload) {
  const Case& c = GetParam();
  const ParseResult result = parseIpPacket(c.bytes);
  EXPECT_EQ(parseStatusName(result.status), parseStatusName(c.status));
  if (c.status == ParseStatus::ok) {
    EXPECT_EQ(result.packet.payload.size(), c.payloadSize);
    // The payload lies inside the given bytes.
    EXPECT_GE(result.packet.payload.data(), c.bytes.data());
    EXPECT_LE(result.packet.payload.data() + result.packet.payload.size(),
              c.bytes.data() + c.bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Packets, ParseTable, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

TEST(Parse, ReadsEveryFieldOfATcpPacket) {
  const PacketBytes bytes = buildPacket(tcp());  // the payload points into it
  const ParseResult result = parseIpPacket(bytes);
  ASSERT_EQ(result.status, ParseStatus::ok);
  const ParsedPacket& p = result.packet;
  EXPECT_EQ(p.family, IpFamily::v4);
  EXPECT_EQ(p.protocol, kIpProtocolTCP);
  EXPECT_EQ(p.source.text(), "10.0.0.1");
  EXPECT_EQ(p.destination.text(), "198.51.100.2");
  EXPECT_EQ(p.sourcePort, 40000);
  EXPECT_EQ(p.destinationPort, 443);
  EXPECT_EQ(p.tcpSequence, 0x01020304u);
  EXPECT_EQ(p.tcpAcknowledgment, 0x0a0b0c0du);
  EXPECT_TRUE(p.hasFlag(kTcpPsh));
  EXPECT_FALSE(p.hasFlag(kTcpSyn));
  EXPECT_EQ(std::string(p.payload.begin(), p.payload.end()), "hi");
  ConnectionKey other = ConnectionKey::outboundOf(p);
  ++other.localPort;
  EXPECT_NE(ConnectionKeyHash{}(ConnectionKey::outboundOf(p)), ConnectionKeyHash{}(other));
  EXPECT_NE(ConnectionKey::outboundOf(p), ConnectionKey::inboundOf(p));
}

// No prefix of a valid packet parses as a whole packet, and none is read past its end (the
// sanitizers would catch it). A prefix (a log's copy, a capture's snapshot) reads as the packet's
// headers once they are whole, and tells how much of the payload was not copied; shorter copies
// are refused.
TEST(Parse, EveryTruncationIsRefusedButCopiedHeadersRead) {
  for (const PacketBytes& whole :
       {buildPacket(tcp()), buildPacket(v6(tcp())), buildPacket(udp(tcp())),
        withExtensions(buildPacket(v6(tcp())), {0, 60})}) {
    const ParseResult full = parseIpPacket(whole);
    ASSERT_EQ(full.status, ParseStatus::ok);
    ASSERT_FALSE(full.packet.payload.empty());
    const std::size_t headers = whole.size() - full.packet.payload.size();
    for (std::size_t length = 0; length <= whole.size(); ++length) {
      SCOPED_TRACE("length " + std::to_string(length));
      PacketBytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_EQ(parseIpPacket(prefix).status == ParseStatus::ok, length == whole.size());
      const ParseResult copy = parseIpHeaders(prefix);
      ASSERT_EQ(copy.status == ParseStatus::ok, length >= headers);
      if (copy.status != ParseStatus::ok) continue;
      EXPECT_EQ(copy.packet.payload.size() + copy.missing, full.packet.payload.size());
      EXPECT_EQ(std::tie(copy.packet.destinationPort, copy.packet.tcpSequence),
                std::tie(full.packet.destinationPort, full.packet.tcpSequence));
    }
  }
}

// A GSO packet above 64 KiB gives no length (IPv4 length 0): its headers read, its length unknown.
TEST(Parse, HeadersOfAPacketOfUnknownLength) {
  PacketBytes whole = buildPacket(tcp());
  putU16(whole, 2, 0);
  EXPECT_EQ(parseIpPacket(whole).status, ParseStatus::malformed);
  const ParseResult copy = parseIpHeaders(whole);
  ASSERT_EQ(copy.status, ParseStatus::ok);
  EXPECT_EQ(copy.missing, ParseResult::kUnknownLength);
}

}  // namespace
}  // namespace quillnest::hosts
