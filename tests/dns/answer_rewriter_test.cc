// DNS answers through the rewriter, alone, in TCP segments and in IP packets (lengths and
// checksums included): built with ldns from presentation text and read back the same way.
#include "hosts/linux/dns/answer_rewriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "hosts/linux/dns/answer_packet.h"
#include "hosts/linux/dns/dns_counters.h"
#include "hosts/linux/dns/encrypted_dns.h"
#include "hosts/linux/dns/ldns_include.h"
#include "hosts/linux/dns/tcp_answer_stream.h"
#include "rules/filter_rules.h"
#include "tests/common/packet_builder.h"

namespace quillnest::linuxhost::dns {
namespace {

using testing::buildPacket;
using testing::PacketLayout;

using Bytes = std::vector<std::uint8_t>;

// 64 bytes: one version 0xfe0d configuration, X25519, public name ech.example.
constexpr const char* kEch =
    "ech=AD7+DQA6BwAgACAAAQIDBAUGBwgJCgsMDQ4PEBESExQVFhcYGRobHB0eHwAEAAEAAQALZWNoLmV4YW1wbGUAAA==";

struct Message {
  std::string question;
  std::string type;
  std::vector<std::string> answer;
  std::vector<std::string> additional = {};
  bool response = true;
};

Bytes wireOf(const Message& message) {
  ldns_pkt* packet = ldns_pkt_new();
  ldns_pkt_set_id(packet, 0x1234);
  ldns_pkt_set_qr(packet, message.response);
  ldns_pkt_set_rd(packet, true);
  ldns_rr* question = nullptr;
  EXPECT_EQ(ldns_rr_new_question_frm_str(
                &question, (message.question + " IN " + message.type).c_str(), nullptr, nullptr),
            LDNS_STATUS_OK);
  ldns_pkt_push_rr(packet, LDNS_SECTION_QUESTION, question);
  for (auto [texts, section] : {std::pair{&message.answer, LDNS_SECTION_ANSWER},
                                std::pair{&message.additional, LDNS_SECTION_ADDITIONAL}}) {
    for (const auto& text : *texts) {
      ldns_rr* record = nullptr;
      EXPECT_EQ(ldns_rr_new_frm_str(&record, text.c_str(), 300, nullptr, nullptr), LDNS_STATUS_OK)
          << text;
      if (record) ldns_pkt_push_rr(packet, section, record);
    }
  }
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  EXPECT_EQ(ldns_pkt2wire(&wire, packet, &size), LDNS_STATUS_OK);
  Bytes bytes(wire, wire + size);
  std::free(wire);
  ldns_pkt_free(packet);
  return bytes;
}

// Every record with its section, and the response code, as ldns prints them.
std::vector<std::string> read(const Bytes& wire) {
  ldns_pkt* packet = nullptr;
  if (ldns_wire2pkt(&packet, wire.data(), wire.size()) != LDNS_STATUS_OK) return {"unreadable"};
  std::vector<std::string> lines{"rcode " + std::to_string(ldns_pkt_get_rcode(packet))};
  for (auto [name, list] :
       {std::pair{"an ", ldns_pkt_answer(packet)}, std::pair{"ns ", ldns_pkt_authority(packet)},
        std::pair{"ar ", ldns_pkt_additional(packet)}}) {
    for (std::size_t i = 0; i < ldns_rr_list_rr_count(list); ++i) {
      char* text = ldns_rr2str(ldns_rr_list_rr(list, i));
      lines.push_back(name + std::string(text));
      std::free(text);
    }
  }
  ldns_pkt_free(packet);
  return lines;
}

// The records as a rewrite for a blocked name leaves them: no ech, HTTPS records on port 443.
std::vector<std::string> asRewritten(std::vector<std::string> lines) {
  for (auto& line : lines) {
    line = std::regex_replace(line, std::regex(" ech=[^ \n]*"), "");
    if (line.find("\tHTTPS\t") != std::string::npos)
      line = std::regex_replace(line, std::regex(" port=[0-9]+"), " port=443");
  }
  return lines;
}

// HTTPS records that send clients to a port other than 443.
std::size_t httpsElsewhere(const std::vector<std::string>& lines) {
  return std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return std::regex_search(line, std::regex("\tHTTPS\t.* port=(?!443\\b)"));
  });
}

AnswerPolicy policy(bool keepLength = false, bool closeEncryptedDns = true) {
  const auto isBlocked = [](std::string_view name) {
    return name == "blocked.example" || name.ends_with(".blocked.example");
  };
  return {isBlocked, closeEncryptedDns, keepLength};
}

