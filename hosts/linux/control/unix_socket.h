// Small helpers for the daemon's local stream sockets.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>

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

// Creates directory (and missing parents) with mode if missing; tightens the mode of an existing
// one. Throws std::system_error.
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

}  // namespace quillnest::linuxhost
