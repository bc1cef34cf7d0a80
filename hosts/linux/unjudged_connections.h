// Web connections no filter judged: open before the daemon started, or made while none ran. When
// blocking comes on they are reset like the flows the filter tracks, so that a blocked site does
// not stay reachable over a connection older than the filter.
#pragma once

#include <vector>

#include "hosts/common/packet.h"
#include "hosts/linux/conntrack.h"

namespace quillnest::linuxhost {

// The machine's own addresses, every interface, both families.
std::vector<hosts::IpAddress> localAddresses();

struct UnjudgedConnections {
  std::vector<hosts::ConnectionKey> local;      // this machine's sockets, to destroy
  std::vector<hosts::ConnectionKey> forwarded;  // through it, for both ends to be reset
};

// From the established TCP sockets and the conntrack table: connections to port 80 or 443 that
// carry none of our marks. A socket counts whether or not conntrack tracks it (nothing tracked
// connections before our chains needed it); with forward, so does a tracked connection that
// passes through (neither end local) and is not closing. Connections to this machine's own
// addresses (its servers, loopback) are never among them.
UnjudgedConnections unjudgedWebConnections(const std::vector<hosts::ConnectionKey>& sockets,
                                           const std::vector<ConntrackEntry>& table,
                                           const std::vector<hosts::IpAddress>& local,
                                           bool forward);

// found (from now) with the connections that were unjudged before our chains went in and are
// still open in sockets or table, unless dropped since. Once the chains are in, the next packet
// of such a connection is taken in mid-stream and marked (without a name) before a sweep can
// find it unmarked; what was unjudged before the chains stays so.
UnjudgedConnections withEarlier(UnjudgedConnections found, const UnjudgedConnections& earlier,
                                const std::vector<hosts::ConnectionKey>& sockets,
                                const std::vector<ConntrackEntry>& table);

}  // namespace quillnest::linuxhost