// An HTTPS record offering ECH on another port (and alpn, which stays).
std::string https(const std::string& owner) {
  return owner + " 300 IN HTTPS 1 . alpn=h2,h3 port=8443 " + kEch;
}

// Each message after its two-byte length, as DNS over TCP sends them.
Bytes framed(const std::vector<Bytes>& messages) {
  Bytes out;
  for (const auto& message : messages) {
    out.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
  }
  return out;
}

Message httpsAnswer(const std::string& name, bool response = true) {
  return {name, "HTTPS", {https(name)}, {}, response};
}

const Bytes kBlocked = wireOf(httpsAnswer("www.blocked.example."));
const Bytes kAllowed = wireOf(httpsAnswer("www.allowed.example."));
const Message kCanary{
    "use-application-dns.net.", "A", {"use-application-dns.net. 300 IN A 192.0.2.9"}};

// Service bindings, and what a rewrite for a blocked name does to them.
struct BindingCase {
  const char* what;
  Message message;
  AnswerOutcome outcome;
  unsigned removed;
  unsigned ports;
};

std::vector<BindingCase> bindingCases() {
  const std::string ech = kEch;
  using R = std::vector<std::string>;
  using enum AnswerOutcome;
  // clang-format off
  return {
      {"blocked name: ech gone, port 443, alpn kept", httpsAnswer("www.blocked.example."),
       rewritten, 1, 1},
      {"allowed name", httpsAnswer("www.allowed.example."), unchanged, 0, 0},
      {"look-alike of a blocked name", httpsAnswer("notblocked.example."), unchanged, 0, 0},
      {"CNAME chain into a blocked name", {"alias.example.", "HTTPS",
       R{"alias.example. 300 IN CNAME step.example.",
         "step.example. 300 IN CNAME cdn.blocked.example.", https("cdn.blocked.example.")}},
       rewritten, 1, 1},
      {"blocked question, CNAME out to a CDN name", {"WWW.Blocked.Example.", "HTTPS",
       R{"www.blocked.example. 300 IN CNAME front.cdn.example.", https("front.cdn.example.")}},
       rewritten, 1, 1},
      {"SVCB with ech alone, ipv6hint after it; an SVCB port stays", {"_8443._foo.blocked.example.",
       "SVCB", R{"_8443._foo.blocked.example. 300 IN SVCB 1 svc.example. " + ech,
         "_8443._foo.blocked.example. 300 IN SVCB 2 svc2.example. port=8443 " + ech +
             " ipv6hint=2001:db8::1"}},
       rewritten, 2, 0},
      {"several records, an A among them, one without ech, one on 443 already",
       {"blocked.example.", "HTTPS",
       R{https("blocked.example."), "blocked.example. 300 IN HTTPS 2 . alpn=h2",
         "blocked.example. 300 IN HTTPS 3 alt.example. port=80 " + ech,
         "blocked.example. 300 IN HTTPS 4 alt.example. port=443",
         "blocked.example. 300 IN A 192.0.2.1"}, R{"alt.example. 300 IN HTTPS 1 . " + ech}},
       rewritten, 3, 2},
      {"a port alone", {"blocked.example.", "HTTPS",
       R{"blocked.example. 300 IN HTTPS 1 . alpn=h3 port=8443"}}, rewritten, 0, 1},
      {"a port of 443 alone", {"blocked.example.", "HTTPS",
       R{"blocked.example. 300 IN HTTPS 1 . port=443"}}, unchanged, 0, 0},
      {"A and AAAA of a blocked name", {"blocked.example.", "A",
       R{"blocked.example. 300 IN A 192.0.2.1", "blocked.example. 300 IN AAAA 2001:db8::2"}},
       unchanged, 0, 0},
      {"a query, not an answer", httpsAnswer("blocked.example.", false), notAnAnswer, 0, 0},
  };
  // clang-format on
}

TEST(AnswerRewriter, EchAndPortsGoOnlyFromServiceBindingsOfBlockedChains) {
  const std::vector<BindingCase> cases = bindingCases();
  const Bytes unusable = unusableEchConfigList(64);
  for (bool keepLength : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (keepLength ? " (length kept)" : ""));
      const Bytes wire = wireOf(c.message);
      const AnswerEdit edit = rewriteAnswer(wire, policy(keepLength));
      EXPECT_EQ(edit.outcome, c.outcome);
      EXPECT_EQ(edit.echRemoved, c.removed);
      EXPECT_EQ(edit.portsRewritten, c.ports);
      if (c.outcome != AnswerOutcome::rewritten) {
        EXPECT_TRUE(edit.message.empty());
        continue;
      }
      EXPECT_EQ(httpsElsewhere(read(edit.message)), 0u);
      if (!keepLength) {
        EXPECT_LE(edit.message.size(), wire.size());
        EXPECT_NE(read(edit.message), read(wire));
        EXPECT_EQ(read(edit.message), asRewritten(read(wire)));
        EXPECT_EQ(read(edit.message), asRewritten(read(edit.message)));
      } else {
        // Same length, same records but ports; each ech holds one configuration of an unknown
        // version.
        ASSERT_EQ(edit.message.size(), wire.size());
        EXPECT_EQ(asRewritten(read(edit.message)), asRewritten(read(wire)));
        std::size_t found = 0;
        for (auto at = edit.message.begin();
             (at = std::search(at, edit.message.end(), unusable.begin(), unusable.end())) !=
             edit.message.end();
             ++at)
          ++found;
        EXPECT_EQ(found, c.removed);
      }
    }
  }
}

