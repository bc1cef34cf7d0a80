#include "hosts/linux/forward_resetter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

namespace quillnest::linuxhost {
namespace {

using hosts::IpAddress;

// Ones' complement sum over big-endian words, folded; a correct checksum makes it 0xffff.
std::uint16_t foldedSum(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (bytes.size() % 2) sum += static_cast<std::uint32_t>(bytes.back() << 8);
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(sum);
}

struct ProbeCase {
  const char* name;
  IpAddress from;
  std::uint16_t fromPort;
  IpAddress to;
  std::uint16_t toPort;
  std::uint32_t sequence;
  std::uint32_t acknowledgment;
};

IpAddress v6(std::uint8_t last) {
  std::array<std::uint8_t, 16> bytes{0x20, 0x01, 0x0d, 0xb8};
  bytes[15] = last;
  return IpAddress::v6(bytes);
}

TEST(BareAckPacket, ParsesBackWithValidChecksumsAndNoPayload) {
  const ProbeCase cases[] = {
      {"v4", IpAddress::v4(198, 51, 100, 2), 443, IpAddress::v4(203, 0, 113, 1), 50000, 1, 2},
      {"v4 extreme values", IpAddress::v4(255, 255, 255, 255), 65535, IpAddress::v4(0, 0, 0, 1), 0,
       0xffffffff, 0x80000000},
      {"v6", v6(2), 443, v6(1), 40000, 0x12345678, 0x9abcdef0},
      {"v6 odd-looking ports", v6(0xff), 1, v6(0), 65535, 0, 0xffffffff},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto packet = bareAckPacket(c.from, c.fromPort, c.to, c.toPort, c.sequence, c.acknowledgment);
    const bool isV4 = c.from.family == hosts::IpFamily::v4;
    const std::size_t ipHeader = isV4 ? 20 : 40;
    ASSERT_EQ(packet.size(), ipHeader + 20);

    auto parsed = hosts::parseIpPacket(packet);
    ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
    const auto& p = parsed.packet;
    EXPECT_TRUE(p.isTCP());
    EXPECT_EQ(p.source, c.from);
    EXPECT_EQ(p.destination, c.to);
    EXPECT_EQ(p.sourcePort, c.fromPort);
    EXPECT_EQ(p.destinationPort, c.toPort);
    EXPECT_EQ(p.tcpFlags, hosts::kTcpAck);  // never RST, SYN or data
    EXPECT_EQ(p.tcpSequence, c.sequence);
    EXPECT_EQ(p.tcpAcknowledgment, c.acknowledgment);
    EXPECT_TRUE(p.payload.empty());

    std::span<const std::uint8_t> bytes(packet);
    if (isV4) {
      EXPECT_EQ(foldedSum(bytes.first(20)), 0xffff);
    }
    const std::size_t addressBytes = isV4 ? 4 : 16;
    std::uint32_t pseudo = 6 + 20;
    pseudo += foldedSum(std::span(c.from.bytes).first(addressBytes));
    pseudo += foldedSum(std::span(c.to.bytes).first(addressBytes));
    EXPECT_EQ(foldedSum(bytes.subspan(ipHeader), pseudo), 0xffff);
  }
}

TEST(ForwardResetter, IgnoresUdpAndRefusesWithoutSockets) {
  ForwardResetter resetter;  // not opened
  hosts::ConnectionKey key;
  key.protocol = hosts::kIpProtocolUDP;
  EXPECT_TRUE(resetter.provoke(key));
  key.protocol = hosts::kIpProtocolTCP;
  std::string error;
  EXPECT_FALSE(resetter.provoke(key, &error));
  EXPECT_EQ(error, "no raw socket");
}

}  // namespace
}  // namespace quillnest::linuxhost
