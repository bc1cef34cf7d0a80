#include "hosts/linux/control/file_safety.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace quillnest::linuxhost {
namespace {

std::string modeText(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

std::optional<std::string> ownerProblem(uid_t owner, const std::string& what, uid_t trustedOwner,
                                        bool rootToo) {
  if (owner == trustedOwner || (rootToo && owner == 0)) return std::nullopt;
  return what + " is owned by uid " + std::to_string(owner) + ", not " +
         (trustedOwner == 0 ? std::string("root")
                            : "uid " + std::to_string(trustedOwner) + (rootToo ? " or root" : ""));
}

std::optional<std::string> writersProblem(mode_t mode, const std::string& what) {
  if ((mode & (S_IWGRP | S_IWOTH)) == 0) return std::nullopt;
  return what + " is writable by " + ((mode & S_IWOTH) ? "everyone" : "its group") + " (mode " +
         modeText(mode) + ")";
}

std::optional<std::string> judge(const struct stat& st, const std::string& what, uid_t trustedOwner,
                                 bool rootToo = false) {
  if (auto problem = ownerProblem(st.st_uid, what, trustedOwner, rootToo)) return problem;
  return writersProblem(st.st_mode, what);
}

// Whoever may write a directory above another may move that one away and put one of their own in
// its place, so every directory the kernel passes through on its way to directory counts, those
// holding links on the way included. Root's are as good as trustedOwner's. One that others may
// write is safe when it is sticky and what it holds on the way is trusted: others can then neither
// move nor remove that. directory itself is the caller's to judge.
std::optional<std::string> directoriesAboveProblem(const std::filesystem::path& directory,
                                                   const std::string& below, uid_t trustedOwner) {
  constexpr int kMaxLinks = 40;  // as the kernel follows
  std::error_code error;
  const std::filesystem::path absolute = std::filesystem::absolute(directory, error);
  if (error) return std::nullopt;
  std::vector<std::filesystem::path> rest(absolute.begin(), absolute.end());
  std::reverse(rest.begin(), rest.end());  // the next name last
  std::filesystem::path at;
  struct stat atStat {};
  const auto enter = [&](std::filesystem::path to) {
    at = std::move(to);
    return ::stat(at.c_str(), &atStat) == 0;
  };
  if (!enter("/")) return std::nullopt;
  int links = 0;
  while (!rest.empty()) {
    const std::filesystem::path name = std::move(rest.back());
    rest.pop_back();
    if (name.empty() || name == "/" || name == ".") continue;
    if (name == "..") {
      if (!enter(at.parent_path())) return std::nullopt;  // at has no links in it
      continue;
    }
    const std::filesystem::path next = at / name;
    struct stat st {};
    if (::lstat(next.c_str(), &st) != 0) return std::nullopt;  // nothing there to replace
    const std::string holder = "directory " + at.string() + " (above " + below + ")";
    if (auto problem = ownerProblem(atStat.st_uid, holder, trustedOwner, true)) return problem;
    if (auto problem = writersProblem(atStat.st_mode, holder)) {
      if ((atStat.st_mode & S_ISVTX) == 0) return problem;
      const std::string entry =
          (S_ISLNK(st.st_mode) ? "link " : "directory ") + next.string() + " (above " + below + ")";
      if (auto owner = ownerProblem(st.st_uid, entry, trustedOwner, true)) {
        return *owner + ", in " + at.string() + ", which " +
               ((atStat.st_mode & S_IWOTH) != 0 ? "everyone" : "its group") + " may write (mode " +
               modeText(atStat.st_mode) + ")";
      }
    }
    if (S_ISLNK(st.st_mode)) {
      if (++links > kMaxLinks) return std::nullopt;  // the open fails the same way
      const std::filesystem::path to = std::filesystem::read_symlink(next, error);
      if (error) return std::nullopt;
      const std::vector<std::filesystem::path> parts(to.begin(), to.end());
      rest.insert(rest.end(), parts.rbegin(), parts.rend());
      if (to.is_absolute() && !enter("/")) return std::nullopt;
      continue;
    }
    if (!S_ISDIR(st.st_mode)) return std::nullopt;
    at = next;
    atStat = st;
  }
  return std::nullopt;
}

// The directory that holds a file (what names it), and every directory above it.
std::optional<std::string> holderProblem(const std::filesystem::path& directory,
                                         const std::string& what, const std::string& file,
                                         uid_t trustedOwner, bool rootToo) {
  if (auto problem = directoriesAboveProblem(directory, file, trustedOwner)) return problem;
  struct stat st {};
  if (::stat(directory.c_str(), &st) != 0) return std::nullopt;
  return judge(st, what, trustedOwner, rootToo);
}

// Whoever may write a directory a link leads into may replace the file there, or the next link.
std::optional<std::string> linkedDirectoriesProblem(const std::filesystem::path& path,
                                                    uid_t trustedOwner, bool rootToo = false) {
  std::filesystem::path from = path;
  for (const auto& to : linkChain(path)) {
    const auto directory = directoryOf(to);
    if (auto problem = holderProblem(
            directory, "directory " + directory.string() + " (where " + from.string() + " leads)",
            to.string(), trustedOwner, rootToo)) {
      return problem;
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
  const auto directory = directoryOf(path);
  if (auto problem = holderProblem(directory, "directory " + directory.string(), path.string(),
                                   trustedOwner, rootToo)) {
    return problem;
  }
  if (auto problem = linkedDirectoriesProblem(path, trustedOwner, rootToo)) return problem;
  struct stat st {};
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
  if (auto problem = holderProblem(directory, "directory " + directory.string(), shownAs.string(),
                                   trustedOwner, false)) {
    return problem;
  }
  return linkedDirectoriesProblem(shownAs, trustedOwner);
}

}  // namespace quillnest::linuxhost