TEST(AnswerRewriter, EncryptedDnsDiscoveryNamesGetNoUsableAnswer) {
  const Message relay{"Mask.iCloud.com.", "AAAA", {"mask.icloud.com. 300 IN AAAA 2001:db8::9"}};
  const Message discovery{
      "_dns.resolver.arpa.", "SVCB", {"_dns.resolver.arpa. 300 IN SVCB 1 dns.example. alpn=dot"}};
  const std::vector<std::string> nameError{"rcode 3"}, noData{"rcode 0"};
  for (const auto& [message, expected] :
       {std::pair{kCanary, nameError}, std::pair{relay, nameError}, std::pair{discovery, noData}}) {
    SCOPED_TRACE(message.question);
    const Bytes wire = wireOf(message);
    AnswerEdit edit = rewriteAnswer(wire, policy());
    EXPECT_EQ(edit.outcome, AnswerOutcome::rewritten);
    EXPECT_TRUE(edit.canaryAnswered);
    EXPECT_EQ(read(edit.message), expected);
    // Already answered that way: left alone, still counted.
    AnswerEdit again = rewriteAnswer(edit.message, policy());
    EXPECT_EQ(again.outcome, AnswerOutcome::unchanged);
    EXPECT_TRUE(again.canaryAnswered);
    // Over TCP the records stay, under a name error.
    AnswerEdit kept = rewriteAnswer(wire, policy(true));
    ASSERT_EQ(kept.message.size(), wire.size());
    EXPECT_EQ(read(kept.message).front(), "rcode 3");
    // The option that opens the escape hatches.
    EXPECT_EQ(rewriteAnswer(wire, policy(false, false)).outcome, AnswerOutcome::unchanged);
  }
}

PacketLayout answerFrom53(hosts::IpFamily family, std::uint8_t protocol, Bytes payload) {
  PacketLayout layout;
  layout.family = family;
  const bool v6 = family == hosts::IpFamily::v6;
  layout.source = v6 ? "2001:db8::53" : "198.51.100.53";
  layout.destination = v6 ? "2001:db8::2" : "10.0.0.2";
  layout.protocol = protocol;
  layout.sourcePort = 53;
  layout.destinationPort = 41000;
  layout.flags = hosts::kTcpAck | hosts::kTcpPsh;
  layout.payload = std::move(payload);
  return layout;
}

// DNS over TCP read across segments: whatever size the server's segments have, the client gets
// the bytes that whole-message reading gives.
struct Streamed {
  Bytes bytes;
  StreamCounts counts;
};

Streamed streamInPieces(const Bytes& stream, std::size_t piece, const AnswerPolicy& policy) {
  TcpAnswerStream reader;
  Streamed out{stream, {}};
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const std::size_t size = std::min(piece, stream.size() - at);
    EXPECT_EQ(reader.take(at, std::span(out.bytes).subspan(at, size), policy, out.counts),
              TcpAnswerStream::Take::read);
  }
  return out;
}

