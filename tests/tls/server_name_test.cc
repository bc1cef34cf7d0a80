#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/tls/tls_test_util.h"

namespace quillnest::testing {
namespace {

// The ClientHello of the main hand-made case: 32-byte session id, several suites, groups and
// point formats before the server name.
ClientHelloParts typicalParts(std::string_view hostName = "Ab.CD.") {
  ClientHelloParts parts;
  parts.sessionId = Bytes(32, 0xA0);
  parts.cipherSuites = {0x13, 0x01, 0x13, 0x02, 0x13, 0x03, 0xC0, 0x2B, 0xC0, 0x2F, 0x00, 0x9C};
  parts.extensions = concat({extension(10, {0x00, 0x04, 0x00, 0x1D, 0x00, 0x17}),
                             extension(11, {0x01, 0x00}), serverNameExtension(hostName)});
  return parts;
}

Bytes helloWithExtensions(const Bytes& extensions) {
  ClientHelloParts parts;
  parts.extensions = extensions;
  return clientHelloMessage(parts);
}

Bytes flightWithSniData(const Bytes& extensionData) {
  return handshakeRecords(helloWithExtensions(extension(0, extensionData)));
}

struct Case {
  std::string name;
  Bytes input;
  ServerNameResult expected;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ExtractServerName : public ::testing::TestWithParam<Case> {};

TEST_P(ExtractServerName, GivesTheExpectedResult) {
  EXPECT_EQ(extract(GetParam().input), GetParam().expected);
}

std::vector<Case> framingCases() {
  const Bytes helloMessage = clientHelloMessage(typicalParts());
  const Bytes typical = handshakeRecords(helloMessage);
  const Bytes two = handshakeRecords(helloMessage, 100);  // split inside the extensions
  const std::size_t firstEnd = 105;
  const std::size_t secondEnd = two.size();

  std::vector<Case> cases = {
      {"empty", {}, needMore(5)},
      {"three bytes not a handshake", bytesOf("GET"), needMore(5)},
      {"four bytes of a header", {22, 3, 1, 2}, needMore(5)},
      {"five bytes of an HTTP request", bytesOf("GET /"), unavailable()},
      {"five bytes of application data", {23, 3, 3, 0, 10}, unavailable()},
      {"header alone asks for its record", {22, 3, 1, 2, 0}, needMore(517)},
      {"record ending at the limit", {22, 3, 1, 0xFF, 0xFA}, needMore(65535)},
      {"record ending past the limit", {22, 3, 1, 0xFF, 0xFB}, unavailable()},
      {"empty record asks for the next header", {22, 3, 1, 0, 0}, needMore(10)},
      {"short fragment asks for the next header", {22, 3, 1, 0, 3, 1, 0, 0}, needMore(13)},
      {"server hello type is refused at four bytes", {22, 3, 3, 0, 4, 2, 0, 0, 70}, unavailable()},
      {"server hello type with three bytes waits", {22, 3, 3, 0, 3, 2, 0, 0}, needMore(13)},
      {"message longer than its record asks for the next header",
       prefix(record(22, prefix(helloMessage, 40)), 45), needMore(50)},
      {"typical hello", typical, found("ab.cd")},
      {"typical hello with bytes after it", concat({typical, bytesOf("junk")}), found("ab.cd")},
      {"typical hello followed by another message in its record",
       handshakeRecords(concat({helloMessage, handshakeMessage(20, {1, 2, 3})})), found("ab.cd")},
      {"typical hello missing its last byte", prefix(typical, typical.size() - 1),
       needMore(typical.size())},
      {"two records, first only", prefix(two, firstEnd), needMore(firstEnd + 5)},
      {"two records, part of the second header", prefix(two, firstEnd + 3), needMore(firstEnd + 5)},
      {"two records, second header", prefix(two, firstEnd + 5), needMore(secondEnd)},
      {"two records, part of the second fragment", prefix(two, secondEnd - 1), needMore(secondEnd)},
      {"two records, both complete", two, found("ab.cd")},
      {"two records, second of application data",
       concat({prefix(two, firstEnd), record(23, {1, 2, 3})}), unavailable()},
      {"two records, header of application data alone",
       concat({prefix(two, firstEnd), Bytes{23, 3, 3, 0, 9}}), unavailable()},
      {"empty records between fragments",
       concat({prefix(two, firstEnd), record(22, {}), record(22, {}),
               Bytes(two.begin() + static_cast<std::ptrdiff_t>(firstEnd), two.end())}),
       found("ab.cd")},
      {"message of twelve records", handshakeRecords(helloMessage, 10), found("ab.cd")},
      {"one-byte records", handshakeRecords(helloMessage, 1), found("ab.cd")},
  };

  // A message whose next record header would end beyond the limit.
  Bytes big =
      helloWithExtensions(concat({extension(0x1234, Bytes(65500)), serverNameExtension("x")}));
  Bytes bigFirst = record(22, prefix(big, 65525));  // ends at 65,530
  cases.push_back({"next header ending at the limit", bigFirst, needMore(65535)});
  Bytes bigLonger = record(22, prefix(big, 65526));  // ends at 65,531
  cases.push_back({"next header ending past the limit", bigLonger, unavailable()});
  cases.push_back({"second record ending past the limit",
                   concat({record(22, prefix(big, 65000)), Bytes{22, 3, 1, 3, 0}}), unavailable()});
  return cases;
}

std::vector<Case> clientHelloCases() {
  const auto changed = [](auto change, std::uint16_t recordVersion = 0x0301) {
    ClientHelloParts parts = typicalParts();
    change(parts);
    return handshakeRecords(clientHelloMessage(parts), 16384, recordVersion);
  };
  ClientHelloParts oneByteOfLength = typicalParts();
  oneByteOfLength.extensions.reset();
  Bytes truncatedLength = clientHelloMessage(oneByteOfLength);
  truncatedLength.push_back(0x00);
  truncatedLength[3] += 1;
  return {
      {"no server name", changed([](auto& p) {
         p.extensions = concat({extension(10, {0, 2, 0, 0x1D}), extension(43, {2, 3, 4})});
       }),
       unavailable()},
      {"ends after compression methods", changed([](auto& p) { p.extensions.reset(); }),
       unavailable()},
      {"one byte of extensions length", handshakeRecords(truncatedLength), unavailable()},
      {"empty extensions block", changed([](auto& p) { p.extensions = Bytes{}; }), unavailable()},
      {"versions and random changed",
       changed(
           [](auto& p) {
             p.legacyVersion = 0x0301;
             p.random.fill(0x5A);
           },
           0x0303),
       found("ab.cd")},
      {"record version 0x0000", handshakeRecords(clientHelloMessage(typicalParts()), 100, 0),
       found("ab.cd")},
      // Longer than TLS allows; only its length is read.
      {"session id of 255 bytes", changed([](auto& p) { p.sessionId = Bytes(255, 0x11); }),
       found("ab.cd")},
      {"no suites and no compression methods", changed([](auto& p) {
         p.cipherSuites.clear();
         p.compressionMethods.clear();
       }),
       found("ab.cd")},
      {"extension overrunning the block before the name",
       handshakeRecords(helloWithExtensions(
           concat({Bytes{0x00, 0x0A, 0x00, 0x40, 0, 2}, serverNameExtension("a.example")}))),
       unavailable()},
      {"three bytes after the last extension",
       handshakeRecords(helloWithExtensions(concat({extension(10, {0, 0}), Bytes{0, 0, 0}}))),
       unavailable()},
      {"first server_name decides",
       handshakeRecords(helloWithExtensions(
           concat({extension(0, {0, 1, 0}), serverNameExtension("later.example")}))),
       unavailable()},
      {"name after other extensions",
       handshakeRecords(helloWithExtensions(
           concat({extension(0xFF01, {0}), extension(16, bytesOf("\x02h2")),
                   extension(21, Bytes(300)), serverNameExtension("WWW.Example.ORG")}))),
       found("www.example.org")},
  };
}

std::vector<Case> serverNameListCases() {
  const Bytes hostA = serverNameEntry(0, bytesOf("a.example"));
  return {
      {"name type 1 then host_name",
       flightWithSniData(serverNameList({serverNameEntry(1, bytesOf("other")), hostA})),
       found("a.example")},
      {"invalid UTF-8 then valid",
       flightWithSniData(serverNameList({serverNameEntry(0, {0x61, 0xC0, 0xAF}), hostA})),
       found("a.example")},
      {"only invalid UTF-8",
       flightWithSniData(serverNameList({serverNameEntry(0, {0x61, 0xC0, 0xAF})})), unavailable()},
      {"empty host_name in a list of 3", flightWithSniData({0, 3, 0, 0, 0}), found("")},
      {"list of length 2", flightWithSniData({0, 2, 0, 0}), unavailable()},
      {"list length 2 followed by an entry", flightWithSniData({0, 2, 0, 0, 0, 0, 0}),
       unavailable()},
      {"one byte of data", flightWithSniData({0}), unavailable()},
      {"no data", flightWithSniData({}), unavailable()},
      {"list longer than the data", flightWithSniData({0, 9, 0, 0, 1, 0x61}), unavailable()},
      {"name longer than the list", flightWithSniData({0, 4, 0, 0, 2, 0x61, 0x62}), unavailable()},
      {"bytes after the list ignored",
       flightWithSniData(concat({serverNameList({hostA}), Bytes{0xFF, 0xFF}})), found("a.example")},
      {"skipped entry with two bytes left",
       flightWithSniData(serverNameList({serverNameEntry(1, {}), Bytes{0, 0}})), unavailable()},
      {"skipped entry with an empty name after it",
       flightWithSniData(serverNameList({serverNameEntry(7, {}), serverNameEntry(0, {})})),
       found("")},
      {"upper case and trailing dots",
       flightWithSniData(serverNameList({serverNameEntry(0, bytesOf("MiXeD.Example.."))})),
       found("mixed.example")},
      {"nothing trimmed", flightWithSniData(serverNameList({serverNameEntry(0, bytesOf(" a "))})),
       found(" a ")},
  };
}

INSTANTIATE_TEST_SUITE_P(Framing, ExtractServerName, ::testing::ValuesIn(framingCases()));
INSTANTIATE_TEST_SUITE_P(ClientHello, ExtractServerName, ::testing::ValuesIn(clientHelloCases()));
INSTANTIATE_TEST_SUITE_P(ServerNameList, ExtractServerName,
                         ::testing::ValuesIn(serverNameListCases()));

// RFC 3629's table, edge by edge: a host_name must be well-formed to be taken.
TEST(HostNameUtf8, IsTakenOnlyWhenWellFormed) {
  // clang-format off
  const std::pair<Bytes, bool> cases[] = {
      {{0x00}, true}, {{0x7F}, true}, {{0x80}, false} /* lone continuation */,
      {{0xC0, 0x80}, false}, {{0xC1, 0xBF}, false} /* overlong */, {{0xC2, 0x80}, true},
      {{0xDF, 0xBF}, true}, {{0xC2}, false} /* truncated */, {{0xC2, 0x41}, false},
      {{0xE0, 0x9F, 0xBF}, false} /* overlong */, {{0xE0, 0xA0, 0x80}, true},
      {{0xED, 0x9F, 0xBF}, true},
      {{0xED, 0xA0, 0x80}, false}, {{0xED, 0xBF, 0xBF}, false} /* surrogates */,
      {{0xEE, 0x80, 0x80}, true}, {{0xEF, 0xBB, 0xBF}, true} /* byte-order mark */,
      {{0xEF, 0xBF, 0xBF}, true}, {{0xE1, 0x80}, false}, {{0xF0, 0x8F, 0xBF, 0xBF}, false},
      {{0xF0, 0x90, 0x80, 0x80}, true}, {{0xF4, 0x8F, 0xBF, 0xBF}, true} /* U+10FFFF */,
      {{0xF4, 0x90, 0x80, 0x80}, false}, {{0xF5, 0x80, 0x80, 0x80}, false} /* above it */,
      {{0xF1, 0x80, 0x80, 0x41}, false}, {{0xFE}, false}, {{0xFF}, false},
      {bytesOf("b\xC3\xBC" "cher.example"), true}};
  // clang-format on
  for (const auto& [name, wellFormed] : cases) {
    const ServerNameResult result = parseServerNameList(serverNameList({serverNameEntry(0, name)}));
    EXPECT_EQ(result.kind() == ServerNameResult::Kind::found, wellFormed)
        << ::testing::PrintToString(name) << ": " << ::testing::PrintToString(result);
  }
}

}  // namespace
}  // namespace quillnest::testing
