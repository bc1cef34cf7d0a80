#include "hosts/common/packet.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"

namespace quillnest::hosts {
namespace {

using testing::buildPacket;
using testing::PacketBytes;
using testing::PacketLayout;
using testing::putU16;

PacketLayout tcp(PacketBytes payload = {'h', 'i'}) {
  PacketLayout layout;
  layout.flags = kTcpAck | kTcpPsh;
  layout.sequence = 0x01020304;
  layout.acknowledgment = 0x0a0b0c0d;
  layout.payload = std::move(payload);
  return layout;
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

std::vector<Case> cases() {
  std::vector<Case> out;
  out.push_back({"ipv4_tcp", buildPacket(tcp()), ParseStatus::ok, 2});
  auto options = tcp();
  options.ipv4Options = 8;
  options.tcpOptions = 12;
  out.push_back({"ipv4_tcp_with_options", buildPacket(options), ParseStatus::ok, 2});
  out.push_back({"ipv4_udp", buildPacket(udp(tcp({1, 2, 3}))), ParseStatus::ok, 3});
  out.push_back({"ipv6_tcp", buildPacket(v6(tcp())), ParseStatus::ok, 2});
  out.push_back({"ipv6_udp", buildPacket(v6(udp(tcp({9})))), ParseStatus::ok, 1});
  out.push_back({"ipv6_hop_routing_destopts", withExtensions(buildPacket(v6(tcp())), {0, 43, 60}),
                 ParseStatus::ok, 2});
  // A GSO packet far above any MTU.
  out.push_back({"ipv4_gso", buildPacket(tcp(PacketBytes(60000, 0x5a))), ParseStatus::ok, 60000});
  out.push_back(
      {"ipv6_gso", buildPacket(v6(tcp(PacketBytes(65000, 0x5a)))), ParseStatus::ok, 65000});
  auto padded = buildPacket(tcp());
  padded.insert(padded.end(), 6, 0);  // Ethernet minimum-frame padding
  out.push_back({"ipv4_link_padding_ignored", padded, ParseStatus::ok, 2});

  auto badIhl = buildPacket(tcp());
  badIhl[0] = 0x44;
  out.push_back({"ipv4_ihl_below_5", badIhl, ParseStatus::malformed});
  auto ihlPastEnd = buildPacket(tcp());
  ihlPastEnd[0] = 0x4f;
  out.push_back({"ipv4_ihl_past_total_length", ihlPastEnd, ParseStatus::malformed});
  auto longTotal = buildPacket(tcp());
  putU16(longTotal, 2, static_cast<std::uint16_t>(longTotal.size() + 1));
  out.push_back({"ipv4_total_length_past_end", longTotal, ParseStatus::truncated});
  auto shortTotal = buildPacket(tcp());
  putU16(shortTotal, 2, 19);
  out.push_back({"ipv4_total_length_below_header", shortTotal, ParseStatus::malformed});
  auto badOffset = buildPacket(tcp());
  badOffset[20 + 12] = 0x40;
  out.push_back({"tcp_data_offset_below_5", badOffset, ParseStatus::malformed});
  auto offsetPastEnd = buildPacket(tcp());
  offsetPastEnd[20 + 12] = 0xf0;
  out.push_back({"tcp_data_offset_past_end", offsetPastEnd, ParseStatus::truncated});
  auto badUdpLength = buildPacket(udp(tcp()));
  putU16(badUdpLength, 20 + 4, 7);
  out.push_back({"udp_length_below_8", badUdpLength, ParseStatus::malformed});
  auto longUdp = buildPacket(udp(tcp()));
  putU16(longUdp, 20 + 4, 200);
  out.push_back({"udp_length_past_end", longUdp, ParseStatus::truncated});
  auto version = buildPacket(tcp());
  version[0] = 0x55;
  out.push_back({"ip_version_5", version, ParseStatus::malformed});
  out.push_back({"empty", {}, ParseStatus::truncated});
  auto icmp = buildPacket(tcp());
  icmp[9] = 1;
  out.push_back({"ipv4_icmp", icmp, ParseStatus::unsupportedProtocol});

  auto laterFragment = buildPacket(tcp());
  putU16(laterFragment, 6, 0x2000 | 185);
  out.push_back({"ipv4_non_first_fragment", laterFragment, ParseStatus::fragment});
  auto lastFragment = buildPacket(tcp());
  putU16(lastFragment, 6, 3);
  out.push_back({"ipv4_last_fragment", lastFragment, ParseStatus::fragment});
  auto firstFragment = buildPacket(tcp());
  putU16(firstFragment, 6, 0x2000);
  out.push_back({"ipv4_first_fragment", firstFragment, ParseStatus::ok, 2});

  auto v6Fragment = withExtensions(buildPacket(v6(tcp())), {44});
  putU16(v6Fragment, 40 + 2, static_cast<std::uint16_t>(100 << 3));
  out.push_back({"ipv6_non_first_fragment", v6Fragment, ParseStatus::fragment});
  auto v6FirstFragment = withExtensions(buildPacket(v6(tcp())), {44});
  putU16(v6FirstFragment, 40 + 2, 1);
  out.push_back({"ipv6_first_fragment", v6FirstFragment, ParseStatus::ok, 2});
  out.push_back({"ipv6_extension_chain_too_long",
                 withExtensions(buildPacket(v6(tcp())), std::vector<std::uint8_t>(9, 60)),
                 ParseStatus::tooManyExtensionHeaders});
  out.push_back({"ipv6_eight_extensions_ok",
                 withExtensions(buildPacket(v6(tcp())), std::vector<std::uint8_t>(8, 60)),
                 ParseStatus::ok, 2});
  auto extPastEnd = withExtensions(buildPacket(v6(tcp())), {60});
  extPastEnd[41] = 200;  // (200 + 1) * 8 bytes: far past the payload
  out.push_back({"ipv6_extension_length_past_end", extPastEnd, ParseStatus::truncated});
  auto noNext = withExtensions(buildPacket(v6(tcp())), {60});
  noNext[40] = 59;
  out.push_back({"ipv6_no_next_header", noNext, ParseStatus::unsupportedProtocol});
  auto v6Long = buildPacket(v6(tcp()));
  putU16(v6Long, 4, static_cast<std::uint16_t>(v6Long.size()));
  out.push_back({"ipv6_payload_length_past_end", v6Long, ParseStatus::truncated});
  return out;
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
}

TEST(Parse, Ipv6AddressesHaveNoBrackets) {
  const ParseResult result = parseIpPacket(buildPacket(v6(tcp())));
  ASSERT_EQ(result.status, ParseStatus::ok);
  EXPECT_EQ(result.packet.destination.text(), "2001:db8:0:1::2");
  const ConnectionKey key = ConnectionKey::outboundOf(result.packet);
  EXPECT_EQ(key.text(), "tcp [2001:db8::1]:40000 -> [2001:db8:0:1::2]:443");
  EXPECT_EQ(ConnectionKey::inboundOf(result.packet).remote.text(), "2001:db8::1");
}

// No prefix of a valid packet parses as a whole packet, and none is read past its end (the
// sanitizers would catch it).
TEST(Parse, EveryTruncationIsRefused) {
  for (const PacketBytes& whole :
       {buildPacket(tcp()), buildPacket(v6(tcp())), buildPacket(udp(tcp())),
        withExtensions(buildPacket(v6(tcp())), {0, 60})}) {
    for (std::size_t length = 0; length < whole.size(); ++length) {
      PacketBytes prefix(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length));
      EXPECT_NE(parseIpPacket(prefix).status, ParseStatus::ok) << "length " << length;
    }
  }
}

TEST(ConnectionKeyHash, DiffersByDirectionAndPort) {
  const ParsedPacket p = parseIpPacket(buildPacket(tcp())).packet;
  const ConnectionKey out = ConnectionKey::outboundOf(p);
  ConnectionKey other = out;
  other.localPort++;
  EXPECT_NE(ConnectionKeyHash{}(out), ConnectionKeyHash{}(other));
  EXPECT_NE(out, ConnectionKey::inboundOf(p));
}

}  // namespace
}  // namespace quillnest::hosts
