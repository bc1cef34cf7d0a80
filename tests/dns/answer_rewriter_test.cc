// DNS answers through the rewriter: built with ldns from presentation text, read back the same way.
#include "hosts/linux/dns/answer_rewriter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/dns/dns_messages.h"

namespace quillnest::linuxhost::dns {
namespace {

TEST(AnswerRewriter, EchGoesOnlyFromServiceBindingsOfBlockedChains) {
  struct Case {
    const char* what;
    Message message;
    AnswerOutcome outcome;
    unsigned removed;
  };
  const std::vector<Case> cases = {
      {"blocked name: ech gone, alpn kept",
       {"www.blocked.example.", "HTTPS", {"www.blocked.example." + kHttps + kEch}},
       AnswerOutcome::rewritten,
       1},
      {"allowed name",
       {"www.allowed.example.", "HTTPS", {"www.allowed.example." + kHttps + kEch}},
       AnswerOutcome::unchanged,
       0},
      {"look-alike of a blocked name",
       {"notblocked.example.", "HTTPS", {"notblocked.example." + kHttps + kEch}},
       AnswerOutcome::unchanged,
       0},
      {"CNAME chain into a blocked name",
       {"alias.example.",
        "HTTPS",
        {"alias.example. 300 IN CNAME step.example.",
         "step.example. 300 IN CNAME cdn.blocked.example.",
         "cdn.blocked.example." + kHttps + kEch}},
       AnswerOutcome::rewritten,
       1},
      {"blocked question, CNAME out to a CDN name",
       {"WWW.Blocked.Example.",
        "HTTPS",
        {"www.blocked.example. 300 IN CNAME front.cdn.example.",
         "front.cdn.example." + kHttps + kEch}},
       AnswerOutcome::rewritten,
       1},
      {"SVCB with ech alone, ipv6hint after it",
       {"_8443._foo.blocked.example.",
        "SVCB",
        {"_8443._foo.blocked.example. 300 IN SVCB 1 svc.example. " + std::string(kEch),
         "_8443._foo.blocked.example. 300 IN SVCB 2 svc2.example. " + std::string(kEch) +
             " ipv6hint=2001:db8::1"}},
       AnswerOutcome::rewritten,
       2},
      {"several records, an A among them and one without ech",
       {"blocked.example.",
        "HTTPS",
        {"blocked.example." + kHttps + kEch, "blocked.example. 300 IN HTTPS 2 . alpn=h2",
         "blocked.example. 300 IN HTTPS 3 alt.example. port=8443 " + std::string(kEch),
         "blocked.example. 300 IN A 192.0.2.1"},
        {"alt.example. 300 IN HTTPS 1 . " + std::string(kEch)}},
       AnswerOutcome::rewritten,
       3},
      {"A and AAAA of a blocked name",
       {"blocked.example.",
        "A",
        {"blocked.example. 300 IN A 192.0.2.1", "blocked.example. 300 IN AAAA 2001:db8::2"}},
       AnswerOutcome::unchanged,
       0},
      {"a query, not an answer",
       {"blocked.example.", "HTTPS", {"blocked.example." + kHttps + kEch}, {}, false},
       AnswerOutcome::notAnAnswer,
       0},
  };
  for (bool keepLength : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (keepLength ? " (length kept)" : ""));
      const Bytes wire = wireOf(c.message);
      const AnswerEdit edit = rewriteAnswer(wire, policy(keepLength));
      EXPECT_EQ(edit.outcome, c.outcome);
      EXPECT_EQ(edit.echRemoved, c.removed);
      if (c.outcome != AnswerOutcome::rewritten) {
        EXPECT_TRUE(edit.message.empty());
        continue;
      }
      if (!keepLength) {
        EXPECT_LE(edit.message.size(), wire.size());
        EXPECT_NE(read(edit.message), read(wire));
        EXPECT_EQ(read(edit.message), withoutEch(read(wire)));
        EXPECT_EQ(read(edit.message), withoutEch(read(edit.message)));
        continue;
      }
      // Same length, same records; each ech holds one configuration of an unknown version.
      ASSERT_EQ(edit.message.size(), wire.size());
      EXPECT_EQ(withoutEch(read(edit.message)), withoutEch(read(wire)));
      const Bytes unusable = unusableEchConfigList(64);
      std::size_t found = 0;
      for (auto at = std::search(edit.message.begin(), edit.message.end(), unusable.begin(),
                                 unusable.end());
           at != edit.message.end();
           at = std::search(at + 1, edit.message.end(), unusable.begin(), unusable.end()))
        ++found;
      EXPECT_EQ(found, c.removed);
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

TEST(AnswerRewriter, UnreadableAnswersPassAndAreCounted) {
  const Bytes good =
      wireOf({"www.blocked.example.", "HTTPS", {"www.blocked.example." + kHttps + kEch}});
  Bytes countsTooLarge = good;
  countsTooLarge[7] = 9;  // ANCOUNT
  Bytes pointerLoop = good;
  pointerLoop[12] = 0xc0;  // the question name points at itself
  pointerLoop[13] = 12;
  Bytes twoTsig = good;  // ldns would keep one and leak the other
  twoTsig[11] = 2;       // ARCOUNT
  for (int i = 0; i < 2; ++i) twoTsig.insert(twoTsig.end(), {0, 0, 0xfa, 0, 0xff, 0, 0, 0, 0, 0, 0});
  for (const Bytes& bad :
       {Bytes(good.begin(), good.begin() + good.size() / 2), Bytes(good.begin(), good.begin() + 11),
        Bytes{}, countsTooLarge, pointerLoop, twoTsig}) {
    SCOPED_TRACE(bad.size());
    EXPECT_EQ(rewriteAnswer(bad, policy()).outcome, AnswerOutcome::unparsed);
    EXPECT_EQ(rewriteAnswer(bad, policy(true)).outcome, AnswerOutcome::unparsed);
  }
}

Bytes framed(const std::vector<Bytes>& messages) {
  Bytes out;
  for (const auto& message : messages) {
    out.push_back(static_cast<std::uint8_t>(message.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(message.size()));
    out.insert(out.end(), message.begin(), message.end());
  }
  return out;
}

TEST(AnswerRewriter, TcpSegmentsKeepTheirLengthAndHoldWholeMessagesOnly) {
  const Bytes blocked =
      wireOf({"www.blocked.example.", "HTTPS", {"www.blocked.example." + kHttps + kEch}});
  const Bytes allowed =
      wireOf({"www.allowed.example.", "HTTPS", {"www.allowed.example." + kHttps + kEch}});
  const Bytes two = framed({allowed, blocked});
  StreamEdit edit = rewriteTcpPayload(two, policy());
  EXPECT_EQ(edit.outcome, AnswerOutcome::rewritten);
  EXPECT_EQ(edit.answersRead, 2u);
  EXPECT_EQ(edit.echRemoved, 1u);
  ASSERT_EQ(edit.payload.size(), two.size());
  // The allowed message byte for byte, the blocked one with the same records and length.
  EXPECT_TRUE(std::equal(two.begin(), two.begin() + 2 + allowed.size(), edit.payload.begin()));
  const Bytes second(edit.payload.begin() + 4 + allowed.size(), edit.payload.end());
  EXPECT_EQ(withoutEch(read(second)), withoutEch(read(blocked)));
  EXPECT_NE(second, blocked);

  EXPECT_EQ(rewriteTcpPayload(framed({allowed}), policy()).outcome, AnswerOutcome::unchanged);
  EXPECT_EQ(rewriteTcpPayload({}, policy()).answersRead, 0u);
  // A message cut by the segment's end, and a segment that starts inside one.
  const Bytes cut(two.begin(), two.end() - 1);
  const Bytes inside(two.begin() + 1, two.end());
  for (const Bytes& partial : {cut, inside}) {
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

}  // namespace
}  // namespace quillnest::linuxhost::dns
