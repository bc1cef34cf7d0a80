#include "hosts/linux/forward_resetter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hosts/linux/marks.h"

namespace quillnest::linuxhost {
namespace {

constexpr std::size_t kIpv4Header = 20;
constexpr std::size_t kIpv6Header = 40;
constexpr std::size_t kTcpHeader = 20;

void put16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}
void put32(std::uint8_t* at, std::uint32_t value) {
  put16(at, static_cast<std::uint16_t>(value >> 16));
  put16(at + 2, static_cast<std::uint16_t>(value));
}

// Ones' complement sum of big-endian 16-bit words, not yet folded.
std::uint32_t sum16(const std::uint8_t* bytes, std::size_t length, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < length; i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (length % 2) sum += static_cast<std::uint32_t>(bytes[length - 1] << 8);
  return sum;
}

std::uint16_t fold(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

}  // namespace

std::vector<std::uint8_t> bareTcpPacket(const hosts::IpAddress& from, std::uint16_t fromPort,
                                        const hosts::IpAddress& to, std::uint16_t toPort,
                                        std::uint32_t sequence, std::uint32_t acknowledgment,
                                        std::uint8_t flags) {
  const bool v4 = from.family == hosts::IpFamily::v4;
  const std::size_t ipHeader = v4 ? kIpv4Header : kIpv6Header;
  const std::size_t addressBytes = v4 ? 4 : 16;
  std::vector<std::uint8_t> packet(ipHeader + kTcpHeader, 0);
  std::uint8_t* ip = packet.data();
  if (v4) {
    ip[0] = 0x45;
    put16(ip + 2, static_cast<std::uint16_t>(packet.size()));
    put16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = hosts::kIpProtocolTCP;
    std::memcpy(ip + 12, from.bytes.data(), 4);
    std::memcpy(ip + 16, to.bytes.data(), 4);
    put16(ip + 10, fold(sum16(ip, kIpv4Header)));
  } else {
    ip[0] = 0x60;
    put16(ip + 4, kTcpHeader);
    ip[6] = hosts::kIpProtocolTCP;
    ip[7] = 64;
    std::memcpy(ip + 8, from.bytes.data(), 16);
    std::memcpy(ip + 24, to.bytes.data(), 16);
  }
  std::uint8_t* tcp = packet.data() + ipHeader;
  put16(tcp, fromPort);
  put16(tcp + 2, toPort);
  put32(tcp + 4, sequence);
  put32(tcp + 8, acknowledgment);
  tcp[12] = 5 << 4;
  tcp[13] = flags;
  put16(tcp + 14, 1024);

  // Pseudo-header: both addresses, the protocol and the TCP length.
  std::uint32_t sum = sum16(from.bytes.data(), addressBytes);
  sum = sum16(to.bytes.data(), addressBytes, sum);
  sum += hosts::kIpProtocolTCP + kTcpHeader;
  put16(tcp + 16, fold(sum16(tcp, kTcpHeader, sum)));
  return packet;
}

ForwardResetter::~ForwardResetter() {
  if (v4_ >= 0) close(v4_);
  if (v6_ >= 0) close(v6_);
}

std::string ForwardResetter::open() {
  std::lock_guard lock(mutex_);
  // IPPROTO_RAW: we write the IP header ourselves (IP_HDRINCL is implied for both families).
  if (v4_ < 0) v4_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (v4_ < 0) return std::string("raw IPv4 socket: ") + std::strerror(errno);
  if (v6_ < 0) v6_ = socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (v6_ < 0) return std::string("raw IPv6 socket: ") + std::strerror(errno);
  // Conntrack may count a probe as part of the dropped connection; the mark lets it pass.
  const int mark = static_cast<int>(kMarkProbe);
  for (int fd : {v4_, v6_})
    if (setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof mark) < 0)
      return std::string("SO_MARK on a raw socket: ") + std::strerror(errno);
  return {};
}

bool ForwardResetter::send(const hosts::IpAddress& to, const std::vector<std::uint8_t>& packet,
                           std::string* error) {
  ssize_t sent;
  if (to.family == hosts::IpFamily::v4) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    std::memcpy(&address.sin_addr, to.bytes.data(), 4);
    sent = sendto(v4_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&address),
                  sizeof address);
  } else {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    std::memcpy(&address.sin6_addr, to.bytes.data(), 16);
    sent = sendto(v6_, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&address),
                  sizeof address);
  }
  if (sent == static_cast<ssize_t>(packet.size())) return true;
  const char* why = sent < 0 ? std::strerror(errno) : "short write";
  if (error) *error = "probe to " + to.text() + ": " + why;
  return false;
}

bool ForwardResetter::provoke(const hosts::ConnectionKey& original,
                              const hosts::ConnectionKey& reply, std::string* error) {
  if (original.protocol != hosts::kIpProtocolTCP) return true;
  std::lock_guard lock(mutex_);
  if ((original.family == hosts::IpFamily::v4 ? v4_ : v6_) < 0) {
    if (error) *error = "no raw socket";
    return false;
  }
  bool ok = true;
  const std::uint32_t baseSequence = random_();
  const std::uint32_t baseAcknowledgment = random_();
  for (std::uint32_t half : {0u, 0x80000000u}) {
    const std::uint32_t sequence = baseSequence + half;
    const std::uint32_t acknowledgment = baseAcknowledgment + half;
    for (const hosts::ConnectionKey* end : {&original, &reply}) {
      ok &= send(end->local,
                 bareTcpPacket(end->remote, end->remotePort, end->local, end->localPort, sequence,
                               acknowledgment, hosts::kTcpAck),
                 error);
    }
  }
  return ok;
}

std::optional<std::vector<std::uint8_t>> refusalOf(const hosts::ParsedPacket& syn) {
  if (!syn.isTCP() || !syn.hasFlag(hosts::kTcpSyn) || syn.hasFlag(hosts::kTcpAck)) return {};
  const auto acknowledgment = static_cast<std::uint32_t>(syn.tcpSequence + 1 + syn.payload.size());
  return bareTcpPacket(syn.destination, syn.destinationPort, syn.source, syn.sourcePort, 0,
                       acknowledgment, hosts::kTcpRst | hosts::kTcpAck);
}

bool ForwardResetter::refuse(const hosts::ParsedPacket& syn, std::string* error) {
  const auto refusal = refusalOf(syn);
  if (!refusal) return true;
  std::lock_guard lock(mutex_);
  if ((syn.family == hosts::IpFamily::v4 ? v4_ : v6_) < 0) {
    if (error) *error = "no raw socket";
    return false;
  }
  return send(syn.source, *refusal, error);
}

}  // namespace quillnest::linuxhost
