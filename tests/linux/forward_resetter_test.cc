#include "hosts/linux/forward_resetter.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"

namespace quillnest::linuxhost {
namespace {

// A bare ACK, byte for byte as the test builder makes it: valid checksums, no payload, never a
// RST, SYN or data.
TEST(BareAckPacket, IsTheBuildersAck) {
  struct Case {
    const char* from;
    std::uint16_t fromPort;
    const char* to;
    std::uint16_t toPort;
    std::uint32_t sequence, acknowledgment;
  };
  const Case cases[] = {
      {"198.51.100.2", 443, "203.0.113.1", 50000, 1, 2},
      {"255.255.255.255", 65535, "0.0.0.1", 0, 0xffffffff, 0x80000000},
      {"2001:db8::2", 443, "2001:db8::1", 40000, 0x12345678, 0x9abcdef0},
      {"2001:db8::ff", 1, "2001:db8::", 65535, 0, 0xffffffff},
  };
  for (const Case& c : cases) {
    testing::PacketLayout layout{.source = c.from,
                                 .destination = c.to,
                                 .sourcePort = c.fromPort,
                                 .destinationPort = c.toPort,
                                 .sequence = c.sequence,
                                 .acknowledgment = c.acknowledgment,
                                 .window = 1024};
    hosts::IpAddress from, to;
    ASSERT_TRUE(hosts::IpAddress::parse(c.from, from) && hosts::IpAddress::parse(c.to, to));
    layout.family = from.family;
    EXPECT_EQ(bareAckPacket(from, c.fromPort, to, c.toPort, c.sequence, c.acknowledgment),
              testing::buildPacket(layout))
        << c.from;
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
}

}  // namespace
}  // namespace quillnest::linuxhost