// Truncated, malformed and ldns-unsafe answers pass unchanged and are counted: alone, in a packet
// and in a TCP stream, where the message after one is still read.
TEST(AnswerRewriter, UnreadableAnswersPassAndAreCounted) {
  Bytes countsTooLarge = kBlocked;
  countsTooLarge[7] = 9;  // ANCOUNT
  Bytes pointerLoop = kBlocked;
  pointerLoop[12] = 0xc0;  // the question name points at itself
  pointerLoop[13] = 12;
  Bytes forward = kBlocked;  // the question name points ahead
  forward[12] = 0xc0;
  forward[13] = 40;
  Bytes badLabel = kBlocked;
  badLabel[12] = 0x80;
  Bytes twoTsig = kBlocked;  // ldns would keep one and leak the other
  twoTsig[11] = 2;           // ARCOUNT
  for (int i = 0; i < 2; ++i)
    twoTsig.insert(twoTsig.end(), {0, 0, 0xfa, 0, 0xff, 0, 0, 0, 0, 0, 0});
  const Bytes next = rewriteTcpPayload(framed({kBlocked}), policy(true)).payload;
  for (const Bytes& bad : {Bytes(kBlocked.begin(), kBlocked.begin() + kBlocked.size() / 2),
                           Bytes(kBlocked.begin(), kBlocked.begin() + 11), Bytes{}, countsTooLarge,
                           pointerLoop, forward, badLabel, twoTsig}) {
    SCOPED_TRACE(bad.size());
    EXPECT_EQ(rewriteAnswer(bad, policy()).outcome, AnswerOutcome::unparsed);
    EXPECT_EQ(rewriteAnswer(bad, policy(true)).outcome, AnswerOutcome::unparsed);
    // The stream reader reads records itself, not with ldns: two TSIG records are no harm there.
    for (std::size_t piece : {1, 5, 1000}) {
      if (bad == twoTsig) break;
      SCOPED_TRACE("streamed in pieces of " + std::to_string(piece));
      const Streamed got = streamInPieces(framed({bad, kBlocked}), piece, policy(true));
      EXPECT_EQ(got.counts.unparsed, 1u);
      EXPECT_EQ(got.counts.answersRead, 1u);
      // Values pass as they are read: one before the surplus count was found is gone.
      EXPECT_EQ(got.counts.echRemoved, bad == countsTooLarge ? 2u : 1u);
      EXPECT_TRUE(std::equal(got.bytes.begin() + 2 + bad.size(), got.bytes.end(), next.begin()));
    }
    if (bad.empty()) continue;
    for (auto protocol : {hosts::kIpProtocolUDP, hosts::kIpProtocolTCP}) {
      const bool tcp = protocol == hosts::kIpProtocolTCP;
      const PacketEdit packet = rewriteAnswerPacket(
          buildPacket(answerFrom53(hosts::IpFamily::v6, protocol, tcp ? framed({bad}) : bad)),
          policy());
      EXPECT_FALSE(packet.rewritten);
      EXPECT_EQ(packet.unparsed, 1u);
      EXPECT_EQ(packet.answersRead, 0u);
    }
  }
  // A segment cut inside a message, or starting inside one, is not read at all: a continuation
  // is never taken for a length.
  const Bytes two = framed({kAllowed, kBlocked});
  for (const Bytes& partial :
       {Bytes(two.begin(), two.end() - 1), Bytes(two.begin() + 1, two.end())}) {
    const StreamEdit edit = rewriteTcpPayload(partial, policy());
    EXPECT_EQ(edit.outcome, AnswerOutcome::unparsed);
    EXPECT_EQ(edit.unparsed, 1u);
    EXPECT_EQ(edit.answersRead, 0u);
  }
  // A packet cut short, and a bare ACK of a DNS connection, which is nothing to read.
  Bytes cutPacket = buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolUDP, kBlocked));
  cutPacket.resize(30);
  EXPECT_EQ(rewriteAnswerPacket(cutPacket, policy()).unparsed, 1u);
  const PacketEdit ack = rewriteAnswerPacket(
      buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolTCP, {})), policy());
  EXPECT_FALSE(ack.rewritten);
  EXPECT_EQ(ack.unparsed + ack.answersRead, 0u);
}

TEST(AnswerRewriter, UnusableEchConfigListIsWellFormed) {
  EXPECT_EQ(unusableEchConfigList(6), (Bytes{0, 4, 0xff, 0x00, 0, 0}));
  const Bytes big = unusableEchConfigList(300);
  EXPECT_EQ(big.size(), 300u);
  EXPECT_EQ((big[0] << 8 | big[1]), 298);
  EXPECT_EQ((big[4] << 8 | big[5]), 294);
}

TEST(ResolverList, ReadsNamesAndAddressesApart) {
  const std::string_view text =
      "# list\n  DNS.Google.\n\ncloudflare-dns.com # main\r\ndns.google\n 1.1.1.1 \r\n"
      "2606:4700:4700::1111 # v6\n1.1.1.1\n1.1.1.1.example\n";
  EXPECT_EQ(parseResolverList(text),
            (std::vector<std::string>{"1.1.1.1.example", "cloudflare-dns.com", "dns.google"}));
  std::vector<std::string> addresses;
  for (const auto& address : parseResolverAddresses(text)) addresses.push_back(address.text());
  EXPECT_EQ(addresses, (std::vector<std::string>{"1.1.1.1", "2606:4700:4700::1111"}));
  EXPECT_TRUE(parseResolverList("").empty());
  // The built-in list: its names go to the rules, its addresses to the packet check.
  EXPECT_EQ(wellKnownResolvers().size(), 30u);
  EXPECT_EQ(wellKnownResolverAddresses().size(), 123u);
}

