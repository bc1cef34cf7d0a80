// ClientHellos as a real client writes them (OpenSSL over memory BIOs), read whole and in pieces.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "tests/tls/tls_test_util.h"

namespace quillnest::testing {
namespace {

// 255 bytes, the most OpenSSL will send: labels of 63 and a last one of 63.
std::string longestName() {
  const std::string label(63, 'a');
  return label + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." +
         std::string(63, 'd');
}

std::vector<std::pair<std::uint16_t, Bytes>> manyExtensions(std::size_t count, std::size_t size) {
  std::vector<std::pair<std::uint16_t, Bytes>> extensions;
  for (std::size_t i = 0; i < count; ++i) {
    extensions.emplace_back(static_cast<std::uint16_t>(0xFA00 + i),
                            Bytes(size, static_cast<std::uint8_t>(i)));
  }
  return extensions;
}

struct RealCase {
  std::string name;
  ClientHelloOptions options;
  ServerNameResult expected;
};

void PrintTo(const RealCase& c, std::ostream* os) { *os << c.name; }

std::vector<RealCase> realCases() {
  std::vector<RealCase> cases;
  for (TlsVersion version : {TlsVersion::tls13, TlsVersion::tls12}) {
    const std::string v = version == TlsVersion::tls13 ? "tls13 " : "tls12 ";
    auto options = [version](std::optional<std::string> name) {
      ClientHelloOptions o;
      o.version = version;
      o.serverName = std::move(name);
      return o;
    };
    cases.push_back({v + "short name", options("a.io"), found("a.io")});
    cases.push_back(
        {v + "mixed case, trailing dot", options("WWW.Example.COM."), found("www.example.com")});
    cases.push_back({v + "longest name", options(longestName()), found(longestName())});
    cases.push_back({v + "no server name", options(std::nullopt), unavailable()});

    ClientHelloOptions many = options("many.example");
    many.alpn = {"h2", "http/1.1", "spdy/3.1", std::string(200, 'p')};
    many.extraExtensions = manyExtensions(40, 30);
    many.padding = true;
    cases.push_back({v + "many extensions", many, found("many.example")});

    ClientHelloOptions fragmented = many;
    fragmented.maxSendFragment = 512;
    fragmented.serverName = longestName();
    cases.push_back({v + "records of 512 bytes", fragmented, found(longestName())});

    ClientHelloOptions huge = options("huge.example");
    huge.extraExtensions = manyExtensions(3, 6000);  // past one 16 KB record
    cases.push_back({v + "hello over two full records", huge, found("huge.example")});

    ClientHelloOptions padded = options("p.example");
    padded.padding = true;
    padded.extraExtensions = manyExtensions(1, 200);  // lands in OpenSSL's padding window
    cases.push_back({v + "padded", padded, found("p.example")});
  }
  ClientHelloOptions largeShare;
  largeShare.serverName = "Share.Example";
  largeShare.groups = "ffdhe8192:X25519:P-256:P-521";
  largeShare.maxSendFragment = 512;
  cases.push_back(
      {"tls13 8192-bit key share in 512-byte records", largeShare, found("share.example")});
  return cases;
}

class RealClientHello : public ::testing::TestWithParam<RealCase> {
 protected:
  void SetUp() override {
    flight_ = generateClientHello(GetParam().options);
    ASSERT_FALSE(flight_.empty());
  }
  Bytes flight_;
};

TEST_P(RealClientHello, WholeFlightGivesTheName) {
  EXPECT_EQ(extract(flight_), GetParam().expected) << flight_.size() << " bytes";
}

TEST_P(RealClientHello, EveryPrefixAsksForMoreWithinTheFlight) {
  for (std::size_t length = 0; length < flight_.size(); ++length) {
    const ServerNameResult result = extract(prefix(flight_, length));
    ASSERT_EQ(result.kind(), ServerNameResult::Kind::needMore)
        << "prefix " << length << " of " << flight_.size() << ": "
        << ::testing::PrintToString(result);
    ASSERT_GT(result.total(), length);
    ASSERT_LE(result.total(), flight_.size());
  }
}

// The provider peeks exactly as far as asked each time; that must reach the answer, one step per
// header and per record at most.
TEST_P(RealClientHello, PeekingAsAskedReachesTheAnswer) {
  const std::size_t records = recordBounds(flight_).size();
  std::size_t held = 0;
  ServerNameResult result = needMore(5);
  std::size_t steps = 0;
  while (result.kind() == ServerNameResult::Kind::needMore && steps <= 2 * records + 1) {
    held = result.total();
    ASSERT_LE(held, flight_.size());
    result = extract(prefix(flight_, held));
    ++steps;
  }
  EXPECT_EQ(result, GetParam().expected);
  EXPECT_LE(steps, 2 * records + 1);
}

INSTANTIATE_TEST_SUITE_P(OpenSsl, RealClientHello, ::testing::ValuesIn(realCases()),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           for (char& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// A hello whose records end past the largest buffer the provider keeps: asked for up to the limit,
// then given up on, and never answered with a name.
TEST(RealClientHelloShape, FlightBeyondTheLimitBecomesUnavailable) {
  ClientHelloOptions options;
  options.serverName = "big.example";
  options.maxSendFragment = 512;
  options.extraExtensions = manyExtensions(13, 5000);
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
