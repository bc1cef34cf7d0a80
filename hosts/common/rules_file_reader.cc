#include "hosts/common/rules_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "rules/filter_rules.h"
#include "rules/large_buffer.h"

namespace quillnest {
namespace {

RulesFileBytes failed(int error, std::string problem) {
  return RulesFileBytes{std::nullopt, error, std::move(problem)};
}

std::string cannotRead(const std::filesystem::path& path, int error) {
  return "cannot read " + path.string() + ": " + std::strerror(error);
}

// Reads [from, to) of the file into buffer at the same offsets; the bytes read, or -errno.
ssize_t readRange(int fd, std::uint8_t* buffer, std::size_t from, std::size_t to) {
  std::size_t at = from;
  while (at < to) {
    const ssize_t n = ::pread(fd, buffer + at, to - at, static_cast<off_t>(at));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -errno;
    if (n == 0) break;
    at += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(at - from);
}

// A big file is read in two halves on two cores: fresh memory costs as much as the copy, and
// both halve. The second half's pages are made while the first is zeroed.
constexpr std::size_t kReadInHalvesFrom = 8u << 20;

// Sizes bytes to the announced size plus the padding, within the capacity already reserved (the
// second half's pages are made before the resize, so it must not move), and fills it from the
// file's start; the bytes read (fewer if the file shrank), or -errno.
ssize_t readAnnounced(int fd, Bytes& bytes, std::size_t announced) {
  const std::size_t half = announced / 2 & ~std::size_t{4095};
  if (announced < kReadInHalvesFrom) {
    bytes.resize(announced + kJsonReadPadding);
    return readRange(fd, bytes.data(), 0, announced);
  }
  {
    const PagesMadeAhead secondHalf(bytes.data() + half, announced - half);
    bytes.resize(announced + kJsonReadPadding);
  }
  std::thread second;
  ssize_t secondRead = 0;
  try {
    second = std::thread([&] { secondRead = readRange(fd, bytes.data(), half, announced); });
  } catch (const std::system_error&) {
    return readRange(fd, bytes.data(), 0, announced);
  }
  const ssize_t firstRead = readRange(fd, bytes.data(), 0, half);
  second.join();
  if (firstRead < 0) return firstRead;
  if (static_cast<std::size_t>(firstRead) < half) return firstRead;  // it shrank
  if (secondRead < 0) return secondRead;
  return static_cast<ssize_t>(half) + secondRead;
}

}  // namespace

RulesFileBytes readRulesFileBytes(const std::filesystem::path& path, std::size_t maximumSize) {
  // O_NONBLOCK: a FIFO put where the file should be must not hang the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    const int error = errno;
    return failed(error, cannotRead(path, error));
  }
  RulesFileBytes read = readRulesFileBytes(fd, path, maximumSize);
  ::close(fd);
  return read;
}

RulesFileBytes readRulesFileBytes(int fd, const std::filesystem::path& path,
                                  std::size_t maximumSize, std::size_t spare) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    return failed(error, cannotRead(path, error));
  }
  if (S_ISDIR(st.st_mode))
    return failed(EISDIR, path.string() + " is a directory, not a regular file");
  if (!S_ISREG(st.st_mode)) return failed(EINVAL, path.string() + " is not a regular file");
  const auto tooLarge = [&] {
    return failed(EFBIG, path.string() + " is larger than " + std::to_string(maximumSize) +
                             " bytes, the most a rules file may hold");
  };
  if (static_cast<std::uint64_t>(st.st_size) > maximumSize) return tooLarge();

  // One buffer of the announced size and the padding, zeroed; a file that grows while it is
  // read is still read to its end, within the limit.
  Bytes bytes;
  const auto announced = static_cast<std::size_t>(st.st_size);
  bytes.reserve(announced + kJsonReadPadding + spare);
  adviseHugePages(bytes.data(), bytes.capacity());
  const ssize_t first = readAnnounced(fd, bytes, announced);
  if (first < 0)
    return failed(static_cast<int>(-first), cannotRead(path, static_cast<int>(-first)));
  auto size = static_cast<std::size_t>(first);
  for (;;) {
    const std::size_t space = bytes.size() - kJsonReadPadding - size;
    std::uint8_t probe[4096];
    // At the announced end a small read tells whether there is more before the buffer grows.
    std::uint8_t* const into = space == 0 ? probe : bytes.data() + size;
    const ssize_t n =
        ::pread(fd, into, space == 0 ? sizeof probe : space, static_cast<off_t>(size));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      return failed(error, cannotRead(path, error));
    }
    if (n == 0) break;
    const auto count = static_cast<std::size_t>(n);
    if (size + count > maximumSize) return tooLarge();
    if (into == probe) {
      bytes.resize(std::min(std::max(bytes.size() * 2, size + count + kJsonReadPadding),
                            maximumSize + kJsonReadPadding));
      std::memcpy(bytes.data() + size, probe, count);
    }
    size += count;
  }
  // The bytes past the text stay allocated, and zero, as the decoder's padding.
  bytes.resize(size);
  return RulesFileBytes{std::move(bytes), 0, {}};
}

}  // namespace quillnest
