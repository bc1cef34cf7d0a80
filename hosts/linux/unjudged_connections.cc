#include "hosts/linux/unjudged_connections.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "hosts/linux/marks.h"

namespace quillnest::linuxhost {

std::vector<hosts::IpAddress> localAddresses() {
  std::vector<hosts::IpAddress> addresses;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return addresses;
  for (const ifaddrs* entry = list; entry; entry = entry->ifa_next) {
    if (!entry->ifa_addr) continue;
    hosts::IpAddress address;
    if (entry->ifa_addr->sa_family == AF_INET) {
      const auto* v4 = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
      std::memcpy(address.bytes.data(), &v4->sin_addr, 4);
    } else if (entry->ifa_addr->sa_family == AF_INET6) {
      const auto* v6 = reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr);
      address.family = hosts::IpFamily::v6;
      std::memcpy(address.bytes.data(), &v6->sin6_addr, 16);
    } else {
      continue;
    }
    addresses.push_back(address);
  }
  freeifaddrs(list);
  return addresses;
}

UnjudgedConnections unjudgedWebConnections(const std::vector<hosts::ConnectionKey>& sockets,
                                           const std::vector<ConntrackEntry>& table,
                                           const std::vector<hosts::IpAddress>& local,
                                           bool forward) {
  auto isLocal = [&local](const hosts::IpAddress& address) {
    return std::find(local.begin(), local.end(), address) != local.end();
  };
  auto isWeb = [&](const hosts::ConnectionKey& key) {
    return key.protocol == hosts::kIpProtocolTCP &&
           (key.remotePort == 80 || key.remotePort == 443) && !isLocal(key.remote);
  };
  UnjudgedConnections found;
  std::unordered_set<hosts::ConnectionKey, hosts::ConnectionKeyHash> judged;
  for (const auto& entry : table) {
    if ((entry.mark & kMarkMask) != 0) {
      judged.insert(entry.key);
    } else if (forward && isWeb(entry.key) && !isLocal(entry.key.local) &&
               !isClosingTcpState(entry.tcpState)) {
      found.forwarded.push_back(entry.key);
    }
  }
  for (const auto& key : sockets)
    if (isWeb(key) && !judged.contains(key)) found.local.push_back(key);
  return found;
}

UnjudgedConnections withEarlier(UnjudgedConnections found, const UnjudgedConnections& earlier,
                                const std::vector<hosts::ConnectionKey>& sockets,
                                const std::vector<ConntrackEntry>& table) {
  using KeySet = std::unordered_set<hosts::ConnectionKey, hosts::ConnectionKeyHash>;
  KeySet open(sockets.begin(), sockets.end());
  KeySet dropped, tracked;
  for (const auto& entry : table) {
    if (isClosingTcpState(entry.tcpState)) continue;
    tracked.insert(entry.key);
    if ((entry.mark & kMarkMask) == kMarkDropped) dropped.insert(entry.key);
  }
  auto add = [&](std::vector<hosts::ConnectionKey>& to,
                 const std::vector<hosts::ConnectionKey>& from, const KeySet& present) {
    KeySet already(to.begin(), to.end());
    for (const auto& key : from)
      if (present.contains(key) && !dropped.contains(key) && already.insert(key).second)
        to.push_back(key);
  };
  add(found.local, earlier.local, open);
  add(found.forwarded, earlier.forwarded, tracked);
  return found;
}

}  // namespace quillnest::linuxhost
