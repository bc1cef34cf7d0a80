#include "hosts/linux/control/file_safety.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace quillnest::linuxhost {
namespace {

std::optional<std::string> judge(const struct stat& st, const std::string& what,
                                 uid_t trustedOwner) {
  if (st.st_uid != trustedOwner) {
    return what + " is owned by uid " + std::to_string(st.st_uid) + ", not " +
           (trustedOwner == 0 ? std::string("root") : "uid " + std::to_string(trustedOwner));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return what + " is writable by " + ((st.st_mode & S_IWOTH) ? "everyone" : "its group") +
           " (mode " + mode + ")";
  }
  return std::nullopt;
}

std::filesystem::path directoryOf(const std::filesystem::path& path) {
  auto parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

}  // namespace

std::optional<std::string> writableByOthers(const std::filesystem::path& path, uid_t trustedOwner) {
  struct stat st {};
  const auto directory = directoryOf(path);
  if (::stat(directory.c_str(), &st) == 0) {
    if (auto problem = judge(st, "directory " + directory.string(), trustedOwner)) return problem;
  }
  if (::stat(path.c_str(), &st) == 0) {
    return judge(st, "file " + path.string(), trustedOwner);
  }
  return std::nullopt;
}

std::optional<std::string> writableByOthers(int fd, const std::filesystem::path& shownAs,
                                            uid_t trustedOwner) {
  struct stat st {};
  if (::fstat(fd, &st) != 0)
    return "cannot inspect " + shownAs.string() + ": " + std::strerror(errno);
  if (auto problem = judge(st, "file " + shownAs.string(), trustedOwner)) return problem;
  const auto directory = directoryOf(shownAs);
  if (::stat(directory.c_str(), &st) == 0) {
    return judge(st, "directory " + directory.string(), trustedOwner);
  }
  return std::nullopt;
}

}  // namespace quillnest::linuxhost
