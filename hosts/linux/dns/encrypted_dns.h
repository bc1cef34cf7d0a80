// The ways a client leaves the machine's resolver for encrypted DNS, which no filter on the path
// can read: DNS over TLS or QUIC (port 853), and well-known DNS-over-HTTPS endpoints: their names,
// which the daemon adds to the blocked names it hands the filter, and their addresses. Canary and
// discovery names are answered by the answer rewriter (answer_rewriter.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host/configuration.h"
#include "hosts/common/packet.h"

namespace quillnest::linuxhost::dns {

inline constexpr std::uint16_t kEncryptedDnsPort = 853;

enum class EncryptedDns : std::uint8_t {
  none,
  port853,          // TCP or UDP to port 853
  resolverAddress,  // TCP or UDP to port 443 of a resolver's address: DNS over HTTPS by address
};
// resolverAddresses: sorted, as parseResolverAddresses gives them.
EncryptedDns encryptedDnsOf(const hosts::ParsedPacket& packet,
                            std::span<const hosts::IpAddress> resolverAddresses);

// Names of a list file: one per line, '#' starts a comment, blanks ignored, normalised. Lines
// that are addresses are not names.
std::vector<std::string> parseResolverList(std::string_view text);
// The addresses of a list file, one per line: sorted (IPv4 first), each once.
std::vector<hosts::IpAddress> parseResolverAddresses(std::string_view text);

// The list shipped in packaging/doh-resolvers.txt, built in.
const std::vector<std::string>& wellKnownResolvers();
const std::vector<hosts::IpAddress>& wellKnownResolverAddresses();

// Adds names at the end of a rules text's "domains" array, in place, when its "isEnabled" is
// true; returns how many were added. Nothing is added to rules that are off. A text that does not
// load may get names added (only its top level is read) and still does not load. Names
// the list already holds are added again (a duplicate changes no answer, and finding them would
// take a decode of the whole list); a text whose top level cannot be read without unescaping is
// decoded and written anew instead. Leave spare capacity in the bytes to spare a copy.
std::size_t addBlockedResolvers(Bytes& rulesText, const std::vector<std::string>& names);

}  // namespace quillnest::linuxhost::dns
