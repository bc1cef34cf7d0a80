#include "inspection/server_name.h"

#include <string_view>
#include <vector>

#include "host/byte_cursor.h"
#include "rules/normalization.h"

namespace quillnest {
namespace {

constexpr std::uint8_t kContentTypeHandshake = 22;
constexpr std::uint8_t kHandshakeTypeClientHello = 1;
constexpr std::uint16_t kExtensionServerName = 0;
constexpr std::uint8_t kNameTypeHostName = 0;
constexpr std::size_t kRecordHeaderLength = 5;
constexpr std::size_t kHandshakeHeaderLength = 4;
// Handshake type, length, legacy_version and random come before the session-id length byte.
constexpr std::size_t kBytesBeforeSessionId = 38;

// Past this the reader would ask for more than the provider is willing to hold.
ServerNameResult needMoreOrUnavailable(std::size_t total) {
  if (total <= kMaxServerNameTotal) return ServerNameResult::needMore(total);
  return ServerNameResult::unavailable();
}

constexpr bool isContinuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Well-formed UTF-8 as RFC 3629 tabulates it: no overlong forms, no surrogates, nothing above
// U+10FFFF. The second byte's range depends on the lead byte; the rest are plain continuations.
bool isWellFormedUtf8(std::span<const std::uint8_t> bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const std::uint8_t lead = bytes[i];
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80;
    std::uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (n - i < length) return false;
    if (bytes[i + 1] < low || bytes[i + 1] > high) return false;
    for (std::size_t k = 2; k < length; ++k) {
      if (!isContinuation(bytes[i + k])) return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

ServerNameResult extractServerName(std::span<const std::uint8_t> bytes) {
  const std::size_t n = bytes.size();
  if (n < kRecordHeaderLength) return ServerNameResult::needMore(kRecordHeaderLength);

  ByteCursor input(bytes);
  // A message inside its first record is read in place; only one spread over several records is
  // copied, once, into `gathered`.
  std::span<const std::uint8_t> handshake;
  std::vector<std::uint8_t> gathered;
  bool firstRecord = true;

  for (;;) {
    const std::size_t recordStart = n - input.size();
    const std::size_t headerEnd = recordStart + kRecordHeaderLength;
    std::uint8_t contentType = 0;
    std::uint16_t fragmentLength = 0;
    if (!input.readU8(contentType)) return needMoreOrUnavailable(headerEnd);
    // The record-layer version is not looked at: clients send 0x0301 and 0x0303 alike.
    if (input.size() < 4) return needMoreOrUnavailable(headerEnd);
    if (contentType != kContentTypeHandshake) return ServerNameResult::unavailable();
    input.skip(2);
    input.readU16(fragmentLength);

    const std::size_t recordEnd = headerEnd + fragmentLength;
    ByteCursor fragment;
    if (!input.readBytes(fragmentLength, fragment)) return needMoreOrUnavailable(recordEnd);

    if (firstRecord) {
      handshake = fragment.span();
      firstRecord = false;
    } else {
      if (gathered.empty()) {
        // Every later fragment lies within what is left of the input: one allocation suffices.
        gathered.reserve(handshake.size() + fragment.size() + input.size());
        gathered.assign(handshake.begin(), handshake.end());
      }
      gathered.insert(gathered.end(), fragment.span().begin(), fragment.span().end());
      handshake = gathered;
    }

    ByteCursor header(handshake);
    std::uint8_t handshakeType = 0;
    std::uint32_t bodyLength = 0;
    if (header.size() >= kHandshakeHeaderLength) {
      header.readU8(handshakeType);
      header.readU24(bodyLength);
      if (handshakeType != kHandshakeTypeClientHello) return ServerNameResult::unavailable();
      const std::size_t messageEnd = std::size_t{bodyLength} + kHandshakeHeaderLength;
      if (handshake.size() >= messageEnd) return parseClientHello(handshake.first(messageEnd));
    }

    if (input.empty()) return needMoreOrUnavailable(recordEnd + kRecordHeaderLength);
  }
}

ServerNameResult parseClientHello(std::span<const std::uint8_t> message) {
  ByteCursor m(message);
  std::uint8_t sessionIdLength = 0;
  // The message must reach the session-id length byte.
  if (!m.skip(kBytesBeforeSessionId) || !m.readU8(sessionIdLength)) {
    return ServerNameResult::unavailable();
  }
  // The session id and both bytes of the cipher-suites length must be present.
  std::uint16_t cipherSuitesLength = 0;
  if (!m.skip(sessionIdLength) || !m.readU16(cipherSuitesLength)) {
    return ServerNameResult::unavailable();
  }
  // The compression-methods length byte must follow the cipher suites.
  std::uint8_t compressionMethodsLength = 0;
  if (!m.skip(cipherSuitesLength) || !m.readU8(compressionMethodsLength)) {
    return ServerNameResult::unavailable();
  }
  // Without a whole extensions block there is nothing to read a name from.
  ByteCursor extensions;
  if (!m.skip(compressionMethodsLength) || !m.readU16LengthPrefixed(extensions)) {
    return ServerNameResult::unavailable();
  }

  for (;;) {
    std::uint16_t type = 0;
    ByteCursor data;
    // Also how a block without a server_name extension ends.
    if (extensions.size() < 4) return ServerNameResult::unavailable();
    extensions.readU16(type);
    if (!extensions.readU16LengthPrefixed(data)) return ServerNameResult::unavailable();
    // The first server_name extension decides, even if a later one would name a server.
    if (type == kExtensionServerName) return parseServerNameList(data.span());
  }
}

ServerNameResult parseServerNameList(std::span<const std::uint8_t> extensionData) {
  ByteCursor e(extensionData);
  ByteCursor list;
  // A list shorter than one entry header cannot hold a name.
  if (!e.readU16LengthPrefixed(list) || list.size() < 3) return ServerNameResult::unavailable();

  for (;;) {
    std::uint8_t nameType = 0;
    ByteCursor name;
    list.readU8(nameType);
    if (!list.readU16LengthPrefixed(name)) return ServerNameResult::unavailable();
    if (nameType == kNameTypeHostName && isWellFormedUtf8(name.span())) {
      const std::string_view text(reinterpret_cast<const char*>(name.data()), name.size());
      return ServerNameResult::found(normalizedServerName(text));
    }
    // Another name type or a name that is not text: a later entry may still serve.
    if (list.size() < 3) return ServerNameResult::unavailable();
  }
}

}  // namespace quillnest