// Port 853 anywhere, and port 443 of a resolver's address, TCP or UDP; nothing else.
TEST(ResolverList, EncryptedDnsByPortOrResolverAddress) {
  const std::vector<hosts::IpAddress> resolvers = parseResolverAddresses("9.9.9.9\n2620:fe::fe\n");
  using enum EncryptedDns;
  const struct {
    hosts::IpFamily family;
    const char* destination;
    std::uint8_t protocol;
    std::uint16_t port;
    EncryptedDns kind;
  } cases[] = {
      {hosts::IpFamily::v4, "198.51.100.2", hosts::kIpProtocolTCP, 853, port853},
      {hosts::IpFamily::v6, "2001:db8::2", hosts::kIpProtocolUDP, 853, port853},
      {hosts::IpFamily::v4, "9.9.9.9", hosts::kIpProtocolTCP, 443, resolverAddress},
      {hosts::IpFamily::v4, "9.9.9.9", hosts::kIpProtocolUDP, 443, resolverAddress},
      {hosts::IpFamily::v6, "2620:fe::fe", hosts::kIpProtocolTCP, 443, resolverAddress},
      {hosts::IpFamily::v4, "9.9.9.9", hosts::kIpProtocolUDP, 53, none},  // plain DNS is read
      {hosts::IpFamily::v4, "9.9.9.9", hosts::kIpProtocolTCP, 80, none},
      {hosts::IpFamily::v4, "9.9.9.8", hosts::kIpProtocolTCP, 443, none},
      {hosts::IpFamily::v6, "2620:fe::9", hosts::kIpProtocolTCP, 443, none},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.destination) + " " + std::to_string(c.port));
    PacketLayout layout{.family = c.family,
                        .source = c.family == hosts::IpFamily::v6 ? "2001:db8::1" : "10.0.0.1",
                        .destination = c.destination,
                        .protocol = c.protocol,
                        .destinationPort = c.port,
                        .flags = hosts::kTcpSyn};
    const Bytes packet = buildPacket(layout);
    const hosts::ParseResult parsed = hosts::parseIpPacket(packet);
    ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
    EXPECT_EQ(encryptedDnsOf(parsed.packet, resolvers), c.kind);
  }
  // The built-in list, looked up by halving: each of its addresses is found, written in any order.
  const auto& builtIn = wellKnownResolverAddresses();
  for (const auto& address : builtIn) {
    hosts::ParsedPacket packet;
    packet.protocol = hosts::kIpProtocolTCP;
    packet.destinationPort = 443;
    packet.destination = address;
    EXPECT_EQ(encryptedDnsOf(packet, builtIn), resolverAddress) << address.text();
  }
}

TEST(ResolverList, AddedInPlaceOnlyToRulesThatBlock) {
  const std::vector<std::string> resolvers{"dns.google", "dns.quad9.net"};
  struct Case {
    std::string text;
    std::size_t added;
    std::vector<std::string> domains;  // after; {"undecodable"} when it does not decode
  };
  // clang-format off
  const std::vector<Case> cases = {
      // Appended after the user's entries, a name already listed included.
      {R"({"isEnabled": true, "domains": ["Example.com", "dns.google"]})", 2,
       {"Example.com", "dns.google", "dns.google", "dns.quad9.net"}},
      {R"( { "domains" : [ ] , "other": {"domains": [1, "]"]}, "isEnabled" : true } )", 2,
       {"dns.google", "dns.quad9.net"}},
      {R"({"domains": ["a\\\"],b"], "isEnabled": true})", 2,
       {"a\\\"],b", "dns.google", "dns.quad9.net"}},
      // A key written with an escape is read by decoding: only the missing name is added.
      {R"({"isEnabled": true, "d\u006fmains": ["dns.google"]})", 1,
       {"dns.google", "dns.quad9.net"}},
      {R"({"isEnabled": false, "domains": ["a.example"]})", 0, {"a.example"}},
      {R"({"isEnabled": "true", "domains": []})", 0, {"undecodable"}},
      {"not json", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": ["a"])", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": ["a"}})", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": [], "domains": []})", 0, {"undecodable"}},
      // Only the top level is read: an entry that is not UTF-8 gets the names added, and the
      // text still does not load.
      {"{\"isEnabled\": true, \"domains\": [\"caf\x92\"]}", 2, {"undecodable"}},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes text(c.text.begin(), c.text.end());
    EXPECT_EQ(addBlockedResolvers(text, resolvers), c.added);
    const auto decoded = decodeFilterRules(text);
    EXPECT_EQ(decoded.rules ? decoded.rules->domains().strings()
                            : std::vector<std::string>{"undecodable"},
              c.domains);
  }
}

