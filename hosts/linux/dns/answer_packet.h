// A queued IP packet from port 53: its DNS answer rewritten, lengths and checksums fixed.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "hosts/linux/dns/answer_rewriter.h"

namespace quillnest::linuxhost::dns {

struct PacketEdit {
  bool rewritten = false;
  std::vector<std::uint8_t> packet;  // the whole new IP packet when rewritten
  unsigned answersRead = 0;
  unsigned unparsed = 0;  // a DNS payload that could not be read (passes unchanged)
  unsigned echRemoved = 0;
  unsigned canariesAnswered = 0;
};

// UDP: the answer may shrink (ech removed), the IP and UDP lengths follow. TCP: every message
// keeps its length, so the stream's sequence numbers stay right. The transport checksum is
// always computed whole: the kernel takes a changed packet's checksum as final.
PacketEdit rewriteAnswerPacket(std::span<const std::uint8_t> ipPacket, const AnswerPolicy& policy);

}  // namespace quillnest::linuxhost::dns
