// TLS ClientHellos for tests and benchmarks: real first flights from an OpenSSL client over memory
// BIOs (no network), and hand-made messages built from parts for the cases no client sends.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillnest::testing {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text);
Bytes concat(std::initializer_list<Bytes> parts);

// ---- Real ClientHellos -------------------------------------------------------------------------

enum class TlsVersion { tls13, tls12 };

struct ClientHelloOptions {
  TlsVersion version = TlsVersion::tls13;
  // Sent as SNI when set. OpenSSL refuses names longer than 255 bytes.
  std::optional<std::string> serverName;
  // Splits the ClientHello over records of at most this many bytes (512 ... 16,384); 0 keeps
  // OpenSSL's default.
  std::size_t maxSendFragment = 0;
  std::vector<std::string> alpn;
  // OpenSSL group list; the first group gets a key share in TLS 1.3 ("ffdhe8192" makes it large).
  std::string groups;
  // Pads the ClientHello (RFC 7685) when OpenSSL's padding rule applies.
  bool padding = false;
  // Client extensions of our own, each sent with its data.
  std::vector<std::pair<std::uint16_t, Bytes>> extraExtensions;
};

// Short form for tables (designated initialisers trip -Wmissing-field-initializers here).
inline ClientHelloOptions helloOptions(TlsVersion version, std::optional<std::string> serverName,
                                       std::size_t maxSendFragment = 0) {
  ClientHelloOptions options;
  options.version = version;
  options.serverName = std::move(serverName);
  options.maxSendFragment = maxSendFragment;
  return options;
}

// The bytes a fresh client writes before it hears from the server. Fails the calling test (and
// returns nothing) when OpenSSL refuses the options.
Bytes generateClientHello(const ClientHelloOptions& options);

// What OpenSSL's own server side makes of these bytes: whether its server-name callback ran (it
// does not when the ClientHello is rejected earlier) and the name it reported there, if any.
struct OpenSslServerView {
  bool callbackRan = false;
  std::optional<std::string> serverName;
};
OpenSslServerView openSslServerView(const Bytes& firstFlight);

// ---- Hand-made ClientHellos --------------------------------------------------------------------

struct ClientHelloParts {
  std::uint16_t legacyVersion = 0x0303;
  std::array<std::uint8_t, 32> random{};
  Bytes sessionId;
  Bytes cipherSuites = {0x13, 0x01, 0x13, 0x02, 0xC0, 0x2F};
  Bytes compressionMethods = {0x00};
  // The extensions, each already framed (see extension()); no block at all when unset.
  std::optional<Bytes> extensions = Bytes{};
};

// Type, 16-bit length and data.
Bytes extension(std::uint16_t type, const Bytes& data);
// One ServerName entry: name type, 16-bit length, name bytes.
Bytes serverNameEntry(std::uint8_t nameType, const Bytes& name);
// extension_data of a server_name extension holding these entries.
Bytes serverNameList(std::initializer_list<Bytes> entries);
// A server_name extension with one host_name entry.
Bytes serverNameExtension(std::string_view hostName);

// Handshake header (type, 24-bit length) and body.
Bytes handshakeMessage(std::uint8_t type, const Bytes& body);
Bytes clientHelloMessage(const ClientHelloParts& parts);

// One TLS record with this content type and fragment.
Bytes record(std::uint8_t contentType, const Bytes& fragment, std::uint16_t version = 0x0301);
// The handshake bytes split over handshake records of at most maxFragment bytes each.
Bytes handshakeRecords(const Bytes& handshake, std::size_t maxFragment = 16384,
                       std::uint16_t version = 0x0301);

// Where each record of a flight starts and ends (end = start + 5 + fragment length), read from
// its headers; stops at the first header that does not fit.
struct RecordBounds {
  std::size_t start;
  std::size_t end;
};
std::vector<RecordBounds> recordBounds(const Bytes& flight);

}  // namespace quillnest::testing
