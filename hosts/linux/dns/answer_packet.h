// A queued IP packet from port 53: its DNS answer rewritten, lengths and checksums fixed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hosts/linux/dns/answer_rewriter.h"
#include "hosts/linux/dns/tcp_answer_stream.h"

namespace quillnest::linuxhost::dns {

// unparsed: a DNS payload that could not be read (passes unchanged).
struct PacketEdit : StreamCounts {
  bool rewritten = false;
  bool drop = false;  // a TCP segment that cannot pass as it is; its sender sends it again
  std::vector<std::uint8_t> packet;  // the whole new IP packet when rewritten
};

// UDP: the answer may shrink (ech removed), the IP and UDP lengths follow. TCP: every message
// keeps its length, so the stream's sequence numbers stay right; connections `streams` follows
// are read across segments, others one segment at a time. The transport checksum is always
// computed whole: the kernel takes a changed packet's checksum as final.
PacketEdit rewriteAnswerPacket(std::span<const std::uint8_t> ipPacket, const AnswerPolicy& policy,
                               TcpAnswerStreams* streams = nullptr,
                               TcpAnswerStreams::Clock::time_point now = {});

}  // namespace quillnest::linuxhost::dns
