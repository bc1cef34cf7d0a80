// Shared by the TLS reader tests and the seed writer: readable results in failure messages, short
// constructors, and the first flights of every shape the reader meets.
#pragma once

#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "inspection/server_name.h"
#include "tests/support/client_hello.h"

namespace quillnest {

inline void PrintTo(const ServerNameResult& result, std::ostream* os) {
  using K = ServerNameResult::Kind;
  if (result.kind() == K::found) *os << "found(\"" << result.hostName() << "\")";
  if (result.kind() == K::needMore) *os << "needMore(" << result.total() << ")";
  if (result.kind() == K::unavailable) *os << "unavailable";
}

namespace testing {

inline ServerNameResult found(std::string name) { return ServerNameResult::found(std::move(name)); }
inline ServerNameResult needMore(std::size_t total) { return ServerNameResult::needMore(total); }
inline ServerNameResult unavailable() { return ServerNameResult::unavailable(); }

inline ServerNameResult extract(const Bytes& bytes) {
  // A copy of exactly the input's size, so that AddressSanitizer sees any read past its end.
  const Bytes exact(bytes.begin(), bytes.end());
  return extractServerName(std::span<const std::uint8_t>(exact.data(), exact.size()));
}

inline Bytes prefix(const Bytes& bytes, std::size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

// Real and hand-made first flights: the server_name fuzzer's seed corpus (tools/make_tls_seeds)
// and the flights the literal reading is held to on every prefix and byte change.
struct Seed {
  std::string name;
  Bytes bytes;
};

inline std::vector<Seed> tlsSeeds() {
  std::vector<Seed> out;
  for (TlsVersion version : {TlsVersion::tls13, TlsVersion::tls12}) {
    const std::string v = version == TlsVersion::tls13 ? "tls13-" : "tls12-";
    ClientHelloOptions o;
    o.version = version;
    o.serverName = "www.example.com";
    out.push_back({v + "name", generateClientHello(o)});
    o.alpn = {"h2", "http/1.1"};
    o.padding = true;
    out.push_back({v + "alpn-padding", generateClientHello(o)});
    o.maxSendFragment = 512;
    o.serverName = std::string(63, 'a') + "." + std::string(63, 'b') + ".example";
    o.extraExtensions = {{0xFAFA, Bytes(600, 7)}};
    out.push_back({v + "records-512", generateClientHello(o)});
    ClientHelloOptions none;
    none.version = version;
    out.push_back({v + "no-name", generateClientHello(none)});
  }
  ClientHelloOptions share;  // a large key share cut over records
  share.serverName = "Share.Example.";
  share.groups = "ffdhe3072:X25519";
  share.maxSendFragment = 512;
  out.push_back({"tls13-ffdhe3072-records-512", generateClientHello(share)});

  ClientHelloParts parts;
  parts.sessionId = Bytes(32, 0x33);
  parts.extensions =
      concat({extension(10, {0, 2, 0, 0x1D}),
              extension(0, serverNameList({serverNameEntry(1, bytesOf("x")),
                                           serverNameEntry(0, {0xC3, 0x28}),
                                           serverNameEntry(0, bytesOf("Third.Example."))})),
              extension(43, {2, 3, 4})});
  const Bytes message = clientHelloMessage(parts);
  out.push_back({"handmade-entries", handshakeRecords(message)});
  out.push_back({"handmade-records-16", handshakeRecords(message, 16)});
  ClientHelloParts emptyName;
  emptyName.extensions = extension(0, {0, 3, 0, 0, 0});
  out.push_back({"handmade-empty-name", handshakeRecords(clientHelloMessage(emptyName))});
  out.push_back({"header-only", {22, 3, 1, 2, 0}});
  return out;
}

}  // namespace testing
}  // namespace quillnest
