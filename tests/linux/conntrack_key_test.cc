#include <gtest/gtest.h>

// clang-format off
#include <netinet/in.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
// clang-format on
#include <arpa/inet.h>
#include <linux/netfilter/nf_conntrack_tcp.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "hosts/linux/conntrack.h"

namespace quillnest::linuxhost {
namespace {

// A conntrack entry's original tuple, each part set only when given; the key it makes, if any.
struct TupleCase {
  const char* name;
  int family;  // 0: no L3 protocol set
  int protocol;
  const char* source;  // nullptr: not set
  const char* destination;
  int sourcePort;  // -1: not set
  int destinationPort;
  const char* expected;  // nullptr: no key
};

std::optional<hosts::ConnectionKey> keyOf(const TupleCase& c) {
  std::unique_ptr<nf_conntrack, decltype(&nfct_destroy)> ct(nfct_new(), nfct_destroy);
  if (c.family) nfct_set_attr_u8(ct.get(), ATTR_ORIG_L3PROTO, static_cast<std::uint8_t>(c.family));
  nfct_set_attr_u8(ct.get(), ATTR_ORIG_L4PROTO, static_cast<std::uint8_t>(c.protocol));
  const bool v4 = c.family == AF_INET;
  for (auto [text, attribute] :
       {std::pair{c.source, v4 ? ATTR_ORIG_IPV4_SRC : ATTR_ORIG_IPV6_SRC},
        std::pair{c.destination, v4 ? ATTR_ORIG_IPV4_DST : ATTR_ORIG_IPV6_DST}}) {
    if (!text) continue;
    in6_addr address{};
    inet_pton(c.family, text, &address);
    nfct_set_attr(ct.get(), attribute, &address);
  }
  if (c.sourcePort >= 0) nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_SRC, htons(c.sourcePort));
  if (c.destinationPort >= 0)
    nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_DST, htons(c.destinationPort));
  return connectionKeyOf(ct.get());
}

TEST(ConnectionKeyOf, OriginalTupleInHostOrderOrNothing) {
  const TupleCase cases[] = {
      {"IPv4 TCP", AF_INET, IPPROTO_TCP, "198.51.100.1", "198.51.100.2", 50000, 443,
       "tcp 198.51.100.1:50000 -> 198.51.100.2:443"},
      {"IPv6 UDP", AF_INET6, IPPROTO_UDP, "2001:db8::1", "2001:db8::2", 40000, 443,
       "udp [2001:db8::1]:40000 -> [2001:db8::2]:443"},
      {"empty", 0, 0, nullptr, nullptr, -1, -1, nullptr},
      {"ICMP", AF_INET, IPPROTO_ICMP, "0.0.0.1", "0.0.0.2", -1, -1, nullptr},
      {"no ports", AF_INET, IPPROTO_TCP, "0.0.0.1", "0.0.0.2", -1, -1, nullptr},
      {"no addresses", AF_INET6, IPPROTO_TCP, nullptr, nullptr, 1, 2, nullptr},
  };
  for (const TupleCase& c : cases) {
    const auto key = keyOf(c);
    EXPECT_EQ(key ? key->text() : "none", c.expected ? c.expected : "none") << c.name;
    if (key) {
      EXPECT_EQ(key->localPort, c.sourcePort) << c.name;
    }
  }
}

// One conntrack event message as ctnetlink lays it out: a tuple, the TCP state, then the mark.
struct EventCase {
  const char* name;
  bool destroy;
  int state;  // -1: no protocol info
  long mark;  // -1: no mark attribute
  bool passes;
};

void appendAttribute(std::vector<std::uint8_t>& out, std::uint16_t type,
                     const std::vector<std::uint8_t>& payload) {
  const auto length = static_cast<std::uint16_t>(sizeof(nlattr) + payload.size());
  nlattr header{length, type};
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&header);
  out.insert(out.end(), raw, raw + sizeof header);
  out.insert(out.end(), payload.begin(), payload.end());
  out.resize(NLA_ALIGN(out.size()), 0);
}

std::vector<std::uint8_t> eventMessage(const EventCase& c) {
  std::vector<std::uint8_t> attributes;
  appendAttribute(attributes, CTA_TUPLE_ORIG | NLA_F_NESTED, std::vector<std::uint8_t>(12, 0x07));
  if (c.state >= 0) {
    std::vector<std::uint8_t> tcp, info;
    appendAttribute(tcp, CTA_PROTOINFO_TCP_STATE, {static_cast<std::uint8_t>(c.state)});
    appendAttribute(info, CTA_PROTOINFO_TCP | NLA_F_NESTED, tcp);
    appendAttribute(attributes, CTA_PROTOINFO | NLA_F_NESTED, info);
  }
  if (c.mark >= 0) {
    const std::uint32_t mark = htonl(static_cast<std::uint32_t>(c.mark));
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&mark);
    appendAttribute(attributes, CTA_MARK, {raw, raw + 4});
  }
  // Sized once: GCC 12 at -O2 warns (array-bounds) about growing a 20-byte vector by insert.
  constexpr std::size_t kHeaders = sizeof(nlmsghdr) + sizeof(nfgenmsg);
  std::vector<std::uint8_t> message(kHeaders + attributes.size(), 0);
  nlmsghdr header{};
  header.nlmsg_len = static_cast<std::uint32_t>(message.size());
  header.nlmsg_type = static_cast<std::uint16_t>(
      (NFNL_SUBSYS_CTNETLINK << 8) | (c.destroy ? IPCTNL_MSG_CT_DELETE : IPCTNL_MSG_CT_NEW));
  std::memcpy(message.data(), &header, sizeof header);
  message[sizeof header] = AF_INET;
  std::copy(attributes.begin(), attributes.end(), message.begin() + kHeaders);
  return message;
}

// The filter runs on any socket's datagrams, so a socket pair carries the messages.
TEST(ConntrackEventFilter, PassesOnlyTheEndsOfOurConnections) {
  const EventCase cases[] = {
      {"update into CLOSE", false, TCP_CONNTRACK_CLOSE, 0x10000000, true},
      {"update into TIME_WAIT", false, TCP_CONNTRACK_TIME_WAIT, 0x30000000, true},
      {"others' bits kept beside ours", false, TCP_CONNTRACK_CLOSE, 0x2000beef, true},
      {"handshake update", false, TCP_CONNTRACK_ESTABLISHED, 0x10000000, false},
      {"update without TCP state (UDP, mark change)", false, -1, 0x10000000, false},
      {"update of a connection not ours", false, TCP_CONNTRACK_CLOSE, 0x0000beef, false},
      {"update without a mark", false, TCP_CONNTRACK_CLOSE, -1, false},
      {"destroy", true, TCP_CONNTRACK_CLOSE, 0x20000000, true},
      {"destroy without TCP state", true, -1, 0x10000000, true},
      {"destroy of a connection not ours", true, -1, 0x0fffffff, false},
      {"destroy without a mark", true, -1, -1, false},
  };
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair), 0);
  ASSERT_EQ(attachEventFilter(pair[1]), "");
  for (const EventCase& c : cases) {
    const std::vector<std::uint8_t> message = eventMessage(c);
    ASSERT_EQ(send(pair[0], message.data(), message.size(), 0),
              static_cast<ssize_t>(message.size()));
    std::uint8_t buffer[512];
    const ssize_t got = recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(got > 0, c.passes) << c.name;
  }
  close(pair[0]);
  close(pair[1]);
}

}  // namespace
}  // namespace quillnest::linuxhost
