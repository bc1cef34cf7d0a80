// The NFLOG group that the pure ACKs of inspected port-80 connections are copied to as they pass
// unqueued (iptables_rules.h). Reads never block; the receive buffer is large, and when it
// overflowed anyway the kernel says so (ENOBUFS), which the next drain reports as `lost`.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

struct mnl_socket;

namespace quillnest::linuxhost {

class AckLog {
 public:
  explicit AckLog(std::uint16_t group);
  ~AckLog();
  AckLog(const AckLog&) = delete;
  AckLog& operator=(const AckLog&) = delete;

  // Binds the group. Empty on success, else why not (another listener has it, no nfnetlink_log).
  std::string open();
  std::uint16_t group() const { return group_; }
  int fd() const;

  struct Logged {
    std::span<const std::uint8_t> bytes;  // its IP and TCP headers, and what fits of its payload
    bool reply = false;                   // logged with kReplyLogPrefix (the server's)
    std::uint32_t inInterface = 0;        // the interface it came in on; 0 for one sent here
  };
  enum class Drain { empty, read, lost };
  // Hands each logged packet to onPacket, until nothing is waiting. lost: the kernel dropped
  // messages since the last drain; the rest were still read.
  Drain drain(const std::function<void(const Logged&)>& onPacket);

 private:
  std::string configure(const void* attributes, std::size_t size, std::uint16_t type);

  std::uint16_t group_;
  mnl_socket* socket_ = nullptr;
  std::uint32_t portId_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace quillnest::linuxhost
