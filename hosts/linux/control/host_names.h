// Host names as lists write them and as flows carry them: the A-label form of internationalised
// names (UTS #46 through libidn2) and what keeps a text from ever being a name on the wire.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillnest::linuxhost {

// The name as TLS and HTTP carry it. ASCII text comes back unchanged; anything else goes through
// UTS #46 processing (nontransitional, as browsers do: "ß" stays a letter of its own), which
// also lower-cases. None, with error saying why, when the name is invalid there.
std::optional<std::string> aLabelName(std::string_view name, std::string& error);

// Why a normalised ASCII name can never be a name on the wire, or empty: characters no host
// name has (":" only inside an IPv6 literal), empty labels, labels over 63 bytes, names over 253.
// Several reasons are joined by "; ".
std::string nameShapeProblem(std::string_view name);

}  // namespace quillnest::linuxhost
