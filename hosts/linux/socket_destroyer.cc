#include "hosts/linux/socket_destroyer.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace quillnest::linuxhost {
namespace {

struct Request {
  nlmsghdr header;
  inet_diag_req_v2 request;
};

// An IPv6 socket's view of an IPv4 connection (::ffff:a.b.c.d), as IPv4.
bool unmapV4(const std::uint8_t* bytes, hosts::IpAddress& out) {
  static constexpr std::uint8_t prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!std::equal(prefix, prefix + 12, bytes)) return false;
  out = hosts::IpAddress::v4(bytes[12], bytes[13], bytes[14], bytes[15]);
  return true;
}
}  // namespace

SocketDestroyer::SocketDestroyer() {
  fd_ = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
}

SocketDestroyer::~SocketDestroyer() {
  if (fd_ >= 0) close(fd_);
}

SocketDestroyer::Result SocketDestroyer::destroy(const hosts::ConnectionKey& key,
                                                 std::string* error) {
  if (key.protocol != hosts::kIpProtocolTCP) return Result::notFound;
  std::lock_guard lock(mutex_);
  if (fd_ < 0) {
    if (error) *error = "sock_diag socket unavailable";
    return Result::failed;
  }
  Request message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DESTROY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  message.header.nlmsg_seq = ++sequence_;
  auto& request = message.request;
  request.sdiag_family = key.family == hosts::IpFamily::v4 ? AF_INET : AF_INET6;
  request.sdiag_protocol = IPPROTO_TCP;
  request.idiag_states = ~0u;
  request.id.idiag_sport = htons(key.localPort);
  request.id.idiag_dport = htons(key.remotePort);
  std::size_t addressBytes = key.family == hosts::IpFamily::v4 ? 4 : 16;
  std::memcpy(request.id.idiag_src, key.local.bytes.data(), addressBytes);
  std::memcpy(request.id.idiag_dst, key.remote.bytes.data(), addressBytes);
  request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(fd_, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof kernel) < 0) {
    if (error) *error = std::string("sock_diag send: ") + std::strerror(errno);
    return Result::failed;
  }
  // The ack carries the outcome; read until ours arrives (stale acks of timed-out requests).
  for (int attempts = 0; attempts < 8; ++attempts) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) {
      if (error) *error = "sock_diag: no answer";
      return Result::failed;
    }
    alignas(nlmsghdr) char buffer[1024];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (error) *error = std::string("sock_diag recv: ") + std::strerror(errno);
      return Result::failed;
    }
    auto* reply = reinterpret_cast<nlmsghdr*>(buffer);
    if (!NLMSG_OK(reply, static_cast<unsigned>(n)) || reply->nlmsg_seq != sequence_) continue;
    if (reply->nlmsg_type != NLMSG_ERROR) continue;
    if (reply->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) continue;
    int code = -static_cast<nlmsgerr*>(NLMSG_DATA(reply))->error;
    if (code == 0) return Result::destroyed;
    if (code == ENOENT) return Result::notFound;
    if (error) *error = std::string("sock_diag destroy: ") + std::strerror(code);
    return Result::failed;
  }
  if (error) *error = "sock_diag: no matching answer";
  return Result::failed;
}

std::vector<hosts::ConnectionKey> establishedTcpSockets(std::string* error) {
  struct Fd {
    int value;
    ~Fd() {
      if (value >= 0) close(value);
    }
  } fd{socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG)};
  auto failed = [error](std::string why) {
    if (error) *error = std::move(why);
    return std::vector<hosts::ConnectionKey>();
  };
  if (fd.value < 0) return failed(std::string("sock_diag socket: ") + std::strerror(errno));
  std::vector<hosts::ConnectionKey> keys;
  std::vector<std::uint64_t> storage(4096);  // 32 KiB, aligned for the headers
  char* const buffer = reinterpret_cast<char*>(storage.data());
  for (const int family : {AF_INET, AF_INET6}) {
    Request message{};
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<std::uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = 1u << TCP_ESTABLISHED;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.value, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) < 0)
      return failed(std::string("sock_diag send: ") + std::strerror(errno));
    for (bool done = false; !done;) {
      pollfd p{fd.value, POLLIN, 0};
      if (poll(&p, 1, 1000) <= 0) return failed("sock_diag: no answer to the dump");
      ssize_t n = recv(fd.value, buffer, storage.size() * sizeof storage[0], 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return failed(std::string("sock_diag recv: ") + std::strerror(errno));
      auto length = static_cast<unsigned>(n);
      for (auto* reply = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(reply, length);
           reply = NLMSG_NEXT(reply, length)) {
        if (reply->nlmsg_type == NLMSG_DONE) {
          done = true;
          break;
        }
        if (reply->nlmsg_type == NLMSG_ERROR) return failed("sock_diag: the dump failed");
        if (reply->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
            reply->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg)))
          continue;
        const auto* found = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply));
        hosts::ConnectionKey key;
        key.protocol = hosts::kIpProtocolTCP;
        key.localPort = ntohs(found->id.idiag_sport);
        key.remotePort = ntohs(found->id.idiag_dport);
        const auto* source = reinterpret_cast<const std::uint8_t*>(found->id.idiag_src);
        const auto* destination = reinterpret_cast<const std::uint8_t*>(found->id.idiag_dst);
        if (found->idiag_family == AF_INET) {
          key.local = hosts::IpAddress::v4(source[0], source[1], source[2], source[3]);
          key.remote =
              hosts::IpAddress::v4(destination[0], destination[1], destination[2], destination[3]);
        } else if (!unmapV4(source, key.local) || !unmapV4(destination, key.remote)) {
          key.family = hosts::IpFamily::v6;
          std::array<std::uint8_t, 16> bytes;
          std::memcpy(bytes.data(), source, 16);
          key.local = hosts::IpAddress::v6(bytes);
          std::memcpy(bytes.data(), destination, 16);
          key.remote = hosts::IpAddress::v6(bytes);
        }
        keys.push_back(key);
      }
    }
  }
  return keys;
}

}  // namespace quillnest::linuxhost
