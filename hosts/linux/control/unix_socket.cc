#include "hosts/linux/control/unix_socket.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace quillnest::linuxhost {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

sockaddr_un addressOf(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    fail("socket path " + text);
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  return address;
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

void ensureRuntimeDirectory(const std::filesystem::path& directory, mode_t mode) {
  std::error_code error;
  const bool created = std::filesystem::create_directories(directory, error);
  if (error) throw std::system_error(error, "creating " + directory.string());
  if (created) {
    if (::chmod(directory.c_str(), mode) != 0) fail("chmod " + directory.string());
    return;
  }
  // A directory that was there already (it may be /tmp or a home) is only ever tightened; it must
  // be this user's and closed to other writers, or another user could replace the sockets and the
  // lock.
  struct stat st {};
  if (::lstat(directory.c_str(), &st) != 0) fail("stat " + directory.string());
  if (!S_ISDIR(st.st_mode)) {
    throw std::system_error(std::make_error_code(std::errc::not_a_directory), directory.string());
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    throw std::system_error(std::make_error_code(std::errc::permission_denied),
                            directory.string() +
                                " is not a directory of this user's alone (another owner, or "
                                "writable by others): give the daemon one of its own");
  }
  const mode_t tightened = st.st_mode & mode & 07777;  // never loosened
  if (tightened != (st.st_mode & 07777) && ::chmod(directory.c_str(), tightened) != 0) {
    fail("chmod " + directory.string());
  }
}

UniqueFd listenUnix(const std::filesystem::path& path, mode_t mode, int backlog) {
  const sockaddr_un address = addressOf(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket for " + path.string());
  // A socket file left by a crash would make bind fail; only a socket is removed.
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
  // The runtime directory is root-only, so the moment before chmod exposes nothing; umask is
  // left alone because it is process-wide.
  const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (bound != 0) fail("bind " + path.string());
  if (::chmod(path.c_str(), mode) != 0) fail("chmod " + path.string());
  if (::listen(fd.get(), backlog) != 0) fail("listen " + path.string());
  return fd;
}

UniqueFd connectUnix(const std::filesystem::path& path) {
  const sockaddr_un address = addressOf(path);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!fd) fail("socket");
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    fail("connect " + path.string());
  }
  return fd;
}

bool readLine(int fd, std::string& line, std::size_t limit, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  line.clear();
  char c = 0;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    const ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0) return false;
    if (n == 0) return !line.empty();
    if (c == '\n') return true;
    if (line.size() >= limit) return false;
    line.push_back(c);
  }
}

bool writeAll(int fd, std::string_view data, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, remainingMs(deadline)) <= 0 && Clock::now() >= deadline) return false;
  }
  return true;
}

SocketServerThread::SocketServerThread(std::filesystem::path path, mode_t mode, int backlog)
    : path_(std::move(path)), listenFd_(listenUnix(path_, mode, backlog)) {
  wakeFd_ = UniqueFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!wakeFd_) fail("eventfd");
}

void SocketServerThread::start(std::function<void()> loop) {
  thread_ = std::thread(std::move(loop));
}

void SocketServerThread::stop() {
  if (stopping_.exchange(true)) return;
  wake();
  if (thread_.joinable()) thread_.join();
  ::unlink(path_.c_str());
}

void SocketServerThread::wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

void SocketServerThread::consumeWake() {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
}

void SocketServerThread::acceptPending(const std::function<void(UniqueFd)>& take) {
  while (!stopping()) {
    UniqueFd client(::accept4(listenFd_.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
    if (!client) return;
    take(std::move(client));
  }
}

}  // namespace quillnest::linuxhost
