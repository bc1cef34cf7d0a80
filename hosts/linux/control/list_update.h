// `update`: the blocklists named in a sources file, fetched, imported together and written as
// the rules file, without ever losing a list that once came in.
//
// Sources file: one list a line, "LOCATION [FORMAT]", "#" comments. LOCATION is a path or an
// http:// or https:// URL; FORMAT one of guess (the default), hosts, plain, adblock, dnsmasq.
//
// Each source that is read, and yields at least one name, replaces its copy in the cache
// directory. A source that fails (or yields no name: an error page, a captive portal) is taken
// from its last good copy, and the run says so; a source that never was read stops the run
// before the rules file is touched, since writing without it would shrink the list. The rules
// file is replaced atomically, and only when its text changes, so the daemon reloads only for
// a real change.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/linux/control/blocklist_import.h"

namespace quillnest::linuxhost {

struct ListSource {
  std::string location;
  ListFormat format = ListFormat::guess;
  std::size_t line = 0;
};

// None, with error naming the line, for a line that is not "LOCATION [FORMAT]".
std::optional<std::vector<ListSource>> parseSources(std::string_view text, std::string& error);

bool isUrl(std::string_view location);

// The cache file of a location: a stable hash of it, so two locations never share a copy.
std::filesystem::path cachePath(const std::filesystem::path& cacheDirectory,
                                std::string_view location);

// Fetches one location into text; an empty string on success, else why not.
using ListFetcher = std::function<std::string(const ListSource&, std::string& text)>;

struct UpdateOptions {
  std::filesystem::path sources;
  std::filesystem::path rules;
  std::filesystem::path cache;
  // The sources file and the lists it names by path decide the rules as the rules file does:
  // they are used only when no one but this user and root can change them.
  uid_t trustedOwner = 0;
};

struct UpdateOutcome {
  bool written = false;             // the rules file was replaced
  bool unchanged = false;           // every list read, same text as before
  std::vector<std::string> failed;  // "LOCATION: why" for each source that failed
  std::optional<ImportResult> imported;
};

// The whole run; messages for people go to err. The exit status: 0 when every source was read,
// 1 otherwise (the rules may still have been written from last good copies).
int runUpdate(const UpdateOptions& options, const ListFetcher& fetch, std::ostream& err,
              UpdateOutcome* outcome = nullptr);

// Paths are read from disk, URLs with libcurl (redirects followed, HTTP errors are failures,
// at most 64 MiB, 120 s).
std::string fetchList(const ListSource& source, std::string& text);

}  // namespace quillnest::linuxhost
