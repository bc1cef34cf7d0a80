// What `check` tells about a rules file: whether it loads as the filter loads it, which entries
// can never match a host name on the wire (the filter stores entries exactly as written), and
// which add nothing because another entry covers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillnest::linuxhost {

struct EntryProblem {
  std::size_t index = 0;  // position in "domains"
  std::size_t line = 0;   // 1-based line of the entry in the file; 0 when unknown
  std::string entry;
  std::string reason;
  bool redundant = false;  // it could match, but another entry covers all it would
};

struct RulesCheck {
  bool loads = false;
  std::string error;  // why it does not load
  bool isEnabled = false;
  std::size_t entryCount = 0;
  std::vector<EntryProblem> problems;
};

// readablePastEnd: bytes after json that may be read (the rules-file reader leaves padding), so
// the text is decoded where it lies.
RulesCheck checkRules(std::span<const std::uint8_t> json, std::size_t readablePastEnd = 0);

// The 1-based line of every element of the top-level "domains" array, in order; empty when the
// text does not load.
std::vector<std::uint32_t> domainEntryLines(std::string_view json);
// The 1-based line of each offset into json, the offsets ascending (as the decoder gives the
// entries' offsets).
std::vector<std::uint32_t> linesAt(std::string_view json, std::vector<std::uint32_t> offsets);

// Why entry can never match a name a flow carries (several reasons joined by "; "), or empty.
// Duplicates and covered entries are judged by the caller.
std::string entryProblem(std::string_view entry);

}  // namespace quillnest::linuxhost