// DNS over TCP read across segments: whatever size the server's segments have, the client gets
// the bytes that whole-message reading gives, and those are each message as rewritten alone.
TEST(TcpAnswerStream, AnySegmentSizeGivesTheBytesOfWholeMessages) {
  std::vector<Bytes> wires, alone;
  unsigned removed = 0, ports = 0;
  for (const auto& c : bindingCases()) {
    wires.push_back(wireOf(c.message));
    const AnswerEdit edit = rewriteAnswer(wires.back(), policy(true));
    alone.push_back(edit.message.empty() ? wires.back() : edit.message);
    removed += c.removed;
    ports += c.ports;
  }
  const Bytes stream = framed(wires);
  for (bool close : {true, false}) {
    // The length is kept whatever the policy asks: the segment's length is not ours to change.
    const StreamEdit whole = rewriteTcpPayload(stream, policy(false, close));
    ASSERT_EQ(whole.outcome, AnswerOutcome::rewritten);
    EXPECT_EQ(whole.payload, framed(alone));
    EXPECT_EQ(whole.answersRead, wires.size() - 1);  // all but the query
    EXPECT_EQ(whole.echRemoved, removed);
    EXPECT_EQ(whole.portsRewritten, ports);
    const AnswerPolicy rules = policy(true, close);
    for (std::size_t piece : {1, 2, 3, 7, 13, 48, 100, 536, 100000}) {
      SCOPED_TRACE("pieces of " + std::to_string(piece) + (close ? "" : ", encrypted DNS open"));
      const Streamed got = streamInPieces(stream, piece, rules);
      EXPECT_EQ(got.bytes, whole.payload);
      EXPECT_EQ(got.counts.answersRead, whole.answersRead);
      EXPECT_EQ(got.counts.echRemoved, whole.echRemoved);
      EXPECT_EQ(got.counts.portsRewritten, whole.portsRewritten);
      EXPECT_EQ(got.counts.canariesAnswered, whole.canariesAnswered);
      EXPECT_EQ(got.counts.unparsed, 0u);
    }
  }
  // Cut once, at every byte of a blocked answer.
  const Bytes one = framed({kBlocked});
  const Bytes wanted = rewriteTcpPayload(one, policy(true)).payload;
  for (std::size_t cut = 1; cut < one.size(); ++cut) {
    TcpAnswerStream reader;
    Bytes got = one;
    StreamCounts counts;
    reader.take(0, std::span(got).first(cut), policy(true), counts);
    reader.take(cut, std::span(got).subspan(cut), policy(true), counts);
    EXPECT_EQ(got, wanted) << "cut at " << cut;
  }
  // A canary's answer code is in its header, which may pass before its question arrives.
  const Bytes canary = framed({wireOf(kCanary)});
  EXPECT_EQ(streamInPieces(canary, 1000, policy(true)).bytes,
            rewriteTcpPayload(canary, policy(true)).payload);
  TcpAnswerStream reader;
  Bytes late = canary;
  StreamCounts counts;
  reader.take(0, std::span(late).first(20), policy(true), counts);
  // The rest, in a copy that starts with the header again, then the header alone again.
  reader.take(0, late, policy(true), counts);
  reader.take(0, std::span(late).first(20), policy(true), counts);
  EXPECT_EQ(late, canary);
  EXPECT_EQ(counts.unparsed, 1u);
  EXPECT_EQ(counts.canariesAnswered, 1u);
}

// Segments sent again, overlapping, or ahead of a missing one.
TEST(TcpAnswerStream, SegmentsSentAgainGetTheSameBytes) {
  const Bytes stream = framed({kAllowed, kBlocked, kBlocked});
  const Bytes wanted = rewriteTcpPayload(stream, policy(true)).payload;
  const std::size_t half = stream.size() / 2;
  TcpAnswerStream reader;
  StreamCounts counts;
  Bytes ahead(stream.begin() + half + 10, stream.end());
  EXPECT_EQ(reader.take(half + 10, ahead, policy(true), counts), TcpAnswerStream::Take::ahead);
  EXPECT_EQ(reader.received(), 0u);
  Bytes first(stream.begin(), stream.begin() + half);
  reader.take(0, first, policy(true), counts);
  // Sent again whole, then again reaching past what arrived, then the rest.
  for (std::size_t from : {std::size_t{0}, half / 2}) {
    Bytes again(stream.begin() + from, stream.begin() + (from == 0 ? half : half + 20));
    reader.take(from, again, policy(true), counts);
    EXPECT_TRUE(std::equal(again.begin(), again.end(), wanted.begin() + from)) << from;
  }
  Bytes rest(stream.begin() + half + 20, stream.end());
  reader.take(half + 20, rest, policy(true), counts);
  EXPECT_TRUE(std::equal(rest.begin(), rest.end(), wanted.begin() + half + 20));
  EXPECT_EQ(counts.answersRead, 3u);
  EXPECT_EQ(counts.echRemoved, 2u);
  EXPECT_EQ(counts.portsRewritten, 2u);
}

