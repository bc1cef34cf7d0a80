#include "hosts/linux/forward_resetter.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"

namespace quillnest::linuxhost {
namespace {

// Byte for byte as the test builder makes them: valid checksums, no payload, only the flags
// asked for.
TEST(BareTcpPacket, IsTheBuildersPacket) {
  struct Case {
    const char* from;
    std::uint16_t fromPort;
    const char* to;
    std::uint16_t toPort;
    std::uint32_t sequence, acknowledgment;
    std::uint8_t flags = hosts::kTcpAck;
  };
  const Case cases[] = {
      {"198.51.100.2", 443, "203.0.113.1", 50000, 1, 2},
      {"255.255.255.255", 65535, "0.0.0.1", 0, 0xffffffff, 0x80000000},
      {"2001:db8::2", 443, "2001:db8::1", 40000, 0x12345678, 0x9abcdef0},
      {"2001:db8::ff", 1, "2001:db8::", 65535, 0, 0xffffffff, hosts::kTcpRst | hosts::kTcpAck},
  };
  for (const Case& c : cases) {
    testing::PacketLayout layout{.source = c.from,
                                 .destination = c.to,
                                 .sourcePort = c.fromPort,
                                 .destinationPort = c.toPort,
                                 .flags = c.flags,
                                 .sequence = c.sequence,
                                 .acknowledgment = c.acknowledgment,
                                 .window = 1024};
    hosts::IpAddress from, to;
    ASSERT_TRUE(hosts::IpAddress::parse(c.from, from) && hosts::IpAddress::parse(c.to, to));
    layout.family = from.family;
    EXPECT_EQ(bareTcpPacket(from, c.fromPort, to, c.toPort, c.sequence, c.acknowledgment, c.flags),
              testing::buildPacket(layout))
        << c.from;
  }
}

// A refused SYN gets the reset of a closed port, from where it went, acknowledging the SYN and
// its data (across the sequence space's wrap); other packets get none.
TEST(RefusalOf, AcknowledgesTheSynAndItsData) {
  struct Case {
    hosts::IpFamily family;
    std::uint8_t flags;
    std::uint32_t sequence;
    std::size_t data;
    std::optional<std::uint32_t> acknowledgment;
  };
  const Case cases[] = {
      {hosts::IpFamily::v4, hosts::kTcpSyn, 1000, 0, 1001},
      {hosts::IpFamily::v6, hosts::kTcpSyn, 0xffffffff, 0, 0},
      {hosts::IpFamily::v4, hosts::kTcpSyn, 0xfffffff0, 20, 5},  // SYN data (TCP Fast Open)
      {hosts::IpFamily::v4, hosts::kTcpSyn | hosts::kTcpAck, 1000, 0, std::nullopt},
      {hosts::IpFamily::v4, hosts::kTcpAck, 1000, 0, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sequence);
    const bool v6 = c.family == hosts::IpFamily::v6;
    const testing::PacketLayout syn{.family = c.family,
                                    .source = v6 ? "2001:db8::1" : "10.0.0.1",
                                    .destination = v6 ? "2620:fe::fe" : "9.9.9.9",
                                    .flags = c.flags,
                                    .sequence = c.sequence,
                                    .payload = testing::PacketBytes(c.data, 'x')};
    const auto bytes = testing::buildPacket(syn);
    const hosts::ParseResult parsed = hosts::parseIpPacket(bytes);
    ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
    const auto refusal = refusalOf(parsed.packet);
    ASSERT_EQ(refusal.has_value(), c.acknowledgment.has_value());
    if (!refusal) continue;
    EXPECT_EQ(*refusal, testing::buildPacket({.family = c.family,
                                              .source = syn.destination,
                                              .destination = syn.source,
                                              .sourcePort = syn.destinationPort,
                                              .destinationPort = syn.sourcePort,
                                              .flags = hosts::kTcpRst | hosts::kTcpAck,
                                              .acknowledgment = *c.acknowledgment,
                                              .window = 1024}));
  }
}

TEST(ForwardResetter, IgnoresUdpAndRefusesWithoutSockets) {
  ForwardResetter resetter;  // not opened
  hosts::ConnectionKey key;
  key.protocol = hosts::kIpProtocolUDP;
  EXPECT_TRUE(resetter.provoke(key, key));
  key.protocol = hosts::kIpProtocolTCP;
  std::string error;
  EXPECT_FALSE(resetter.provoke(key, key, &error));
  EXPECT_EQ(error, "no raw socket");
  hosts::ParsedPacket syn;
  syn.protocol = hosts::kIpProtocolTCP;
  EXPECT_TRUE(resetter.refuse(syn));  // not a SYN: nothing to send
  syn.tcpFlags = hosts::kTcpSyn;
  EXPECT_FALSE(resetter.refuse(syn));
}

}  // namespace
}  // namespace quillnest::linuxhost
