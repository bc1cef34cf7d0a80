// DNS answers through the rewriter, alone, in TCP segments and in IP packets (lengths and
// checksums included): built with ldns from presentation text and read back the same way.
#include "hosts/linux/dns/answer_rewriter.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "hosts/linux/dns/answer_packet.h"
#include "hosts/linux/dns/encrypted_dns.h"
#include "hosts/linux/dns/ldns_include.h"
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

std::vector<std::string> withoutEch(std::vector<std::string> lines) {
  for (auto& line : lines) line = std::regex_replace(line, std::regex(" ech=[^ \n]*"), "");
  return lines;
}

AnswerPolicy policy(bool keepLength = false, bool closeEncryptedDns = true) {
  const auto isBlocked = [](std::string_view name) {
    return name == "blocked.example" || name.ends_with(".blocked.example");
  };
  return {isBlocked, closeEncryptedDns, keepLength};
}

// An HTTPS record offering ECH (and alpn, which stays).
std::string https(const std::string& owner) {
  return owner + " 300 IN HTTPS 1 . alpn=h2,h3 " + kEch;
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

TEST(AnswerRewriter, EchGoesOnlyFromServiceBindingsOfBlockedChains) {
  const std::string ech = kEch;
  struct Case {
    const char* what;
    Message message;
    AnswerOutcome outcome;
    unsigned removed;
  };
  using R = std::vector<std::string>;
  using enum AnswerOutcome;
  // clang-format off
  const std::vector<Case> cases = {
      {"blocked name: ech gone, alpn kept", httpsAnswer("www.blocked.example."), rewritten, 1},
      {"allowed name", httpsAnswer("www.allowed.example."), unchanged, 0},
      {"look-alike of a blocked name", httpsAnswer("notblocked.example."), unchanged, 0},
      {"CNAME chain into a blocked name", {"alias.example.", "HTTPS",
       R{"alias.example. 300 IN CNAME step.example.",
         "step.example. 300 IN CNAME cdn.blocked.example.", https("cdn.blocked.example.")}},
       rewritten, 1},
      {"blocked question, CNAME out to a CDN name", {"WWW.Blocked.Example.", "HTTPS",
       R{"www.blocked.example. 300 IN CNAME front.cdn.example.", https("front.cdn.example.")}},
       rewritten, 1},
      {"SVCB with ech alone, ipv6hint after it", {"_8443._foo.blocked.example.", "SVCB",
       R{"_8443._foo.blocked.example. 300 IN SVCB 1 svc.example. " + ech,
         "_8443._foo.blocked.example. 300 IN SVCB 2 svc2.example. " + ech +
             " ipv6hint=2001:db8::1"}},
       rewritten, 2},
      {"several records, an A among them and one without ech", {"blocked.example.", "HTTPS",
       R{https("blocked.example."), "blocked.example. 300 IN HTTPS 2 . alpn=h2",
         "blocked.example. 300 IN HTTPS 3 alt.example. port=8443 " + ech,
         "blocked.example. 300 IN A 192.0.2.1"}, R{"alt.example. 300 IN HTTPS 1 . " + ech}},
       rewritten, 3},
      {"A and AAAA of a blocked name", {"blocked.example.", "A",
       R{"blocked.example. 300 IN A 192.0.2.1", "blocked.example. 300 IN AAAA 2001:db8::2"}},
       unchanged, 0},
      {"a query, not an answer", httpsAnswer("blocked.example.", false), notAnAnswer, 0},
  };
  // clang-format on
  const Bytes unusable = unusableEchConfigList(64);
  for (bool keepLength : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (keepLength ? " (length kept)" : ""));
      const Bytes wire = wireOf(c.message);
      const AnswerEdit edit = rewriteAnswer(wire, policy(keepLength));
      EXPECT_EQ(edit.outcome, c.outcome);
      EXPECT_EQ(edit.echRemoved, c.removed);
      if (c.outcome != AnswerOutcome::rewritten) {
        EXPECT_TRUE(edit.message.empty());
      } else if (!keepLength) {
        EXPECT_LE(edit.message.size(), wire.size());
        EXPECT_NE(read(edit.message), read(wire));
        EXPECT_EQ(read(edit.message), withoutEch(read(wire)));
        EXPECT_EQ(read(edit.message), withoutEch(read(edit.message)));
      } else {
        // Same length, same records; each ech holds one configuration of an unknown version.
        ASSERT_EQ(edit.message.size(), wire.size());
        EXPECT_EQ(withoutEch(read(edit.message)), withoutEch(read(wire)));
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
  const Message canary{
      "use-application-dns.net.", "A", {"use-application-dns.net. 300 IN A 192.0.2.9"}};
  const Message relay{"Mask.iCloud.com.", "AAAA", {"mask.icloud.com. 300 IN AAAA 2001:db8::9"}};
  const Message discovery{
      "_dns.resolver.arpa.", "SVCB", {"_dns.resolver.arpa. 300 IN SVCB 1 dns.example. alpn=dot"}};
  const std::vector<std::string> nameError{"rcode 3"}, noData{"rcode 0"};
  for (const auto& [message, expected] :
       {std::pair{canary, nameError}, std::pair{relay, nameError}, std::pair{discovery, noData}}) {
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

// Truncated, malformed and ldns-unsafe answers pass unchanged and are counted, alone, in a TCP
// segment and in a packet.
TEST(AnswerRewriter, UnreadableAnswersPassAndAreCounted) {
  Bytes countsTooLarge = kBlocked;
  countsTooLarge[7] = 9;  // ANCOUNT
  Bytes pointerLoop = kBlocked;
  pointerLoop[12] = 0xc0;  // the question name points at itself
  pointerLoop[13] = 12;
  Bytes twoTsig = kBlocked;  // ldns would keep one and leak the other
  twoTsig[11] = 2;           // ARCOUNT
  for (int i = 0; i < 2; ++i)
    twoTsig.insert(twoTsig.end(), {0, 0, 0xfa, 0, 0xff, 0, 0, 0, 0, 0, 0});
  for (const Bytes& bad : {Bytes(kBlocked.begin(), kBlocked.begin() + kBlocked.size() / 2),
                           Bytes(kBlocked.begin(), kBlocked.begin() + 11), Bytes{}, countsTooLarge,
                           pointerLoop, twoTsig}) {
    SCOPED_TRACE(bad.size());
    EXPECT_EQ(rewriteAnswer(bad, policy()).outcome, AnswerOutcome::unparsed);
    EXPECT_EQ(rewriteAnswer(bad, policy(true)).outcome, AnswerOutcome::unparsed);
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
  // A packet cut short, and a bare ACK of a DNS connection, which is nothing to read.
  Bytes cutPacket = buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolUDP, kBlocked));
  cutPacket.resize(30);
  EXPECT_EQ(rewriteAnswerPacket(cutPacket, policy()).unparsed, 1u);
  const PacketEdit ack = rewriteAnswerPacket(
      buildPacket(answerFrom53(hosts::IpFamily::v4, hosts::kIpProtocolTCP, {})), policy());
  EXPECT_FALSE(ack.rewritten);
  EXPECT_EQ(ack.unparsed + ack.answersRead, 0u);
}

TEST(AnswerRewriter, TcpSegmentsKeepTheirLengthAndHoldWholeMessagesOnly) {
  const Bytes two = framed({kAllowed, kBlocked});
  StreamEdit edit = rewriteTcpPayload(two, policy());
  EXPECT_EQ(edit.outcome, AnswerOutcome::rewritten);
  EXPECT_EQ(edit.answersRead, 2u);
  EXPECT_EQ(edit.echRemoved, 1u);
  ASSERT_EQ(edit.payload.size(), two.size());
  // The allowed message byte for byte, the blocked one with the same records and length.
  EXPECT_TRUE(std::equal(two.begin(), two.begin() + 2 + kAllowed.size(), edit.payload.begin()));
  const Bytes second(edit.payload.begin() + 4 + kAllowed.size(), edit.payload.end());
  EXPECT_EQ(withoutEch(read(second)), withoutEch(read(kBlocked)));
  EXPECT_NE(second, kBlocked);

  EXPECT_EQ(rewriteTcpPayload(framed({kAllowed}), policy()).outcome, AnswerOutcome::unchanged);
  EXPECT_EQ(rewriteTcpPayload({}, policy()).answersRead, 0u);
  // A message cut by the segment's end, and a segment that starts inside one.
  for (const Bytes& partial :
       {Bytes(two.begin(), two.end() - 1), Bytes(two.begin() + 1, two.end())}) {
    StreamEdit bad = rewriteTcpPayload(partial, policy());
    EXPECT_EQ(bad.outcome, AnswerOutcome::unparsed);
    EXPECT_EQ(bad.unparsed, 1u);
    EXPECT_EQ(bad.answersRead, 0u);
  }
}

TEST(AnswerRewriter, UnusableEchConfigListIsWellFormed) {
  EXPECT_EQ(unusableEchConfigList(6), (Bytes{0, 4, 0xff, 0x00, 0, 0}));
  const Bytes big = unusableEchConfigList(300);
  EXPECT_EQ(big.size(), 300u);
  EXPECT_EQ((big[0] << 8 | big[1]), 298);
  EXPECT_EQ((big[4] << 8 | big[5]), 294);
}

// The rewritten packet is exactly what a sender of the new answer would have sent.
TEST(AnswerPacket, RewrittenPacketsCarryTheirOwnLengthsAndChecksums) {
  for (auto family : {hosts::IpFamily::v4, hosts::IpFamily::v6}) {
    for (auto protocol : {hosts::kIpProtocolUDP, hosts::kIpProtocolTCP}) {
      SCOPED_TRACE(std::to_string(static_cast<int>(family)) + "/" + std::to_string(protocol));
      const bool tcp = protocol == hosts::kIpProtocolTCP;
      PacketLayout layout = answerFrom53(family, protocol, tcp ? framed({kBlocked}) : kBlocked);
      const PacketEdit edit = rewriteAnswerPacket(buildPacket(layout), policy());
      ASSERT_TRUE(edit.rewritten);
      EXPECT_EQ(edit.answersRead, 1u);
      EXPECT_EQ(edit.echRemoved, 1u);
      const auto parsed = hosts::parseIpPacket(edit.packet);
      ASSERT_EQ(parsed.status, hosts::ParseStatus::ok);
      layout.payload.assign(parsed.packet.payload.begin(), parsed.packet.payload.end());
      EXPECT_EQ(edit.packet, buildPacket(layout));
      if (tcp) {
        EXPECT_EQ(layout.payload.size(), kBlocked.size() + 2);
      } else {
        EXPECT_LT(layout.payload.size(), kBlocked.size());
        EXPECT_EQ(read(layout.payload), withoutEch(read(kBlocked)));
      }
      const PacketEdit untouched = rewriteAnswerPacket(
          buildPacket(answerFrom53(family, protocol, tcp ? framed({kAllowed}) : kAllowed)),
          policy());
      EXPECT_FALSE(untouched.rewritten);
      EXPECT_TRUE(untouched.packet.empty());
      EXPECT_EQ(untouched.answersRead, 1u);
    }
  }
}

TEST(ResolverList, ReadsNamesCommentsAndBlanks) {
  EXPECT_EQ(parseResolverList("# list\n  DNS.Google.\n\ncloudflare-dns.com # main\r\ndns.google\n"),
            (std::vector<std::string>{"cloudflare-dns.com", "dns.google"}));
  EXPECT_TRUE(parseResolverList("").empty());
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

}  // namespace
}  // namespace quillnest::linuxhost::dns
