// The conntrack side: connection-end events for the flow engine, and setting a live
// connection's mark (a rules change drops a connection the kernel already lets through).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hosts/common/packet.h"

struct nfct_handle;
struct nf_conntrack;

namespace quillnest::linuxhost {

// What one conntrack event says about a connection of ours.
struct ConntrackEvent {
  enum class Kind { destroyed, closing };
  Kind kind = Kind::destroyed;
  hosts::ConnectionKey key;  // original direction: local = the side that opened it
  std::uint32_t mark = 0;
};

// Reads a conntrack object's original tuple; nothing for other than TCP/UDP over IPv4/IPv6.
std::optional<hosts::ConnectionKey> connectionKeyOf(const nf_conntrack* ct);

// TCP states (conntrack's numbering) after which the connection carries no more data.
bool isClosingTcpState(std::uint8_t state);

// A socket filter for conntrack event messages: passes destroy events and TCP updates into a
// closing state, of connections that carry one of our marks (what ConntrackEvents acts on).
// Empty on success, else why it could not be attached.
std::string attachEventFilter(int fd);

// Listens for destroy events and for TCP updates into TIME_WAIT/CLOSE, on the thread that calls
// run(). Connections without one of our marks are skipped.
class ConntrackEvents {
 public:
  using Handler = std::function<void(const ConntrackEvent&)>;
  ConntrackEvents() = default;
  ~ConntrackEvents();
  ConntrackEvents(const ConntrackEvents&) = delete;
  ConntrackEvents& operator=(const ConntrackEvents&) = delete;

  // Empty on success, else why not.
  std::string open();
  // Until stop is set (checked at least every 200 ms). lostEvents counts buffer overruns.
  void run(const std::atomic<bool>& stop, const Handler& handler,
           const std::function<void(const std::string&)>& warn);
  // Why the kernel does not filter the events for us (empty when it does).
  const std::string& filterError() const { return filterError_; }

 private:
  nfct_handle* handle_ = nullptr;
  std::string filterError_;
};

// One TCP connection in the table, as a dump gives it.
struct ConntrackEntry {
  hosts::ConnectionKey key;  // original direction
  std::uint32_t mark = 0;
  std::uint8_t tcpState = 0;  // conntrack's numbering
};
// Every TCP connection of both families in this network namespace's table. Empty with error set
// when the table cannot be read.
std::vector<ConntrackEntry> tcpConnections(std::string* error);

// A connection's two tuples, each as a key whose local end is the tuple's source. Under NAT
// they name different addresses: each end knows the connection by its own.
struct ConntrackTuples {
  hosts::ConnectionKey original;  // local = the client, remote = the address it connected to
  hosts::ConnectionKey reply;     // local = the server, remote = whom it answers
};

// Sets a connection's mark (ours only, other bits cleared) by its original tuple, and looks a
// connection up.
class ConntrackMarker {
 public:
  ConntrackMarker() = default;
  ~ConntrackMarker();
  ConntrackMarker(const ConntrackMarker&) = delete;
  ConntrackMarker& operator=(const ConntrackMarker&) = delete;

  std::string open();
  // False (with error) when the connection is not in the table or the update failed.
  bool setMark(const hosts::ConnectionKey& key, std::uint32_t value, std::string* error = nullptr);
  // Both tuples of the connection a forwarded packet showed as key; none when it is not in
  // the table.
  std::optional<ConntrackTuples> tuples(const hosts::ConnectionKey& key);

 private:
  std::mutex mutex_;
  nfct_handle* handle_ = nullptr;
};

}  // namespace quillnest::linuxhost
