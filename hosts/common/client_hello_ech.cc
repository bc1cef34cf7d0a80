#include "hosts/common/client_hello_ech.h"

#include <vector>

#include "host/byte_cursor.h"

namespace quillnest::hosts {
namespace {

constexpr std::uint8_t kHandshakeRecord = 22;
constexpr std::uint8_t kClientHello = 1;

}  // namespace

EchOffer clientHelloEchOffer(std::span<const std::uint8_t> bytes) {
  // The handshake layer, joined from consecutive handshake records until the hello is whole.
  std::vector<std::uint8_t> handshake;
  ByteCursor records(bytes);
  std::uint32_t helloLength = 0;
  bool lengthKnown = false;
  while (!lengthKnown || handshake.size() < 4 + std::size_t{helloLength}) {
    std::uint8_t type = 0;
    std::uint16_t version = 0;
    ByteCursor fragment;
    if (records.empty()) return EchOffer::needMore;
    if (!records.readU8(type) || type != kHandshakeRecord) return EchOffer::unreadable;
    if (!records.readU16(version) || !records.readU16LengthPrefixed(fragment))
      return EchOffer::needMore;
    handshake.insert(handshake.end(), fragment.data(), fragment.data() + fragment.size());
    if (!lengthKnown && handshake.size() >= 4) {
      ByteCursor header(handshake.data(), 4);
      std::uint8_t message = 0;
      if (!header.readU8(message) || message != kClientHello || !header.readU24(helloLength))
        return EchOffer::unreadable;
      lengthKnown = true;
    }
  }

  ByteCursor hello(handshake.data() + 4, helloLength);
  std::uint16_t legacyVersion = 0;
  ByteCursor sessionId, cipherSuites, compression, extensions;
  if (!hello.readU16(legacyVersion) || !hello.skip(32) || !hello.readU8LengthPrefixed(sessionId) ||
      !hello.readU16LengthPrefixed(cipherSuites) || !hello.readU8LengthPrefixed(compression))
    return EchOffer::unreadable;
  if (hello.empty()) return EchOffer::absent;  // no extensions at all
  if (!hello.readU16LengthPrefixed(extensions)) return EchOffer::unreadable;
  while (!extensions.empty()) {
    std::uint16_t type = 0;
    ByteCursor data;
    if (!extensions.readU16(type) || !extensions.readU16LengthPrefixed(data))
      return EchOffer::unreadable;
    if (type == kEncryptedClientHelloExtension) return EchOffer::present;
  }
  return EchOffer::absent;
}

}  // namespace quillnest::hosts
