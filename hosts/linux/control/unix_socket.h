// Small helpers for the daemon's local stream sockets.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

namespace quillnest::linuxhost {

// An owned file descriptor.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1);

 private:
  int fd_ = -1;
};

// Creates directory (and missing parents) with mode if missing. An existing one must belong to this
// user and be closed to other writers; its mode loses the bits mode lacks. Throws
// std::system_error.
void ensureRuntimeDirectory(const std::filesystem::path& directory, mode_t mode);

// A listening, non-blocking stream socket at path (a stale socket file is replaced), chmod'ed to
// mode. Throws std::system_error with the path in the message.
UniqueFd listenUnix(const std::filesystem::path& path, mode_t mode, int backlog = 64);

// A blocking connection to path. Throws std::system_error with the path in the message.
UniqueFd connectUnix(const std::filesystem::path& path);

// Reads until "\n" (not included), end of stream, limit bytes or the deadline. False on timeout,
// error or overflow.
bool readLine(int fd, std::string& line, std::size_t limit, std::chrono::milliseconds timeout);

// Writes everything, waiting at most timeout in total. False on error or timeout.
bool writeAll(int fd, std::string_view data, std::chrono::milliseconds timeout);

// What every local socket server of the daemon shares: the listening socket, the thread serving
// it, and a wake-up for that thread's poll(). The owner's loop polls wakeFd() and listenFd() and
// returns once stopping() holds; stop() wakes and joins it, then removes the socket file.
class SocketServerThread {
 public:
  // Listens at path (whose directory must exist). Throws std::system_error.
  SocketServerThread(std::filesystem::path path, mode_t mode, int backlog);
  ~SocketServerThread() { stop(); }
  SocketServerThread(const SocketServerThread&) = delete;
  SocketServerThread& operator=(const SocketServerThread&) = delete;

  void start(std::function<void()> loop);
  // Idempotent; call it before anything the loop uses goes away.
  void stop();
  void wake();
  // After the wake-up fired: clears it.
  void consumeWake();
  // Hands every pending connection (non-blocking, close-on-exec) to take.
  void acceptPending(const std::function<void(UniqueFd)>& take);

  bool stopping() const { return stopping_.load(); }
  int wakeFd() const { return wakeFd_.get(); }
  int listenFd() const { return listenFd_.get(); }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  UniqueFd listenFd_;
  UniqueFd wakeFd_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace quillnest::linuxhost
