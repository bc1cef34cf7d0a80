// Connection marks that carry a connection's outcome in the kernel, so decided connections never
// come back to userspace. Only the bits under kMarkMask are ours; every other bit of the packet
// mark and the connmark belongs to whoever else uses them and is kept.
#pragma once

#include <cstdint>

#include "hosts/common/flow_engine.h"

namespace quillnest::linuxhost {

inline constexpr std::uint32_t kMarkMask = 0x70000000;
inline constexpr std::uint32_t kMarkAllowed = 0x10000000;
inline constexpr std::uint32_t kMarkDropped = 0x20000000;
inline constexpr std::uint32_t kMarkInspect = 0x30000000;
// Inspected, with a request body passing unqueued (QUILLNEST_BODY), or a long response: the
// server's packets with only ACK set are not logged. It holds kMarkInspect's bits, so a match on
// those bits alone takes both.
inline constexpr std::uint32_t kMarkBodyPass = 0x70000000;
// A packet mark only, never a connmark: the probes that make both ends of a dropped forwarded
// connection answer (forward_resetter.h). Our chains let them pass and never save it.
inline constexpr std::uint32_t kMarkProbe = 0x40000000;
// A packet mark only: a DNS answer our chains queued (hosts/linux/dns/). Cleared when accepted.
inline constexpr std::uint32_t kMarkDnsAnswer = 0x50000000;

// The mark value for an engine outcome; 0 for none.
constexpr std::uint32_t markValue(hosts::ConnectionMark mark) {
  switch (mark) {
    case hosts::ConnectionMark::allowed:
      return kMarkAllowed;
    case hosts::ConnectionMark::dropped:
      return kMarkDropped;
    case hosts::ConnectionMark::inspect:
      return kMarkInspect;
    case hosts::ConnectionMark::bodyPass:
    case hosts::ConnectionMark::responsePass:
      return kMarkBodyPass;
    case hosts::ConnectionMark::none:
      break;
  }
  return 0;
}

// Puts our bits into an existing mark without disturbing the others.
constexpr std::uint32_t withMark(std::uint32_t existing, std::uint32_t value) {
  return (existing & ~kMarkMask) | (value & kMarkMask);
}

}  // namespace quillnest::linuxhost
