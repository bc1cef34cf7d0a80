#include "hosts/linux/ack_log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "hosts/linux/iptables_rules.h"

namespace quillnest::linuxhost {
namespace {

// Room for tens of thousands of logged ACKs while the reader is busy elsewhere.
constexpr int kReceiveBuffer = 16 << 20;

}  // namespace

AckLog::AckLog(std::uint16_t group) : group_(group), buffer_(1 << 16) {}

AckLog::~AckLog() {
  if (socket_) mnl_socket_close(socket_);
}

int AckLog::fd() const { return socket_ ? mnl_socket_get_fd(socket_) : -1; }

std::string AckLog::configure(const void* attribute, std::size_t size, std::uint16_t type) {
  char request[MNL_SOCKET_BUFFER_SIZE];
  nlmsghdr* message = mnl_nlmsg_put_header(request);
  message->nlmsg_type = (NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_CONFIG;
  message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  message->nlmsg_seq = static_cast<std::uint32_t>(type);
  auto* header = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(nfgenmsg)));
  header->nfgen_family = AF_UNSPEC;
  header->version = NFNETLINK_V0;
  header->res_id = htons(group_);
  mnl_attr_put(message, type, size, attribute);
  if (mnl_socket_sendto(socket_, message, message->nlmsg_len) < 0) return std::strerror(errno);
  char answer[MNL_SOCKET_BUFFER_SIZE];
  const ssize_t got = mnl_socket_recvfrom(socket_, answer, sizeof answer);
  if (got < 0) return std::strerror(errno);
  if (mnl_cb_run(answer, static_cast<std::size_t>(got), message->nlmsg_seq, portId_, nullptr,
                 nullptr) < 0)
    return std::strerror(errno);
  return {};
}

std::string AckLog::open() {
  const std::string what = "NFLOG group " + std::to_string(group_) + ": ";
  socket_ = mnl_socket_open(NETLINK_NETFILTER);
  if (!socket_) return what + std::strerror(errno);
  if (mnl_socket_bind(socket_, 0, MNL_SOCKET_AUTOPID) < 0) return what + std::strerror(errno);
  portId_ = mnl_socket_get_portid(socket_);
  const int fd = mnl_socket_get_fd(socket_);
  const int size = kReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) < 0 &&
      setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0)
    return what + "receive buffer: " + std::strerror(errno);
  const nfulnl_msg_config_cmd bind{NFULNL_CFG_CMD_BIND};
  if (auto error = configure(&bind, sizeof bind, NFULA_CFG_CMD); !error.empty())
    return what + "bind: " + error;
  nfulnl_msg_config_mode mode{};
  mode.copy_range = htonl(kAckLogCopy);
  mode.copy_mode = NFULNL_COPY_PACKET;
  if (auto error = configure(&mode, sizeof mode, NFULA_CFG_MODE); !error.empty())
    return what + "copy mode: " + error;
  // One message per packet, sent as the packet passes (the rule asks for it too).
  const std::uint32_t threshold = htonl(1);
  if (auto error = configure(&threshold, sizeof threshold, NFULA_CFG_QTHRESH); !error.empty())
    return what + "threshold: " + error;
  if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) < 0) return what + std::strerror(errno);
  return {};
}

AckLog::Drain AckLog::drain(const std::function<void(const Logged&)>& onPacket) {
  Drain result = Drain::empty;
  for (;;) {
    const ssize_t got = mnl_socket_recvfrom(socket_, buffer_.data(), buffer_.size());
    if (got < 0) {
      if (errno == ENOBUFS) {
        result = Drain::lost;  // reported once; what is still queued follows
        continue;
      }
      if (errno == EINTR) continue;
      return result;  // EAGAIN: nothing more waiting
    }
    if (result == Drain::empty) result = Drain::read;
    auto* message = reinterpret_cast<const nlmsghdr*>(buffer_.data());
    for (int left = static_cast<int>(got); mnl_nlmsg_ok(message, left);
         message = mnl_nlmsg_next(message, &left)) {
      if (message->nlmsg_type != ((NFNL_SUBSYS_ULOG << 8) | NFULNL_MSG_PACKET)) continue;
      if (message->nlmsg_len < MNL_NLMSG_HDRLEN + MNL_ALIGN(sizeof(nfgenmsg))) continue;
      const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(message));
      Logged packet;
      for (auto* attribute =
               static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(message, sizeof(nfgenmsg)));
           mnl_attr_ok(attribute,
                       static_cast<int>(tail - reinterpret_cast<const char*>(attribute)));
           attribute = mnl_attr_next(attribute)) {
        const auto* value = static_cast<const char*>(mnl_attr_get_payload(attribute));
        const std::size_t length = mnl_attr_get_payload_len(attribute);
        if (mnl_attr_get_type(attribute) == NFULA_PAYLOAD) {
          packet.bytes = {reinterpret_cast<const std::uint8_t*>(value), length};
        } else if (mnl_attr_get_type(attribute) == NFULA_PREFIX) {
          // The prefix comes with its terminating zero.
          packet.reply = std::string_view(value, strnlen(value, length)) == kReplyLogPrefix;
        } else if (mnl_attr_get_type(attribute) == NFULA_IFINDEX_INDEV &&
                   length == sizeof(std::uint32_t)) {
          packet.inInterface = ntohl(mnl_attr_get_u32(attribute));
        }
      }
      if (!packet.bytes.empty()) onPacket(packet);
    }
  }
}

}  // namespace quillnest::linuxhost
