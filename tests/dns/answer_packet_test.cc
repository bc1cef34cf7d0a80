// Answer packets: the rewritten packet is exactly what a sender of the new answer would have sent
// (lengths and checksums included), and packets that are not rewritten come back empty.
#include "hosts/linux/dns/answer_packet.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"
#include "tests/dns/dns_messages.h"

namespace quillnest::linuxhost::dns {
namespace {

using testing::buildPacket;
using testing::PacketLayout;

PacketLayout answerFrom53(hosts::IpFamily family, std::uint8_t protocol, Bytes payload) {
  PacketLayout layout;
  layout.family = family;
  if (family == hosts::IpFamily::v6) {
    layout.source = "2001:db8::53";
    layout.destination = "2001:db8::2";
  } else {
    layout.source = "198.51.100.53";
    layout.destination = "10.0.0.2";
  }
  layout.protocol = protocol;
  layout.sourcePort = 53;
  layout.destinationPort = 41000;
  layout.flags = hosts::kTcpAck | hosts::kTcpPsh;
  layout.payload = std::move(payload);
  return layout;
}

Bytes framed(const Bytes& message) {
  Bytes out{static_cast<std::uint8_t>(message.size() >> 8),
            static_cast<std::uint8_t>(message.size())};
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

TEST(AnswerPacket, RewrittenPacketsCarryTheirOwnLengthsAndChecksums) {
  const Bytes blocked =
      wireOf({"www.blocked.example.", "HTTPS", {"www.blocked.example." + kHttps + kEch}});
  const Bytes allowed =
      wireOf({"www.allowed.example.", "HTTPS", {"www.allowed.example." + kHttps + kEch}});
  for (auto family : {hosts::IpFamily::v4, hosts::IpFamily::v6}) {
    for (auto protocol : {hosts::kIpProtocolUDP, hosts::kIpProtocolTCP}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(family)) + "/" + std::to_string(protocol));
      const bool tcp = protocol == hosts::kIpProtocolTCP;
      PacketLayout layout = answerFrom53(family, protocol, tcp ? framed(blocked) : blocked);
      const PacketEdit edit = rewriteAnswerPacket(buildPacket(layout), policy());
      ASSERT_TRUE(edit.rewritten);
      EXPECT_EQ(edit.answersRead, 1u);
      EXPECT_EQ(edit.echRemoved, 1u);
      const auto parsed = hosts::parseIpPacket(edit.packet);
      ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
      layout.payload.assign(parsed.packet.payload.begin(), parsed.packet.payload.end());
      EXPECT_EQ(edit.packet, buildPacket(layout));
      if (tcp) {
        EXPECT_EQ(layout.payload.size(), blocked.size() + 2);
      } else {
        EXPECT_LT(layout.payload.size(), blocked.size());
        EXPECT_EQ(read(layout.payload), withoutEch(read(blocked)));
      }

      const PacketEdit untouched = rewriteAnswerPacket(
          buildPacket(answerFrom53(family, protocol, tcp ? framed(allowed) : allowed)), policy());
      EXPECT_FALSE(untouched.rewritten);
      EXPECT_TRUE(untouched.packet.empty());
      EXPECT_EQ(untouched.answersRead, 1u);
    }
  }
}

TEST(AnswerPacket, WhatCannotBeReadPassesAndIsCounted) {
  const Bytes blocked =
      wireOf({"www.blocked.example.", "HTTPS", {"www.blocked.example." + kHttps + kEch}});
  const Bytes garbage(40, 0xff);
  Bytes cutPacket = buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolUDP, blocked));
  cutPacket.resize(30);
  for (const Bytes& packet :
       {buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolUDP, garbage)),
        buildPacket(answerFrom53(hosts::IpFamily::v6, hosts::kIpProtocolTCP, garbage)),
        cutPacket}) {
    const PacketEdit edit = rewriteAnswerPacket(packet, policy());
    EXPECT_FALSE(edit.rewritten);
    EXPECT_EQ(edit.unparsed, 1u);
    EXPECT_EQ(edit.answersRead, 0u);
  }
  // A bare ACK of a DNS connection is nothing to read.
  const PacketEdit ack = rewriteAnswerPacket(
      buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolTCP, {})), policy());
  EXPECT_FALSE(ack.rewritten);
  EXPECT_EQ(ack.unparsed + ack.answersRead, 0u);
}

}  // namespace
}  // namespace quillnest::linuxhost::dns
