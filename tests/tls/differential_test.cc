// The reader against two other readings of the same bytes: the literal index-based one (every total
// and every refusal must match, on every prefix and on mutated inputs), and OpenSSL's own server
// (whenever both name a server, the names must agree).
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rules/normalization.h"
#include "tests/tls/literal_reader.h"
#include "tests/tls/tls_test_util.h"

namespace quillnest::testing {
namespace {

struct Flight {
  std::string name;
  Bytes bytes;
};

std::vector<Flight> flights() {
  std::vector<Flight> out;
  ClientHelloParts parts;
  parts.sessionId = Bytes(32, 0x42);
  parts.extensions =
      concat({extension(10, {0, 2, 0, 0x1D}),
              extension(0, serverNameList({serverNameEntry(1, bytesOf("x")),
                                           serverNameEntry(0, {0xC3, 0x28}),
                                           serverNameEntry(0, bytesOf("Third.Example."))})),
              extension(43, {2, 3, 4})});
  const Bytes message = clientHelloMessage(parts);
  out.push_back({"hand-made", handshakeRecords(message)});
  out.push_back({"hand-made in 40-byte records", handshakeRecords(message, 40)});

  ClientHelloOptions tls13;
  tls13.serverName = "www.example.com";
  tls13.alpn = {"h2", "http/1.1"};
  out.push_back({"tls13", generateClientHello(tls13)});
  ClientHelloOptions tls12 = tls13;
  tls12.version = TlsVersion::tls12;
  out.push_back({"tls12", generateClientHello(tls12)});
  ClientHelloOptions split = tls13;
  split.maxSendFragment = 512;
  split.groups = "ffdhe3072:X25519";
  out.push_back({"tls13 in 512-byte records", generateClientHello(split)});
  return out;
}

std::span<const std::uint8_t> spanOf(const Bytes& b) { return {b.data(), b.size()}; }

// Where the flight's one handshake message lies, for the message-level comparisons.
Bytes firstMessage(const Bytes& flight) {
  Bytes handshake;
  for (const auto& r : recordBounds(flight)) {
    if (r.end > flight.size()) break;
    handshake.insert(handshake.end(), flight.begin() + static_cast<std::ptrdiff_t>(r.start + 5),
                     flight.begin() + static_cast<std::ptrdiff_t>(r.end));
  }
  const std::size_t length =
      (std::size_t{handshake[1]} << 16 | std::size_t{handshake[2]} << 8 | handshake[3]) + 4;
  return prefix(handshake, length);
}

class AgainstLiteralReading : public ::testing::TestWithParam<std::size_t> {
 protected:
  static const std::vector<Flight>& all() {
    static const std::vector<Flight> cached = flights();
    return cached;
  }
  const Flight& flight() const { return all()[GetParam()]; }
};

void expectSame(const Bytes& input, const std::string& what) {
  const Bytes exact(input);
  ASSERT_EQ(extractServerName(spanOf(exact)), literal::extractServerName(spanOf(exact))) << what;
}

TEST_P(AgainstLiteralReading, EveryPrefix) {
  const Bytes& b = flight().bytes;
  for (std::size_t n = 0; n <= b.size(); ++n)
    expectSame(prefix(b, n), "prefix " + std::to_string(n));
}

// Lengths and types are where the two readings could part: each byte in turn takes values that
// move a length past a boundary or change a type.
TEST_P(AgainstLiteralReading, EverySingleByteChange) {
  const Bytes& b = flight().bytes;
  for (std::size_t i = 0; i < b.size(); ++i) {
    for (int value : {0x00, 0x01, 0x02, 0x03, 0x16, 0x80, 0xFF, b[i] + 1, b[i] - 1}) {
      Bytes mutated = b;
      mutated[i] = static_cast<std::uint8_t>(value);
      expectSame(mutated, "byte " + std::to_string(i) + " = " + std::to_string(value));
    }
  }
}

TEST_P(AgainstLiteralReading, MessageAndListReaders) {
  const Bytes message = firstMessage(flight().bytes);
  for (std::size_t n = 0; n <= message.size(); ++n) {
    const Bytes cut = prefix(message, n);
    ASSERT_EQ(parseClientHello(spanOf(cut)), literal::parseClientHello(spanOf(cut))) << n;
  }
  for (std::size_t i = 0; i < message.size(); ++i) {
    for (int delta : {-3, -1, 1, 2, 3}) {
      Bytes mutated = message;
      mutated[i] = static_cast<std::uint8_t>(mutated[i] + delta);
      ASSERT_EQ(parseClientHello(spanOf(mutated)), literal::parseClientHello(spanOf(mutated)))
          << "byte " << i << " + " << delta;
    }
  }
}

// Several changes at once, from a fixed seed so that a failure can be replayed.
TEST_P(AgainstLiteralReading, RandomChanges) {
  const Bytes& b = flight().bytes;
  std::mt19937 random(static_cast<std::uint32_t>(1234 + GetParam()));
  for (int round = 0; round < 3000; ++round) {
    Bytes mutated = b;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int k = 0; k < changes; ++k) {
      mutated[random() % mutated.size()] = static_cast<std::uint8_t>(random());
    }
    const Bytes cut = prefix(mutated, random() % (mutated.size() + 1));
    expectSame(cut, "round " + std::to_string(round));
  }
}

INSTANTIATE_TEST_SUITE_P(Flights, AgainstLiteralReading, ::testing::Range<std::size_t>(0, 5));

TEST(ServerNameListAgainstLiteralReading, AllShortLists) {
  // Every list of up to 5 bytes over an alphabet that hits each boundary.
  const Bytes alphabet = {0x00, 0x01, 0x02, 0x03, 0x05, 0x61, 0xC3, 0xFF};
  std::vector<Bytes> frontier = {{}};
  for (int length = 0; length <= 5; ++length) {
    std::vector<Bytes> next;
    for (const Bytes& data : frontier) {
      ASSERT_EQ(parseServerNameList(spanOf(data)), literal::parseServerNameList(spanOf(data)))
          << ::testing::PrintToString(data);
      if (length == 5) continue;
      for (std::uint8_t byte : alphabet) {
        Bytes longer = data;
        longer.push_back(byte);
        next.push_back(std::move(longer));
      }
    }
    frontier = std::move(next);
  }
}

// OpenSSL as a server reads the same first flight. Where both report a name, it must be the same
// name; where OpenSSL accepts the hello without a name, ours must not invent one.
void expectAgreesWithOpenSsl(const Bytes& flight, const std::string& what) {
  const ServerNameResult ours = extract(flight);
  const OpenSslServerView theirs = openSslServerView(flight);
  if (ours.kind() != ServerNameResult::Kind::found || !theirs.callbackRan) return;
  ASSERT_TRUE(theirs.serverName.has_value())
      << what << ": ours " << ::testing::PrintToString(ours) << ", OpenSSL none";
  EXPECT_EQ(ours.hostName(), normalizedServerName(*theirs.serverName)) << what;
}

struct ServerCase {
  std::string name;
  ClientHelloOptions options;
};

class AgainstOpenSslServer : public ::testing::TestWithParam<ServerCase> {};

TEST_P(AgainstOpenSslServer, UnchangedFlightGivesTheSameName) {
  const Bytes flight = generateClientHello(GetParam().options);
  const ServerNameResult ours = extract(flight);
  const OpenSslServerView theirs = openSslServerView(flight);
  ASSERT_TRUE(theirs.callbackRan);
  if (GetParam().options.serverName) {
    ASSERT_TRUE(theirs.serverName.has_value());
    EXPECT_EQ(ours, found(normalizedServerName(*theirs.serverName)));
  } else {
    EXPECT_FALSE(theirs.serverName.has_value());
    EXPECT_EQ(ours, unavailable());
  }
}

TEST_P(AgainstOpenSslServer, ChangedFlightsNeverDisagree) {
  const Bytes flight = generateClientHello(GetParam().options);
  std::mt19937 random(99);
  for (int round = 0; round < 400; ++round) {
    Bytes mutated = flight;
    mutated[random() % mutated.size()] = static_cast<std::uint8_t>(random());
    expectAgreesWithOpenSsl(mutated, "round " + std::to_string(round));
  }
}

std::vector<ServerCase> serverCases() {
  std::vector<ServerCase> cases;
  for (TlsVersion version : {TlsVersion::tls13, TlsVersion::tls12}) {
    const std::string v = version == TlsVersion::tls13 ? "tls13_" : "tls12_";
    ClientHelloOptions o;
    o.version = version;
    o.serverName = "Mail.Example.NET";
    cases.push_back({v + "name", o});
    o.maxSendFragment = 512;
    o.alpn = {"h2", std::string(100, 'x')};
    o.extraExtensions = {{0xFAFA, Bytes(700, 1)}};
    cases.push_back({v + "multi_record", o});
    ClientHelloOptions none;
    none.version = version;
    cases.push_back({v + "no_name", none});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(Flights, AgainstOpenSslServer, ::testing::ValuesIn(serverCases()),
                         [](const auto& info) { return info.param.name; });

// Hand-made shapes that OpenSSL refuses or reads differently must not make us name another host.
TEST(AgainstOpenSslServerHandMade, OddListsNeverDisagree) {
  ClientHelloOptions o;
  o.serverName = "original.example";
  const Bytes real = generateClientHello(o);
  // Replace the name's bytes with the same number of other bytes: OpenSSL and we must follow.
  const std::string needle = "original.example";
  const auto at = std::search(real.begin(), real.end(), needle.begin(), needle.end());
  ASSERT_NE(at, real.end());
  const std::size_t offset = static_cast<std::size_t>(at - real.begin());
  using namespace std::string_literals;
  for (const std::string& replacement : {"ORIGINAL.EXAMPLE"s, "other....example"s,
                                         "a\xC3\xA9"s + "bcdefghijklmn"s, "aaaa\0bbbbcccdddd"s}) {
    ASSERT_EQ(replacement.size(), 16u);
    Bytes changed = real;
    std::copy(replacement.begin(), replacement.begin() + 16,
              changed.begin() + static_cast<std::ptrdiff_t>(offset));
    expectAgreesWithOpenSsl(changed, replacement);
  }
}

}  // namespace
}  // namespace quillnest::testing
