// Ends a forwarded TCP connection at once, though the host never saw its sequence numbers.
//
// The connection is already marked dropped, so QUILLNEST_RESET answers any packet of it with a
// reset that carries the right sequence number. What is missing is a packet: an idle end sends
// none, and a server waiting for a request would wait for its own timeout. So each end gets two
// bare ACKs, as if from the other end, with sequence numbers half the number space apart: at
// least one lies outside the receiver's window, and a TCP receiver answers such a segment with
// an ACK of its own (RFC 9293 3.10.7.4). That ACK crosses this host and is answered with the
// reset. Bare ACKs carry no data, so nothing is ever injected into the stream.
//
// Under NAT the two ends know the connection by different addresses: each probe carries the
// ones its receiver knows, from the connection's conntrack tuples, and goes out untracked so
// that conntrack neither translates it again nor takes it for a connection of its own.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "hosts/common/packet.h"

namespace quillnest::linuxhost {

// One IPv4 or IPv6 packet with a 20-byte TCP header and no payload, both checksums set.
std::vector<std::uint8_t> bareTcpPacket(const hosts::IpAddress& from, std::uint16_t fromPort,
                                        const hosts::IpAddress& to, std::uint16_t toPort,
                                        std::uint32_t sequence, std::uint32_t acknowledgment,
                                        std::uint8_t flags);
// The reset a server sends for a SYN to a closed port: from where the SYN went, acknowledging it
// and any data it carries (RFC 9293 3.10.7.1). None for anything but a client's SYN.
std::optional<std::vector<std::uint8_t>> refusalOf(const hosts::ParsedPacket& syn);

class ForwardResetter {
 public:
  ForwardResetter() = default;
  ~ForwardResetter();
  ForwardResetter(const ForwardResetter&) = delete;
  ForwardResetter& operator=(const ForwardResetter&) = delete;

  // Raw sockets for both families; empty on success, else why not (CAP_NET_RAW).
  std::string open();
  // Sends the probes to both ends of a connection (TCP only; anything else is ignored): to the
  // client as if from the address it connected to (original), to the server as if from whom it
  // answers (reply). False with error when a probe could not be sent.
  bool provoke(const hosts::ConnectionKey& original, const hosts::ConnectionKey& reply,
               std::string* error = nullptr);
  // Answers a client's SYN that is dropped with the reset its server would send for a closed
  // port, so that it fails at once rather than after its retries: the kernel never confirmed
  // the connection, so no mark can make QUILLNEST_RESET answer it. Anything but a SYN is ignored.
  bool refuse(const hosts::ParsedPacket& syn, std::string* error = nullptr);

 private:
  bool send(const hosts::IpAddress& to, const std::vector<std::uint8_t>& packet,
            std::string* error);

  std::mutex mutex_;
  int v4_ = -1;
  int v6_ = -1;
  std::mt19937 random_{std::random_device{}()};
};

}  // namespace quillnest::linuxhost
