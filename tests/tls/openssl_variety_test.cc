// OpenSSL's server against our reader over a grid of generated first flights: versions, name
// lengths up to 253 bytes, ALPN lists, padding, large key shares, extensions of our own, and the
// handshake cut into records from 1 byte up. Where OpenSSL reads a name, ours is the same name;
// where it rejects the flight, ours never names a host other than the one written in it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "rules/normalization.h"
#include "tests/tls/tls_test_util.h"

namespace quillnest::testing {
namespace {

// The flight's handshake message, put back into records of at most size bytes.
Bytes recut(const Bytes& flight, std::size_t size) {
  Bytes handshake;
  for (const auto& r : recordBounds(flight)) {
    handshake.insert(handshake.end(), flight.begin() + static_cast<std::ptrdiff_t>(r.start + 5),
                     flight.begin() + static_cast<std::ptrdiff_t>(std::min(r.end, flight.size())));
  }
  return handshakeRecords(handshake, size);
}

struct Generated {
  std::string what;
  std::string name;
  Bytes flight;
};

std::vector<Generated> grid() {
  const std::string label63(63, 'l');
  const std::vector<std::string> names = {
      "a.b", "Mixed.Case.Example", "xn--bcher-kva.example",
      label63 + "." + label63 + "." + label63 + "." + std::string(61, 'm')};  // 253 bytes
  std::vector<Generated> out;
  int shape = 0;
  for (TlsVersion version : {TlsVersion::tls13, TlsVersion::tls12}) {
    for (const std::string& name : names) {
      for (int extras = 0; extras < 3; ++extras, ++shape) {
        ClientHelloOptions o;
        o.version = version;
        o.serverName = name;
        if (extras >= 1) {
          o.alpn = {"h2", "http/1.1", std::string(200, 'p')};
          o.padding = true;
          o.extraExtensions = {{0x0A0A, {}}, {0xFAFA, Bytes(300 + 97 * shape, 0xEE)}};
        }
        if (extras == 2) {
          o.groups = version == TlsVersion::tls13 ? "ffdhe8192:X25519" : "P-256";
          o.maxSendFragment = 512;
        }
        const Bytes flight = generateClientHello(o);
        const std::string what = std::string(version == TlsVersion::tls13 ? "tls13" : "tls12") +
                                 " name " + std::to_string(name.size()) + " extras " +
                                 std::to_string(extras);
        out.push_back({what, name, flight});
        for (std::size_t size : {1u, 7u, 100u}) {
          out.push_back(
              {what + " in " + std::to_string(size) + "-byte records", name, recut(flight, size)});
        }
      }
    }
  }
  return out;
}

TEST(AgainstOpenSslGrid, EveryGeneratedFlightGivesOpenSslsName) {
  const auto flights = grid();
  ASSERT_GE(flights.size(), 96u);
  for (const Generated& g : flights) {
    SCOPED_TRACE(g.what);
    const OpenSslServerView theirs = openSslServerView(g.flight);
    ASSERT_TRUE(theirs.callbackRan && theirs.serverName.has_value());
    EXPECT_EQ(*theirs.serverName, g.name);
    EXPECT_EQ(extract(g.flight), found(normalizedServerName(*theirs.serverName)));
  }
}

// Changes outside the name's own bytes: when OpenSSL refuses the result, we may still read a
// name (we read less than a server does) but only the name that is written there, never bytes
// taken for a name because a length was misread.
TEST(AgainstOpenSslGrid, RejectedFlightsNeverNameAnotherHost) {
  const auto flights = grid();
  std::mt19937 random(2024);
  int rejected = 0, foundInRejected = 0;
  for (std::size_t i = 0; i < flights.size(); i += 3) {
    const Generated& g = flights[i];
    const auto at = std::search(g.flight.begin(), g.flight.end(), g.name.begin(), g.name.end());
    const std::size_t nameStart = static_cast<std::size_t>(at - g.flight.begin());
    const bool contiguous = at != g.flight.end();
    const std::string expected = normalizedServerName(g.name);
    for (int round = 0; round < 60; ++round) {
      Bytes mutated = g.flight;
      const int changes = 1 + static_cast<int>(random() % 3);
      for (int k = 0; k < changes; ++k) {
        const std::size_t where = random() % mutated.size();
        if (!contiguous || where < nameStart || where >= nameStart + g.name.size())
          mutated[where] = static_cast<std::uint8_t>(random());
      }
      const OpenSslServerView theirs = openSslServerView(mutated);
      const ServerNameResult ours = extract(mutated);
      if (theirs.callbackRan && theirs.serverName) {
        if (ours.kind() == ServerNameResult::Kind::found) {
          EXPECT_EQ(ours.hostName(), normalizedServerName(*theirs.serverName)) << g.what;
        }
        continue;
      }
      if (theirs.callbackRan) continue;  // accepted without a name: covered elsewhere
      ++rejected;
      if (ours.kind() != ServerNameResult::Kind::found) continue;
      ++foundInRejected;
      if (contiguous) {
        EXPECT_EQ(ours.hostName(), expected) << g.what << " round " << round;
      }
    }
  }
  EXPECT_GT(rejected, 0);
  RecordProperty("rejected", rejected);
  RecordProperty("foundInRejected", foundInRejected);
}

}  // namespace
}  // namespace quillnest::testing
