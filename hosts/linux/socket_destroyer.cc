#include "hosts/linux/socket_destroyer.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quillnest::linuxhost {

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
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
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

}  // namespace quillnest::linuxhost
