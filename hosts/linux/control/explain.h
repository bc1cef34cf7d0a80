// `explain NAME`: whether rules block a name, as which host the filter would judge, and which
// entries cover it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rules/filter_rules.h"

namespace quillnest::linuxhost {

// What the filter would judge for a text given as a name, "name:port", "[v6]:port", a URL or
// "name/path": the host as the HTTP Host reader takes it, Unicode turned into A-labels as clients
// send it. None, with error set, when no flow would carry such a host.
struct ReadHost {
  std::string host;                // as a flow would carry it
  std::vector<std::string> notes;  // what was dropped or converted on the way
};
std::optional<ReadHost> readHostToExplain(std::string_view input, std::string& error);

struct CoveringEntry {
  std::size_t position = 0;  // 1-based in "domains"
  std::size_t line = 0;      // 1-based line in the file; 0 when unknown
  std::string entry;
  bool builtIn = false;  // from the daemon's built-in DNS-over-HTTPS resolver names
};

struct Explanation {
  std::string input;
  std::string host;  // normalised, as matched
  bool rulesEnabled = false;
  bool matches = false;                 // FilterRules::matchesHost
  bool blocked = false;                 // enabled and matching
  std::vector<CoveringEntry> covering;  // list order; the first is the one the walk meets first
  std::vector<std::string> notes;
  std::string rulesFile;  // where the rules came from (set by the caller)
  std::vector<std::string> rulesNotes;
};

// entryLines: the line of each entry (domainEntryLines), or empty.
std::optional<Explanation> explainName(const FilterRules& rules,
                                       std::span<const std::uint32_t> entryLines,
                                       std::string_view input, std::string& error);

std::string encodeExplanation(const Explanation& explanation);  // one JSON object, one line
std::string formatExplanation(const Explanation& explanation);  // lines for people

}  // namespace quillnest::linuxhost
