#include <gtest/gtest.h>

// clang-format off
#include <netinet/in.h>
#include <libnetfilter_conntrack/libnetfilter_conntrack.h>
// clang-format on
#include <arpa/inet.h>

#include <memory>

#include "hosts/linux/conntrack.h"

namespace quillnest::linuxhost {
namespace {

using Conntrack = std::unique_ptr<nf_conntrack, decltype(&nfct_destroy)>;

Conntrack make() { return Conntrack(nfct_new(), nfct_destroy); }

TEST(ConnectionKeyOf, IPv4TupleInHostOrder) {
  auto ct = make();
  nfct_set_attr_u8(ct.get(), ATTR_ORIG_L3PROTO, AF_INET);
  nfct_set_attr_u8(ct.get(), ATTR_ORIG_L4PROTO, IPPROTO_TCP);
  in_addr source{}, destination{};
  inet_pton(AF_INET, "198.51.100.1", &source);
  inet_pton(AF_INET, "198.51.100.2", &destination);
  nfct_set_attr_u32(ct.get(), ATTR_ORIG_IPV4_SRC, source.s_addr);
  nfct_set_attr_u32(ct.get(), ATTR_ORIG_IPV4_DST, destination.s_addr);
  nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_SRC, htons(50000));
  nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_DST, htons(443));
  auto key = connectionKeyOf(ct.get());
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->text(), "tcp 198.51.100.1:50000 -> 198.51.100.2:443");
  EXPECT_EQ(key->localPort, 50000);
  EXPECT_EQ(key->remotePort, 443);
}

TEST(ConnectionKeyOf, IPv6Udp) {
  auto ct = make();
  nfct_set_attr_u8(ct.get(), ATTR_ORIG_L3PROTO, AF_INET6);
  nfct_set_attr_u8(ct.get(), ATTR_ORIG_L4PROTO, IPPROTO_UDP);
  in6_addr source{}, destination{};
  inet_pton(AF_INET6, "2001:db8::1", &source);
  inet_pton(AF_INET6, "2001:db8::2", &destination);
  nfct_set_attr(ct.get(), ATTR_ORIG_IPV6_SRC, &source);
  nfct_set_attr(ct.get(), ATTR_ORIG_IPV6_DST, &destination);
  nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_SRC, htons(40000));
  nfct_set_attr_u16(ct.get(), ATTR_ORIG_PORT_DST, htons(443));
  auto key = connectionKeyOf(ct.get());
  ASSERT_TRUE(key.has_value());
  EXPECT_EQ(key->family, hosts::IpFamily::v6);
  EXPECT_EQ(key->protocol, hosts::kIpProtocolUDP);
  EXPECT_EQ(key->local.text(), "2001:db8::1");
  EXPECT_EQ(key->remote.text(), "2001:db8::2");
}

TEST(ConnectionKeyOf, IncompleteOrForeignTuplesGiveNothing) {
  auto empty = make();
  EXPECT_FALSE(connectionKeyOf(empty.get()).has_value());

  auto icmp = make();
  nfct_set_attr_u8(icmp.get(), ATTR_ORIG_L3PROTO, AF_INET);
  nfct_set_attr_u8(icmp.get(), ATTR_ORIG_L4PROTO, IPPROTO_ICMP);
  nfct_set_attr_u32(icmp.get(), ATTR_ORIG_IPV4_SRC, 1);
  nfct_set_attr_u32(icmp.get(), ATTR_ORIG_IPV4_DST, 2);
  EXPECT_FALSE(connectionKeyOf(icmp.get()).has_value());

  auto noPorts = make();
  nfct_set_attr_u8(noPorts.get(), ATTR_ORIG_L3PROTO, AF_INET);
  nfct_set_attr_u8(noPorts.get(), ATTR_ORIG_L4PROTO, IPPROTO_TCP);
  nfct_set_attr_u32(noPorts.get(), ATTR_ORIG_IPV4_SRC, 1);
  nfct_set_attr_u32(noPorts.get(), ATTR_ORIG_IPV4_DST, 2);
  EXPECT_FALSE(connectionKeyOf(noPorts.get()).has_value());

  auto noAddresses = make();
  nfct_set_attr_u8(noAddresses.get(), ATTR_ORIG_L3PROTO, AF_INET6);
  nfct_set_attr_u8(noAddresses.get(), ATTR_ORIG_L4PROTO, IPPROTO_TCP);
  nfct_set_attr_u16(noAddresses.get(), ATTR_ORIG_PORT_SRC, htons(1));
  nfct_set_attr_u16(noAddresses.get(), ATTR_ORIG_PORT_DST, htons(2));
  EXPECT_FALSE(connectionKeyOf(noAddresses.get()).has_value());
}

}  // namespace
}  // namespace quillnest::linuxhost
