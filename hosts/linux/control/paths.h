// Where the Linux daemon keeps its files unless told otherwise.
#pragma once

#include <string_view>

namespace quillnest::linuxhost {

inline constexpr std::string_view kDefaultRulesFile = "/etc/quillnest/filter-rules.json";
// `update`: the lists to fetch, and the last good copy of each.
inline constexpr std::string_view kDefaultSourcesFile = "/etc/quillnest/sources.list";
inline constexpr std::string_view kDefaultListCache = "/var/lib/quillnest/lists";
// Created 0750 root:root: only root (and members of group root) reach the sockets in it.
inline constexpr std::string_view kDefaultRuntimeDirectory = "/run/quillnest";
inline constexpr std::string_view kNotifySocketName = "notify.sock";
inline constexpr std::string_view kControlSocketName = "control.sock";
// Held with flock(2) by the running daemon; holds its pid.
inline constexpr std::string_view kLockFileName = "run.lock";

}  // namespace quillnest::linuxhost
