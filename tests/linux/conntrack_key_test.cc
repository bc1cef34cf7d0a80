#include <gtest/gtest.h>

// clang-format off
#include <netinet/in.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
// clang-format on
#include <arpa/inet.h>

#include <memory>
#include <optional>
#include <utility>

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

}  // namespace
}  // namespace quillnest::linuxhost
