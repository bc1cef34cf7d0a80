// The daemon runs as root (its files live under /etc, iptables and the queues need root), but
// once it serves, a compromise of the packet path must not be able to do other root things. So
// it keeps only the network capabilities it uses: CAP_NET_ADMIN (netfilter queue verdicts,
// conntrack marks, sock_diag destroy, iptables-restore when it removes its chains) and
// CAP_NET_RAW (the raw sockets that provoke resets of forwarded connections; iptables).
//
// Capabilities belong to threads: drop them before the first thread starts.
#pragma once

#include <linux/capability.h>

#include <cstdint>
#include <string>

namespace quillnest::linuxhost {

constexpr std::uint64_t capabilityBit(int capability) { return std::uint64_t{1} << capability; }

inline constexpr std::uint64_t kDaemonCapabilities =
    capabilityBit(CAP_NET_ADMIN) | capabilityBit(CAP_NET_RAW);

// Leaves the calling thread (and everything it starts or executes later) with exactly the given
// capabilities in its effective and permitted sets, and no more in its bounding set; clears the
// inheritable and ambient sets and sets no_new_privs. Capabilities already missing stay missing.
// Calling it again changes nothing. Returns an error message, or empty.
std::string keepOnlyCapabilities(std::uint64_t keep);

// The calling thread's sets, as the kernel reports them.
struct CapabilitySets {
  std::uint64_t effective = 0;
  std::uint64_t permitted = 0;
  std::uint64_t inheritable = 0;
  std::uint64_t bounding = 0;
};
CapabilitySets currentCapabilities();

}  // namespace quillnest::linuxhost
