// Turns the blocklists people have into the domain list of a rules file: hosts files
// ("0.0.0.0 name", "127.0.0.1 name", "::1 name", several names a line, "#" comments), plain
// one-domain-per-line lists, and Adblock "||name^" lines. Line ends may be CRLF.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillnest::linuxhost {

struct ImportResult {
  std::vector<std::string> domains;  // normalised, unique, in order of first appearance
  std::size_t lines = 0;
  std::map<std::string, std::size_t> skipped;  // reason -> count
  std::size_t skippedTotal() const;
};

ImportResult importBlocklist(std::string_view text);

// The rules file for the imported domains: enabled, normalised, one entry per line (so `check`
// can name lines), ending with a newline.
std::string rulesFileText(const std::vector<std::string>& domains);

// Reasons, as counted in ImportResult::skipped.
inline constexpr std::string_view kSkipLocalhost = "localhost entry";
inline constexpr std::string_view kSkipInvalid = "not a valid host name";
inline constexpr std::string_view kSkipAddress = "an address, not a name";
inline constexpr std::string_view kSkipSingleLabel =
    "single label (would block a top-level domain)";
inline constexpr std::string_view kSkipRealAddress = "hosts line mapping a name to a real address";
inline constexpr std::string_view kSkipAdblock = "Adblock rule that is not \"||name^\"";
inline constexpr std::string_view kSkipDuplicate = "duplicate";

}  // namespace quillnest::linuxhost
