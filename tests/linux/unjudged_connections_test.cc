#include "hosts/linux/unjudged_connections.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netfilter/nf_conntrack_tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "hosts/linux/marks.h"
#include "hosts/linux/socket_destroyer.h"

namespace quillnest::linuxhost {
namespace {

hosts::ConnectionKey tcp(const char* source, const char* destination, std::uint16_t port) {
  hosts::ConnectionKey key;
  key.protocol = hosts::kIpProtocolTCP;
  EXPECT_TRUE(hosts::IpAddress::parse(source, key.local)) << source;
  EXPECT_TRUE(hosts::IpAddress::parse(destination, key.remote)) << destination;
  key.family = key.local.family;
  key.localPort = 50000;
  key.remotePort = port;
  return key;
}

// Which connections are reset when blocking comes on: the machine's own sockets and, as a
// gateway, forwarded connections to web ports that none of our marks judged; never those to its
// own servers or over loopback.
TEST(UnjudgedConnections, OnlyUnmarkedWebConnectionsOutOfOrThroughTheMachine) {
  std::vector<hosts::IpAddress> local(4);
  for (std::size_t i = 0; const char* text : {"127.0.0.1", "192.0.2.1", "::1", "2001:db8::1"})
    ASSERT_TRUE(hosts::IpAddress::parse(text, local[i++]));
  constexpr auto established = TCP_CONNTRACK_ESTABLISHED;
  struct Case {
    const char* what;
    hosts::ConnectionKey key;
    bool socket;             // a socket of this machine holds it
    bool tracked;            // conntrack has an entry
    std::uint32_t mark;      // the entry's
    std::uint8_t state;      // the entry's
    bool alone, forwarding;  // reset without forwarding, and with it
  };
  const auto out = tcp("192.0.2.1", "198.51.100.2", 443);
  const auto through = tcp("10.0.0.5", "198.51.100.2", 443);
  // clang-format off
  const Case cases[] = {
      {"opened here, never tracked", out, true, false, 0, 0, true, true},
      {"opened here, tracked, unmarked", out, true, true, 0, established, true, true},
      {"opened here, http, IPv6", tcp("2001:db8::1", "2001:db8::2", 80), true, false, 0, 0,
       true, true},
      {"other bits of the mark are not ours", out, true, true, 0xbeef, established, true, true},
      {"judged: allowed", out, true, true, kMarkAllowed, established, false, false},
      {"judged: under inspection", tcp("192.0.2.1", "198.51.100.2", 80), true, true,
       kMarkInspect | 0xbeef, established, false, false},
      {"judged: dropped", out, true, true, kMarkDropped, established, false, false},
      {"not a web port", tcp("192.0.2.1", "198.51.100.2", 8443), true, true, 0, established,
       false, false},
      {"over loopback", tcp("127.0.0.1", "127.0.0.1", 443), true, true, 0, established, false,
       false},
      {"to this machine's own server", tcp("198.51.100.2", "192.0.2.1", 443), false, true, 0,
       established, false, false},
      {"tracked here, no socket left", out, false, true, 0, established, false, false},
      {"forwarded", through, false, true, 0, established, false, true},
      {"forwarded, handshake not done", through, false, true, 0, TCP_CONNTRACK_SYN_SENT, false,
       true},
      {"forwarded, judged", through, false, true, kMarkAllowed, established, false, false},
      {"forwarded, closing", through, false, true, 0, TCP_CONNTRACK_TIME_WAIT, false, false},
      {"forwarded, closed", through, false, true, 0, TCP_CONNTRACK_CLOSE, false, false},
      {"forwarded to this machine (a port forward's outside end)",
       tcp("10.0.0.5", "2001:db8::1", 80), false, true, 0, established, false, false},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<hosts::ConnectionKey> sockets;
    std::vector<ConntrackEntry> table;
    if (c.socket) sockets.push_back(c.key);
    if (c.tracked) table.push_back({c.key, c.mark, c.state});
    for (bool forward : {false, true}) {
      const UnjudgedConnections found = unjudgedWebConnections(sockets, table, local, forward);
      const bool wanted = forward ? c.forwarding : c.alone;
      EXPECT_EQ(found.local.size() + found.forwarded.size(), wanted ? 1u : 0u) << forward;
      if (wanted) {
        EXPECT_EQ((c.socket ? found.local : found.forwarded).front(), c.key);
      }
    }
  }
  ConntrackEntry udp{through, 0, 0};
  udp.key.protocol = hosts::kIpProtocolUDP;
  EXPECT_TRUE(unjudgedWebConnections({}, {udp}, local, true).forwarded.empty());
}

// What was unjudged before our chains went in stays so, though a packet since has been taken in
// mid-stream and marked; unless it has ended or been dropped since.
TEST(UnjudgedConnections, EarlierOnesStayUnjudgedUntilTheyEndOrAreDropped) {
  const auto out = tcp("192.0.2.1", "198.51.100.2", 443);
  const auto through = tcp("10.0.0.5", "198.51.100.2", 443);
  const UnjudgedConnections earlier{{out}, {through}};
  constexpr auto established = TCP_CONNTRACK_ESTABLISHED;
  struct Case {
    const char* what;
    bool socket;          // out's socket is still open
    std::uint32_t mark;   // both entries' now
    std::uint8_t state;   // both entries' now
    bool tracked = true;  // conntrack has them now
    std::size_t local, forwarded;
  };
  const Case cases[] = {
      {"taken in mid-stream, under inspection", true, kMarkInspect, established, true, 1, 1},
      {"taken in mid-stream, allowed", true, kMarkAllowed, established, true, 1, 1},
      {"still unmarked (found now too: listed once)", true, 0, established, true, 1, 1},
      {"dropped since", true, kMarkDropped, established, true, 0, 0},
      {"closing", true, kMarkAllowed, TCP_CONNTRACK_TIME_WAIT, true, 1, 0},
      {"gone", false, 0, 0, false, 0, 0},
      {"never tracked, socket open", true, 0, 0, false, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<hosts::ConnectionKey> sockets;
    std::vector<ConntrackEntry> table;
    if (c.socket) sockets.push_back(out);
    if (c.tracked) table = {{out, c.mark, c.state}, {through, c.mark, c.state}};
    const UnjudgedConnections now = unjudgedWebConnections(sockets, table, {out.local}, true);
    const UnjudgedConnections found = withEarlier(now, earlier, sockets, table);
    EXPECT_EQ(found.local.size(), c.local);
    EXPECT_EQ(found.forwarded.size(), c.forwarded);
  }
}

// An IPv4 connection on a dual-stack IPv6 socket (over loopback) is listed as conntrack knows
// it, as IPv4, and destroyed by that key.
TEST(UnjudgedConnections, DualStackSocketsAreListedAndDestroyedAsIpv4) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const int client = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 mapped{};
  mapped.sin6_family = AF_INET6;
  mapped.sin6_port = address.sin_port;
  inet_pton(AF_INET6, "::ffff:127.0.0.1", &mapped.sin6_addr);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&mapped), sizeof mapped), 0);
  const int accepted = accept(listener, nullptr, nullptr);
  sockaddr_in6 own{};
  length = sizeof own;
  getsockname(client, reinterpret_cast<sockaddr*>(&own), &length);

  std::string error;
  const auto sockets = establishedTcpSockets(&error);
  EXPECT_EQ(error, "");
  hosts::ConnectionKey wanted = tcp("127.0.0.1", "127.0.0.1", ntohs(address.sin_port));
  wanted.localPort = ntohs(own.sin6_port);
  EXPECT_NE(std::find(sockets.begin(), sockets.end(), wanted), sockets.end());
  if (geteuid() == 0) {  // SOCK_DESTROY needs CAP_NET_ADMIN
    SocketDestroyer destroyer;
    EXPECT_EQ(destroyer.destroy(wanted, &error), SocketDestroyer::Result::destroyed) << error;
    char byte;
    EXPECT_EQ(recv(client, &byte, 1, 0), -1);
    EXPECT_EQ(errno, ECONNABORTED);
  }
  close(accepted);
  close(client);
  close(listener);
}

}  // namespace
}  // namespace quillnest::linuxhost
