#include "hosts/linux/control/file_safety.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace quillnest::linuxhost {
namespace {

std::optional<std::string> judge(const struct stat& st, const std::string& what, uid_t trustedOwner,
                                 bool rootToo = false) {
  if (st.st_uid != trustedOwner && !(rootToo && st.st_uid == 0)) {
    return what + " is owned by uid " + std::to_string(st.st_uid) + ", not " +
           (trustedOwner == 0
                ? std::string("root")
                : "uid " + std::to_string(trustedOwner) + (rootToo ? " or root" : ""));
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return what + " is writable by " + ((st.st_mode & S_IWOTH) ? "everyone" : "its group") +
           " (mode " + mode + ")";
  }
  return std::nullopt;
}

// Whoever may write a directory a link leads into may replace the file there, or the next link.
std::optional<std::string> linkedDirectoriesProblem(const std::filesystem::path& path,
                                                    uid_t trustedOwner, bool rootToo = false) {
  std::filesystem::path from = path;
  for (const auto& to : linkChain(path)) {
    struct stat st {};
    const auto directory = directoryOf(to);
    if (::stat(directory.c_str(), &st) == 0) {
      if (auto problem =
              judge(st, "directory " + directory.string() + " (where " + from.string() + " leads)",
                    trustedOwner, rootToo)) {
        return problem;
      }
    }
    from = to;
  }
  return std::nullopt;
}

}  // namespace

std::filesystem::path directoryOf(const std::filesystem::path& path) {
  auto parent = path.parent_path();
  return parent.empty() ? std::filesystem::path(".") : parent;
}

std::vector<std::filesystem::path> linkChain(const std::filesystem::path& path) {
  constexpr std::size_t kMaxHops = 40;
  std::vector<std::filesystem::path> chain;
  std::filesystem::path at = path;
  std::error_code error;
  while (chain.size() < kMaxHops && std::filesystem::is_symlink(at, error)) {
    std::filesystem::path to = std::filesystem::read_symlink(at, error);
    if (error) break;
    if (to.is_relative()) to = directoryOf(at) / to;
    chain.push_back(to);
    at = std::move(to);
  }
  return chain;
}

std::optional<std::string> writableByOthers(const std::filesystem::path& path, uid_t trustedOwner,
                                            bool rootToo) {
  struct stat st {};
  const auto directory = directoryOf(path);
  if (::stat(directory.c_str(), &st) == 0) {
    if (auto problem = judge(st, "directory " + directory.string(), trustedOwner, rootToo)) {
      return problem;
    }
  }
  if (auto problem = linkedDirectoriesProblem(path, trustedOwner, rootToo)) return problem;
  if (::stat(path.c_str(), &st) == 0) {
    return judge(st, "file " + path.string(), trustedOwner, rootToo);
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
    if (auto problem = judge(st, "directory " + directory.string(), trustedOwner)) return problem;
  }
  return linkedDirectoriesProblem(shownAs, trustedOwner);
}

}  // namespace quillnest::linuxhost
