#include "hosts/linux/control/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "hosts/linux/control/paths.h"

namespace quillnest::linuxhost {
namespace {

// The holder writes its pid just after locking: a reader that comes in between sees an empty file.
std::string holderPid(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  std::string pid(text, n > 0 ? static_cast<std::size_t>(n) : 0);
  while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' ')) pid.pop_back();
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return "unknown";
  return pid;
}

}  // namespace

std::string InstanceLock::acquire(const std::filesystem::path& runtimeDirectory) {
  const std::filesystem::path path = runtimeDirectory / kLockFileName;
  try {
    ensureRuntimeDirectory(runtimeDirectory, 0750);
  } catch (const std::system_error& e) {
    return std::string("cannot create the runtime directory: ") + e.what();
  }
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
  if (!fd) return "cannot open " + path.string() + ": " + std::strerror(errno);
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return "cannot lock " + path.string() + ": " + std::strerror(errno);
    return "already running (pid " + holderPid(fd.get()) + "), runtime directory " +
           runtimeDirectory.string();
  }
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd.get(), 0) != 0 ||
      ::pwrite(fd.get(), pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    return "cannot write " + path.string() + ": " + std::strerror(errno);
  }
  fd_ = std::move(fd);
  return {};
}

}  // namespace quillnest::linuxhost
