// One daemon per runtime directory: an exclusive flock(2) on its lock file, held for the daemon's
// life. The kernel drops the lock when the process ends, however it ends, so the file a crashed
// daemon leaves behind blocks nothing.
#pragma once

#include <filesystem>
#include <string>

#include "hosts/linux/control/unix_socket.h"

namespace quillnest::linuxhost {

class InstanceLock {
 public:
  // Creates the directory (mode 0750) if it is missing, then takes the lock without waiting and
  // writes this process's pid into the file. Empty on success; otherwise why not, starting with
  // "already running (pid N)" when another process holds it.
  std::string acquire(const std::filesystem::path& runtimeDirectory);
  bool held() const { return static_cast<bool>(fd_); }

 private:
  UniqueFd fd_;
};

}  // namespace quillnest::linuxhost