PacketLayout segmentFrom53(std::uint8_t flags, std::uint32_t sequence, Bytes payload,
                           hosts::IpFamily family = hosts::IpFamily::v4) {
  PacketLayout layout = answerFrom53(family, hosts::kIpProtocolTCP, std::move(payload));
  layout.flags = flags;
  layout.sequence = sequence;
  return layout;
}

// Connections are followed from the server's SYN to its reset or their time out; the table and
// the memory it holds are bounded, and what it cannot follow does not pass unread.
TEST(TcpAnswerStreams, FollowsConnectionsWithinBounds) {
  using Fate = TcpAnswerStreams::Fate;
  using namespace std::chrono_literals;
  const auto start = TcpAnswerStreams::Clock::time_point{} + 1h;
  TcpAnswerStreams::Limits limits;
  limits.connections = 2;
  limits.bufferedBytes = 3000;
  TcpAnswerStreams streams(limits);
  auto segment = [&](std::uint8_t flags, std::uint32_t sequence, Bytes payload,
                     std::uint16_t port = 41000, TcpAnswerStreams::Clock::time_point at = {}) {
    PacketLayout layout = segmentFrom53(flags, sequence, std::move(payload));
    layout.destinationPort = port;
    const Bytes packet = buildPacket(layout);
    const auto parsed = hosts::parseIpPacket(packet);
    Bytes bytes(parsed.packet.payload.begin(), parsed.packet.payload.end());
    StreamCounts counts;
    const Fate fate =
        streams.onSegment(parsed.packet, bytes, policy(true),
                          at == TcpAnswerStreams::Clock::time_point{} ? start : at, counts);
    return std::pair{fate, bytes};
  };
  const std::uint8_t ack = hosts::kTcpAck, synAck = hosts::kTcpSyn | hosts::kTcpAck;
  const Bytes stream = framed({kBlocked});
  const Bytes wanted = rewriteTcpPayload(stream, policy(true)).payload;
  const std::uint32_t isn = 0xfffffff0;  // the sequence numbers wrap inside the message
  EXPECT_EQ(segment(ack, 5, stream).first, Fate::untracked);
  EXPECT_EQ(segment(synAck, isn, {}).first, Fate::read);
  EXPECT_EQ(segment(synAck, isn, {}).first, Fate::read);  // sent again: still the same stream
  const std::uint32_t cut = 40;
  auto [fate, tail] = segment(ack, isn + 1 + cut, Bytes(stream.begin() + cut, stream.end()));
  EXPECT_EQ(fate, Fate::drop);  // ahead of the first piece
  auto first = segment(ack, isn + 1, Bytes(stream.begin(), stream.begin() + cut));
  EXPECT_EQ(first.first, Fate::read);
  tail = segment(ack, isn + 1 + cut, Bytes(stream.begin() + cut, stream.end())).second;
  Bytes got = first.second;
  got.insert(got.end(), tail.begin(), tail.end());
  EXPECT_EQ(got, wanted);

  // Full: a second connection fits, a third's SYN waits; a reset makes room.
  EXPECT_EQ(segment(synAck, 100, {}, 41001).first, Fate::read);
  EXPECT_EQ(segment(synAck, 200, {}, 41002).first, Fate::drop);
  EXPECT_EQ(segment(hosts::kTcpRst, isn + 1 + 200, {}).first, Fate::untracked);
  EXPECT_EQ(segment(synAck, 200, {}, 41002).first, Fate::read);
  EXPECT_EQ(streams.size(), 2u);
  // Bytes in progress count against the memory bound: a message that would pass it waits.
  const Bytes big(2000, 0);
  Bytes prefix{0x10, 0x00};  // a message of 4096 bytes
  prefix.insert(prefix.end(), big.begin(), big.end());
  EXPECT_EQ(segment(ack, 101, prefix, 41001).first, Fate::read);
  EXPECT_EQ(segment(ack, 201, prefix, 41002).first, Fate::drop);
  // A closed connection goes after its FIN's time; an idle one only to make room.
  EXPECT_EQ(segment(ack | hosts::kTcpFin, 201, {}, 41002, start + 1s).first, Fate::read);
  EXPECT_EQ(segment(synAck, 300, {}, 41003, start + 40s).first, Fate::read);
  EXPECT_EQ(streams.size(), 2u);
  EXPECT_EQ(segment(hosts::kTcpRst, 301, {}, 41003, start + 11min).first, Fate::untracked);
  EXPECT_EQ(segment(synAck, 400, {}, 41004, start + 11min).first, Fate::read);
  EXPECT_EQ(streams.size(), 2u);  // 41001, idle for 11 minutes, stays while there is room
  EXPECT_EQ(segment(synAck, 500, {}, 41005, start + 11min).first, Fate::read);
  EXPECT_EQ(segment(ack, 101 + prefix.size(), {1}, 41001, start + 11min).first, Fate::untracked);
  EXPECT_EQ(segment(ack, 401, {}, 41004, start + 11min).first, Fate::read);
}

