// Host-name normalisation and the address-literal test. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillnest {

// Trims white space and line breaks at both ends, lower-cases, removes every trailing ".".
// None when nothing is left.
std::optional<std::string> normalizedHost(std::string_view name);

// normalizedHost of each entry, blanks dropped, duplicates removed, sorted ascending.
std::vector<std::string> normalizedDomains(const std::vector<std::string>& list);

// True for IPv4 dotted-quad and IPv6 texts, allowing surrounding brackets and a "%zone".
bool isIPAddressLiteral(std::string_view name);

// Lower-cases and removes every trailing "."; trims nothing; may be empty.
std::string normalizedServerName(std::string_view name);

}  // namespace quillnest
