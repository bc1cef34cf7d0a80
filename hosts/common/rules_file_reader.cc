#include "hosts/common/rules_file_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

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
  bytes.reserve(static_cast<std::size_t>(st.st_size) + kJsonReadPadding + spare);
  adviseHugePages(bytes.data(), bytes.capacity());
  bytes.resize(static_cast<std::size_t>(st.st_size) + kJsonReadPadding);
  std::size_t size = 0;
  for (;;) {
    const std::size_t space = bytes.size() - kJsonReadPadding - size;
    std::uint8_t probe[4096];
    // At the announced end a small read tells whether there is more before the buffer grows.
    std::uint8_t* const into = space == 0 ? probe : bytes.data() + size;
    const ssize_t n = ::read(fd, into, space == 0 ? sizeof probe : space);
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
