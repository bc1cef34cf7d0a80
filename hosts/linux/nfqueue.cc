#include "hosts/linux/nfqueue.h"

// clang-format off
#include <netinet/in.h>
#include <linux/netfilter.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
// clang-format on
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace quillnest::linuxhost {
NetfilterQueue::NetfilterQueue(std::uint16_t number, std::uint32_t maxLength, bool failOpen)
    : number_(number), maxLength_(maxLength), failOpen_(failOpen) {}

NetfilterQueue::~NetfilterQueue() {
  if (queue_) nfq_destroy_queue(queue_);
  if (handle_) nfq_close(handle_);
}

std::string NetfilterQueue::open() {
  std::string prefix = "queue " + std::to_string(number_) + ": ";
  handle_ = nfq_open();
  if (!handle_) return prefix + "cannot open netfilter queue: " + std::strerror(errno);
  queue_ = nfq_create_queue(
      handle_, number_,
      [](nfq_q_handle*, nfgenmsg*, nfq_data* data, void* context) -> int {
        auto* self = static_cast<NetfilterQueue*>(context);
        QueuedPacket packet;
        if (auto* header = nfq_get_msg_packet_hdr(data)) packet.id = ntohl(header->packet_id);
        packet.mark = nfq_get_nfmark(data);
        // The queue runs with NFQA_CFG_F_GSO, so the kernel says when the checksum is left to
        // offload (locally sent packets, usually); otherwise it is final.
        packet.checksumComplete = (nfq_get_skbinfo(data) & NFQA_SKB_CSUMNOTREADY) == 0;
        packet.inInterface = nfq_get_indev(data);
        unsigned char* bytes = nullptr;
        int length = nfq_get_payload(data, &bytes);
        if (length > 0 && bytes) packet.bytes = {bytes, static_cast<std::size_t>(length)};
        if (self->handler_) (*self->handler_)(*self, packet);
        return 0;
      },
      this);
  if (!queue_) return prefix + "cannot bind (another program may hold it): " + std::strerror(errno);
  if (nfq_set_mode(queue_, NFQNL_COPY_PACKET, 0xffff) < 0)
    return prefix + "cannot set copy mode: " + std::strerror(errno);
  if (nfq_set_queue_maxlen(queue_, maxLength_) < 0)
    return prefix + "cannot set queue length: " + std::strerror(errno);
  const std::uint32_t flags = NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO;
  if (nfq_set_queue_flags(queue_, flags, failOpen_ ? flags : NFQA_CFG_F_GSO) < 0)
    return prefix + "kernel refuses fail-open/GSO flags: " + std::strerror(errno);
  int fd = nfq_fd(handle_);
  fcntl(fd, F_SETFD, FD_CLOEXEC);  // iptables-restore children must not hold the queue
  // Overruns drop packets in the kernel (fail-open accepts them); we must not stop on ENOBUFS.
  int on = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
  nfnl_rcvbufsiz(nfq_nfnlh(handle_), 16 * 1024 * 1024);
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  return {};
}

void NetfilterQueue::run(const std::atomic<bool>& stop, const PacketHandler& handler,
                         const std::function<void(const std::string&)>& warn,
                         const std::function<void()>& idle) {
  if (!handle_ || !queue_) return;
  handler_ = &handler;
  int fd = nfq_fd(handle_);
  // A GSO packet can be 64 KiB plus headers.
  std::vector<char> buffer(256 * 1024);
  bool warned = false;
  while (!stop.load(std::memory_order_relaxed)) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) {
      if (idle) idle();
      continue;
    }
    for (int batch = 0; batch < 64; ++batch) {
      ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) break;
        if (!warned) warn("queue " + std::to_string(number_) + ": " + std::strerror(errno));
        warned = true;
        break;
      }
      nfq_handle_packet(handle_, buffer.data(), static_cast<int>(n));
    }
  }
  handler_ = nullptr;
}

void NetfilterQueue::verdict(std::uint32_t id, std::uint32_t verdict, const std::uint32_t* mark,
                             std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(sendMutex_);
  // libnetfilter_queue sends the payload padded to 4 bytes, reading past its end.
  std::vector<std::uint8_t> padded;
  if (!bytes.empty()) {
    padded.reserve((bytes.size() + 3) & ~std::size_t{3});
    padded.assign(bytes.begin(), bytes.end());
    padded.resize((bytes.size() + 3) & ~std::size_t{3}, 0);
  }
  const auto length = static_cast<std::uint32_t>(bytes.size());
  const unsigned char* data = padded.empty() ? nullptr : padded.data();
  int rc = mark ? nfq_set_verdict2(queue_, id, verdict, *mark, length, data)
                : nfq_set_verdict(queue_, id, verdict, length, data);
  if (rc < 0) verdictErrors_.fetch_add(1, std::memory_order_relaxed);
}

void NetfilterQueue::accept(std::uint32_t id) { verdict(id, NF_ACCEPT, nullptr); }
void NetfilterQueue::acceptWithMark(std::uint32_t id, std::uint32_t mark) {
  verdict(id, NF_ACCEPT, &mark);
}
void NetfilterQueue::drop(std::uint32_t id) { verdict(id, NF_DROP, nullptr); }
void NetfilterQueue::acceptReplaced(std::uint32_t id, std::uint32_t mark,
                                    std::span<const std::uint8_t> bytes) {
  verdict(id, NF_ACCEPT, &mark, bytes);
}

}  // namespace quillnest::linuxhost
