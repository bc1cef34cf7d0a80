// The reader against two other readings of the same bytes: the literal index-based one (every total
// and every refusal must match, on every prefix and every single-byte change; the server_name
// fuzzer compares them on any input), and OpenSSL's own server
// on a grid of real first flights (whenever both name a server, the names must agree).
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "rules/normalization.h"
#include "tests/tls/literal_reader.h"
#include "tests/tls/tls_test_util.h"

namespace quillnest::testing {
namespace {

// The flight's handshake bytes, from as many of its records as it holds.
Bytes handshakeOf(const Bytes& flight) {
  Bytes handshake;
  for (const auto& r : recordBounds(flight)) {
    handshake.insert(handshake.end(), flight.begin() + static_cast<std::ptrdiff_t>(r.start + 5),
                     flight.begin() + static_cast<std::ptrdiff_t>(std::min(r.end, flight.size())));
  }
  return handshake;
}

// The flight's one handshake message, for the message-level comparisons.
Bytes firstMessage(const Bytes& flight) {
  const Bytes handshake = handshakeOf(flight);
  if (handshake.size() < 4) return handshake;
  const std::size_t length =
      (std::size_t{handshake[1]} << 16 | std::size_t{handshake[2]} << 8 | handshake[3]) + 4;
  return prefix(handshake, std::min(length, handshake.size()));
}

void expectSame(const Bytes& input, const std::string& what) {
  const Bytes exact(input);
  ASSERT_EQ(extractServerName(exact), literal::extractServerName(exact)) << what;
}

// Every prefix of each seed flight and of its message, and every single-byte change of the flight
// (changed messages reach the message reader through it). Lengths and types are where the two
// readings could part: each byte in turn takes values that move a length past a boundary or
// change a type.
TEST(AgainstLiteralReading, EveryPrefixAndEverySingleByteChange) {
  for (const Seed& seed : tlsSeeds()) {
    SCOPED_TRACE(seed.name);
    const Bytes& b = seed.bytes;
    for (std::size_t n = 0; n <= b.size(); ++n)
      expectSame(prefix(b, n), "prefix " + std::to_string(n));
    for (std::size_t i = 0; i < b.size(); ++i) {
      for (int value : {0x00, 0x01, 0x02, 0x03, 0x16, 0x80, 0xFF, b[i] + 1, b[i] - 1}) {
        Bytes mutated = b;
        mutated[i] = static_cast<std::uint8_t>(value);
        expectSame(mutated, "byte " + std::to_string(i) + " = " + std::to_string(value));
      }
    }
    const Bytes message = firstMessage(b);
    for (std::size_t n = 0; n <= message.size(); ++n) {
      const Bytes cut = prefix(message, n);
      ASSERT_EQ(parseClientHello(cut), literal::parseClientHello(cut)) << "message prefix " << n;
    }
  }
}

TEST(ServerNameListAgainstLiteralReading, AllShortLists) {
  // Every list of up to 5 bytes over an alphabet that hits each boundary.
  const Bytes alphabet = {0x00, 0x01, 0x02, 0x03, 0x05, 0x61, 0xC3, 0xFF};
  std::vector<Bytes> frontier = {{}};
  for (int length = 0; length <= 5; ++length) {
    std::vector<Bytes> next;
    for (const Bytes& data : frontier) {
      ASSERT_EQ(parseServerNameList(data), literal::parseServerNameList(data))
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

// OpenSSL's server against ours over a grid of generated first flights: versions, names up to 255
// bytes or none, ALPN lists, padding, many extensions of our own, large key shares, hellos over
// two full records, and the handshake cut again into records from 1 byte up.
struct Generated {
  std::string what;
  std::optional<std::string> name;
  Bytes flight;
  bool prefixes;  // whether every prefix is checked too
};

std::vector<std::pair<std::uint16_t, Bytes>> ownExtensions(std::size_t count, std::size_t size) {
  std::vector<std::pair<std::uint16_t, Bytes>> extensions;
  for (std::size_t i = 0; i < count; ++i) {
    extensions.emplace_back(static_cast<std::uint16_t>(0xFA00 + i),
                            Bytes(size, static_cast<std::uint8_t>(i)));
  }
  return extensions;
}

const std::vector<Generated>& grid() {
  static const std::vector<Generated> cached = [] {
    const std::string label63(63, 'l');
    const std::string longest =
        label63 + "." + label63 + "." + label63 + "." + std::string(63, 'm');
    const std::optional<std::string> names[] = {"a.b", "WWW.Example.COM.", "xn--bcher-kva.example",
                                                longest, std::nullopt};
    std::vector<Generated> out;
    int shape = 0;
    for (TlsVersion version : {TlsVersion::tls13, TlsVersion::tls12}) {
      for (const auto& name : names) {
        for (int extras = 0; extras < 5; ++extras, ++shape) {
          ClientHelloOptions o;
          o.version = version;
          o.serverName = name;
          if (extras == 1 || extras == 2) {
            o.alpn = {"h2", "http/1.1", std::string(200, 'p')};
            o.padding = true;
            o.extraExtensions = ownExtensions(40, 30);
            o.extraExtensions.push_back({0xFAFA, Bytes(300 + 97 * shape, 0xEE)});
          }
          if (extras == 2) {
            o.groups = version == TlsVersion::tls13 ? "ffdhe8192:X25519" : "P-256";
            o.maxSendFragment = 512;
          }
          if (extras == 3) o.extraExtensions = ownExtensions(3, 6000);  // past one 16 KB record
          if (extras == 4) {  // lands in OpenSSL's padding window
            o.padding = true;
            o.extraExtensions = ownExtensions(1, 200);
          }
          const Bytes flight = generateClientHello(o);
          const std::string what = std::string(version == TlsVersion::tls13 ? "tls13" : "tls12") +
                                   " name " + std::to_string(name ? name->size() : 0) + " extras " +
                                   std::to_string(extras);
          out.push_back({what, name, flight, name == longest || !name});
          if (extras == 3) continue;  // in 1-byte records it would pass the largest buffer
          for (std::size_t size : {1u, 7u, 100u}) {
            out.push_back({what + " in " + std::to_string(size) + "-byte records", name,
                           handshakeRecords(handshakeOf(flight), size), false});
          }
        }
      }
    }
    return out;
  }();
  return cached;
}

// OpenSSL's server names every generated flight as we do. On the flights whose prefixes are
// checked too, every prefix asks for more within the flight, and peeking exactly as far as asked
// reaches the answer, one step per header and per record at most.
TEST(AgainstOpenSslServer, EveryGeneratedFlightGivesOpenSslsNameAndPeeksReachIt) {
  ASSERT_GE(grid().size(), 160u);
  for (const Generated& g : grid()) {
    SCOPED_TRACE(g.what);
    ASSERT_FALSE(g.flight.empty());
    const OpenSslServerView theirs = openSslServerView(g.flight);
    ASSERT_TRUE(theirs.callbackRan);
    EXPECT_EQ(theirs.serverName, g.name);
    EXPECT_EQ(extract(g.flight), g.name ? found(normalizedServerName(*g.name)) : unavailable());
    if (!g.prefixes) continue;
    const Bytes& flight = g.flight;
    for (std::size_t length = 0; length < flight.size(); ++length) {
      const ServerNameResult result = extract(prefix(flight, length));
      ASSERT_EQ(result.kind(), ServerNameResult::Kind::needMore) << "prefix " << length;
      ASSERT_GT(result.total(), length);
      ASSERT_LE(result.total(), flight.size());
    }
    const std::size_t maxSteps = 2 * recordBounds(flight).size() + 1;
    ServerNameResult result = needMore(5);
    std::size_t steps = 0;
    while (result.kind() == ServerNameResult::Kind::needMore && steps <= maxSteps) {
      ASSERT_LE(result.total(), flight.size());
      result = extract(prefix(flight, result.total()));
      ++steps;
    }
    EXPECT_EQ(result, extract(flight));
    EXPECT_LE(steps, maxSteps);
  }
}

// Changes anywhere: where OpenSSL reads a name, ours is none or the same; where it accepts the
// hello without one, ours invents none. Changes outside the name's bytes: when OpenSSL rejects
// the result we may still read a name (we read less than a server does) but only the name written
// there, never bytes taken for a name because a length was misread. The name's first 16 bytes are
// also rewritten to odd shapes OpenSSL refuses or reads differently: ours still follows it.
TEST(AgainstOpenSslServer, ChangedFlightsNeverNameAnotherHost) {
  using namespace std::string_literals;
  std::mt19937 random(2024);
  int rejected = 0, renamed = 0;
  for (std::size_t i = 0; i < grid().size(); i += 3) {
    const Generated& g = grid()[i];
    const std::string name = g.name.value_or("");
    const auto at = std::search(g.flight.begin(), g.flight.end(), name.begin(), name.end());
    const std::size_t nameStart = static_cast<std::size_t>(at - g.flight.begin());
    const bool contiguous = g.name && at != g.flight.end();
    const auto expectNoOtherHost = [&](const Bytes& mutated, bool nameSpared,
                                       const std::string& what) {
      const ServerNameResult ours = extract(mutated);
      if (ours.kind() != ServerNameResult::Kind::found) return;
      const OpenSslServerView theirs = openSslServerView(mutated);
      if (theirs.callbackRan) {
        ASSERT_TRUE(theirs.serverName.has_value()) << g.what << " " << what;
        EXPECT_EQ(ours.hostName(), normalizedServerName(*theirs.serverName))
            << g.what << " " << what;
      } else if (nameSpared) {
        ++rejected;
        EXPECT_EQ(ours.hostName(), normalizedServerName(name)) << g.what << " " << what;
      }
    };
    for (const std::string& odd : {"ORIGINAL.EXAMPLE"s, "other....example"s,
                                   "a\xC3\xA9"s + "bcdefghijklmn"s, "aaaa\0bbbbcccdddd"s}) {
      if (!contiguous || name.size() < odd.size()) break;
      Bytes changed = g.flight;
      std::copy(odd.begin(), odd.end(), changed.begin() + static_cast<std::ptrdiff_t>(nameStart));
      expectNoOtherHost(changed, false, odd);
      ++renamed;
    }
    for (int round = 0; round < 80; ++round) {
      Bytes mutated = g.flight;
      const bool spareName = contiguous && round % 2 == 0;
      for (int k = 1 + static_cast<int>(random() % 3); k > 0; --k) {
        const std::size_t where = random() % mutated.size();
        if (!spareName || where < nameStart || where >= nameStart + name.size())
          mutated[where] = static_cast<std::uint8_t>(random());
      }
      expectNoOtherHost(mutated, spareName, "round " + std::to_string(round));
    }
  }
  EXPECT_GT(rejected, 0);
  EXPECT_GT(renamed, 0);
}

// A hello whose records end past the largest buffer the provider keeps: asked for up to the limit,
// then given up on, and never answered with a name.
TEST(AgainstOpenSslServer, FlightBeyondTheLimitBecomesUnavailable) {
  ClientHelloOptions options;
  options.serverName = "big.example";
  options.maxSendFragment = 512;
  options.extraExtensions = ownExtensions(13, 5000);
  const Bytes flight = generateClientHello(options);
  ASSERT_GT(flight.size(), kMaxServerNameTotal);
  bool sawUnavailable = false;
  for (std::size_t length = 0; length <= kMaxServerNameTotal; length += 97) {
    const ServerNameResult result = extract(prefix(flight, length));
    ASSERT_NE(result.kind(), ServerNameResult::Kind::found) << length;
    if (result.kind() == ServerNameResult::Kind::needMore) {
      ASSERT_LE(result.total(), kMaxServerNameTotal);
      ASSERT_GT(result.total(), length);
    } else {
      sawUnavailable = true;
    }
  }
  EXPECT_TRUE(sawUnavailable);
}

}  // namespace
}  // namespace quillnest::testing