// The packet a client gets is what a sender of the new answer would have sent: its own lengths and
// checksums, whether the answer came whole or in segments the server cut, followed across them.
TEST(AnswerPacket, RewrittenPacketsCarryTheirOwnLengthsAndChecksums) {
  const Bytes stream = framed({kBlocked});
  for (auto family : {hosts::IpFamily::v4, hosts::IpFamily::v6}) {
    for (auto [protocol, piece] : {std::pair{hosts::kIpProtocolUDP, std::size_t{0}},
                                   std::pair{hosts::kIpProtocolTCP, std::size_t{0}},
                                   std::pair{hosts::kIpProtocolTCP, std::size_t{48}}}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(family)) + "/" + std::to_string(protocol) +
                   " in pieces of " + std::to_string(piece));
      const bool tcp = protocol == hosts::kIpProtocolTCP;
      const Bytes payload = tcp ? stream : kBlocked;
      const std::size_t step = piece ? piece : payload.size();
      TcpAnswerStreams streams;
      const auto segment = [&](std::size_t at, std::size_t size) {
        PacketLayout layout = answerFrom53(
            family, protocol, Bytes(payload.begin() + at, payload.begin() + at + size));
        layout.sequence = 8 + static_cast<std::uint32_t>(at);
        return layout;
      };
      if (piece) {
        rewriteAnswerPacket(
            buildPacket(segmentFrom53(hosts::kTcpSyn | hosts::kTcpAck, 7, {}, family)), policy(),
            &streams);
        // A segment ahead of the first is dropped, and counted.
        DnsCounters counters;
        counters.add(rewriteAnswerPacket(buildPacket(segment(piece, payload.size() - piece)),
                                         policy(), &streams));
        EXPECT_EQ(counters.snapshot().tcpSegmentsDropped, 1u);
      }
      Bytes got;
      StreamCounts counts;
      for (std::size_t at = 0; at < payload.size(); at += step) {
        PacketLayout layout = segment(at, std::min(step, payload.size() - at));
        const PacketEdit edit =
            rewriteAnswerPacket(buildPacket(layout), policy(), piece ? &streams : nullptr);
        EXPECT_FALSE(edit.drop);
        counts.answersRead += edit.answersRead;
        counts.echRemoved += edit.echRemoved;
        counts.portsRewritten += edit.portsRewritten;
        const Bytes sent = edit.rewritten ? edit.packet : buildPacket(layout);
        const auto parsed = hosts::parseIpPacket(sent);
        ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
        layout.payload.assign(parsed.packet.payload.begin(), parsed.packet.payload.end());
        EXPECT_EQ(sent, buildPacket(layout));
        got.insert(got.end(), layout.payload.begin(), layout.payload.end());
      }
      EXPECT_EQ(counts.answersRead, 1u);
      EXPECT_EQ(counts.echRemoved, 1u);
      EXPECT_EQ(counts.portsRewritten, 1u);
      if (tcp) {
        EXPECT_EQ(got, rewriteTcpPayload(stream, policy(true)).payload);
        EXPECT_EQ(got.size(), stream.size());
      } else {
        EXPECT_LT(got.size(), kBlocked.size());
        EXPECT_EQ(read(got), asRewritten(read(kBlocked)));
      }
      if (piece) continue;
      const PacketEdit untouched = rewriteAnswerPacket(
          buildPacket(answerFrom53(family, protocol, tcp ? framed({kAllowed}) : kAllowed)),
          policy());
      EXPECT_FALSE(untouched.rewritten);
      EXPECT_TRUE(untouched.packet.empty());
      EXPECT_EQ(untouched.answersRead, 1u);
    }
  }
}

}  // namespace
}  // namespace quillnest::linuxhost::dns
