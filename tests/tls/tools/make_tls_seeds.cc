// Writes ClientHello first flights, real and hand-made, one file each, as a fuzzing seed corpus.
//   make_tls_seeds <directory>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/client_hello.h"

using namespace quillnest::testing;

namespace {

struct Seed {
  std::string name;
  Bytes bytes;
};

std::vector<Seed> seeds() {
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
  ClientHelloOptions share;
  share.serverName = "Share.Example.";
  share.groups = "ffdhe2048:X25519";
  out.push_back({"tls13-ffdhe2048", generateClientHello(share)});

  ClientHelloParts parts;
  parts.sessionId = Bytes(32, 0x33);
  parts.extensions = concat({extension(10, {0, 2, 0, 0x1D}),
                             extension(0, serverNameList({serverNameEntry(1, bytesOf("x")),
                                                          serverNameEntry(0, {0xC3, 0x28}),
                                                          serverNameEntry(0, bytesOf("a.b"))}))});
  const Bytes message = clientHelloMessage(parts);
  out.push_back({"handmade-entries", handshakeRecords(message)});
  out.push_back({"handmade-records-16", handshakeRecords(message, 16)});
  out.push_back({"handmade-empty-name", handshakeRecords(clientHelloMessage([] {
                   ClientHelloParts p;
                   p.extensions = extension(0, {0, 3, 0, 0, 0});
                   return p;
                 }()))});
  out.push_back({"header-only", {22, 3, 1, 2, 0}});
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: make_tls_seeds <directory>\n";
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  const std::vector<Seed> all = seeds();
  for (const Seed& seed : all) {
    std::ofstream file(directory / (seed.name + ".bin"), std::ios::binary);
    file.write(reinterpret_cast<const char*>(seed.bytes.data()),
               static_cast<std::streamsize>(seed.bytes.size()));
    if (seed.bytes.empty() || !file) {
      std::cerr << (seed.bytes.empty() ? "no bytes for " : "cannot write ") << seed.name << " in "
                << directory << (error ? ": " + error.message() : "") << "\n";
      return 1;
    }
  }
  std::cout << all.size() << " seeds in " << directory.string() << "\n";
  return 0;
}
