// Ends local TCP sockets from outside through sock_diag (SOCK_DESTROY): the owning process sees
// ECONNABORTED at once, and an established socket sends its peer a reset.
#pragma once

#include <mutex>
#include <string>

#include "hosts/common/packet.h"

namespace quillnest::linuxhost {

class SocketDestroyer {
 public:
  SocketDestroyer();
  ~SocketDestroyer();
  SocketDestroyer(const SocketDestroyer&) = delete;
  SocketDestroyer& operator=(const SocketDestroyer&) = delete;

  enum class Result { destroyed, notFound, failed };
  // The socket whose local end is key.local:localPort and remote end key.remote:remotePort.
  // Only TCP keys are looked at (others answer notFound). error says why on failed.
  Result destroy(const hosts::ConnectionKey& key, std::string* error = nullptr);

 private:
  std::mutex mutex_;
  int fd_ = -1;
  unsigned sequence_ = 0;
};

}  // namespace quillnest::linuxhost
