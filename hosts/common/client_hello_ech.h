// Whether a TLS ClientHello carries the encrypted_client_hello extension (0xfe0d). Browsers send
// a decoy one (GREASE) with the real name outside, so this is something to count, never a
// verdict. A pure function of a flow's first outbound bytes; reads go through ByteCursor.
#pragma once

#include <cstdint>
#include <span>

namespace quillnest::hosts {

inline constexpr std::uint16_t kEncryptedClientHelloExtension = 0xfe0d;

enum class EchOffer { absent, present, needMore, unreadable };

// bytes: the outbound stream from its first byte (TLS records). A ClientHello cut over several
// handshake records is joined; needMore while the bytes end before it does.
EchOffer clientHelloEchOffer(std::span<const std::uint8_t> bytes);

}  // namespace quillnest::hosts
