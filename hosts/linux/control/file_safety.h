// The rules file decides what the whole machine may reach, so only root may be able to change it.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quillnest::linuxhost {

// The directory that holds path ("." for a bare name).
std::filesystem::path directoryOf(const std::filesystem::path& path);

// The files a symbolic link at path leads to, hop by hop (relative targets taken from the link's
// directory), ending at the first that is no link; empty when path is none. At most 40 hops, as
// the kernel follows.
std::vector<std::filesystem::path> linkChain(const std::filesystem::path& path);

// Why a non-root user could change the file at path (or replace it through its directory, or
// through the directory of a file a link at path leads to, or through a directory above either),
// or none when only trustedOwner can.
// A missing file is judged by its directory alone; a missing directory is no problem (there is
// nothing to replace). trustedOwner is root outside tests; with rootToo, root's files and
// directories are as good as trustedOwner's (for a tool any user may run on root's files).
std::optional<std::string> writableByOthers(const std::filesystem::path& path,
                                            uid_t trustedOwner = 0, bool rootToo = false);

// The same judgement for an open file (after open, so a swap between check and read is caught).
std::optional<std::string> writableByOthers(int fd, const std::filesystem::path& shownAs,
                                            uid_t trustedOwner = 0);

}  // namespace quillnest::linuxhost
