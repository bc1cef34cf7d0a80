// Ends local TCP sockets from outside through sock_diag (SOCK_DESTROY): the owning process sees
// ECONNABORTED at once, and an established socket sends its peer a reset.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "hosts/common/packet.h"

namespace quillnest::linuxhost {

class SocketDestroyer {
 public:
  SocketDestroyer();
  ~SocketDestroyer();
  SocketDestroyer(const SocketDestroyer&) = delete;
  SocketDestroyer& operator=(const SocketDestroyer&) = delete;

  enum class Result { destroyed, notFound, failed };
  // The socket whose local end is key.local:localPort and remote end key.remote:remotePort (an
  // IPv4 key finds a dual-stack IPv6 socket's IPv4 connection too). Only TCP keys are looked at
  // (others answer notFound). error says why on failed.
  Result destroy(const hosts::ConnectionKey& key, std::string* error = nullptr);

 private:
  std::mutex mutex_;
  int fd_ = -1;
  unsigned sequence_ = 0;
};

// This namespace's established TCP sockets, both families; an IPv4 connection on a dual-stack
// IPv6 socket as IPv4, as conntrack knows it. Empty with error set when they cannot be read.
std::vector<hosts::ConnectionKey> establishedTcpSockets(std::string* error);

}  // namespace quillnest::linuxhost
