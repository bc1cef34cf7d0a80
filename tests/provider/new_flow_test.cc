#include <gtest/gtest.h>

#include "tests/provider/provider_fixture.h"

namespace quillnest::testing {
namespace {

using Kind = NEFilterNewFlowVerdict::Kind;
using EP = FlowShape::Endpoint;
constexpr int kTCP = kProtocolTCP;
constexpr int kUDP = kProtocolUDP;
const std::optional<std::string> no;

FlowShape shape(std::string port, int protocol, std::optional<std::string> urlHost,
                std::optional<std::string> remote, std::string endpointHost = "198.51.100.2",
                EP endpoint = EP::host) {
  FlowShape s;
  s.withURL = true;  // a URL without host must fall through to the next source
  s.endpoint = endpoint;
  s.port = std::move(port);
  s.protocol = protocol;
  s.urlHost = std::move(urlHost);
  s.remoteHostname = std::move(remote);
  s.endpointHostname = std::move(endpointHost);
  return s;
}

FlowShape plain(std::optional<std::string> urlHost) {
  FlowShape s = shape("", 0, std::move(urlHost), no, "", EP::none);
  s.kind = FlowShape::Kind::plain;
  return s;
}

struct NewFlowCase {
  const char* name;
  bool enabled;
  FlowShape shape;
  Kind verdict;
  const char* logged;  // the block report's name, none when no report
  bool entered;        // in activeWebFlows, with reporting on
};
void PrintTo(const NewFlowCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
const NewFlowCase kNewFlowCases[] = {
    {"disabled_blocked_name_allowed", false, shape("443", kTCP, no, "ads.blocked.example"),
     Kind::allow, nullptr, true},
    {"disabled_udp443_allowed", false, shape("443", kUDP, no, no), Kind::allow, nullptr, true},
    {"other_port_not_entered", true, shape("8443", kTCP, "blocked.example", "blocked.example"),
     Kind::allow, nullptr, false},
    {"port_with_leading_zero_is_not_web", true, shape("0443", kTCP, no, "blocked.example"),
     Kind::allow, nullptr, false},
    {"remote_hostname_subdomain_blocked", true, shape("443", kTCP, no, "a.b.blocked.example"),
     Kind::drop, "a.b.blocked.example", true},
    {"blocked_name_logged_unnormalised", true, shape("80", kTCP, no, "WWW.Blocked.Example."),
     Kind::drop, "WWW.Blocked.Example.", true},
    {"url_host_wins_over_remote", true, shape("443", kTCP, "allowed.example", "blocked.example"),
     Kind::allow, nullptr, true},
    {"url_host_blocked", true, shape("80", kTCP, "blocked.example", no),
     Kind::drop, "blocked.example", true},
    {"remote_over_endpoint", true, shape("443", kTCP, no, "allowed.example", "blocked.example"),
     Kind::allow, nullptr, true},
    {"endpoint_name_used", true, shape("443", kTCP, no, no, "x.blocked.example"),
     Kind::drop, "x.blocked.example", true},
    {"tcp443_ipv4_endpoint_held", true, shape("443", kTCP, no, no),
     Kind::filterData, nullptr, true},
    {"tcp443_bracketed_ipv6_held", true, shape("443", kTCP, no, no, "[2001:db8::2]"),
     Kind::filterData, nullptr, true},
    {"tcp443_zoned_ipv6_held", true, shape("443", kTCP, no, no, "fe80::1%eth0"),
     Kind::filterData, nullptr, true},
    {"udp443_no_host_dropped_silently", true, shape("443", kUDP, no, no),
     Kind::drop, nullptr, true},
    {"port80_no_host_allowed", true, shape("80", kTCP, no, no), Kind::allow, nullptr, true},
    {"port80_udp_no_host_allowed", true, shape("80", kUDP, no, no), Kind::allow, nullptr, true},
    {"port443_other_protocol_allowed", true, shape("443", 132, no, no), Kind::allow, nullptr, true},
    {"empty_remote_hostname_is_a_host", true, shape("443", kTCP, no, ""),
     Kind::allow, nullptr, true},
    {"address_remote_hostname_is_a_host", true, shape("443", kTCP, no, "198.51.100.2"),
     Kind::allow, nullptr, true},
    {"address_url_host_never_held", true, shape("443", kTCP, "198.51.100.2", no),
     Kind::allow, nullptr, true},
    {"no_endpoint_judged_by_url", true, shape("443", kTCP, "blocked.example", no, "", EP::none),
     Kind::drop, "blocked.example", false},
    {"no_endpoint_remote_ignored", true, shape("443", kTCP, no, "blocked.example", "", EP::none),
     Kind::allow, nullptr, false},
    {"other_endpoint", true, shape("443", kTCP, "allowed.example", "blocked.example", "", EP::other),
     Kind::allow, nullptr, false},
    {"plain_flow_url_blocked", true, plain("blocked.example"),
     Kind::drop, "blocked.example", false},
    {"plain_flow_without_url_allowed", true, plain(no), Kind::allow, nullptr, false},
    {"parent_of_entry_not_blocked", true, shape("443", kTCP, no, "example"),
     Kind::allow, nullptr, true},
};
// clang-format on

class NewFlowVerdictTest : public ProviderTest,
                           public ::testing::WithParamInterface<NewFlowCase> {};

TEST_P(NewFlowVerdictTest, VerdictReportAndEntry) {
  const NewFlowCase& c = GetParam();
  startWith(c.enabled, {"blocked.example"});
  const FlowRef flow = makeFlow(c.shape);
  const NewFlowVerdictRef verdict = provider->handleNewFlow(flow);
  ASSERT_NE(verdict, nullptr);
  EXPECT_EQ(verdict->kind(), c.verdict);
  if (c.verdict == Kind::filterData) {
    EXPECT_FALSE(verdict->filterInbound());
    EXPECT_EQ(verdict->peekInboundBytes(), 0u);
    EXPECT_TRUE(verdict->filterOutbound());
    EXPECT_EQ(verdict->peekOutboundBytes(), 5u);
  }
  EXPECT_EQ(verdict->shouldReport(), c.entered);
  EXPECT_EQ(provider->hasActiveWebFlow(flow->identifier()), c.entered);
  EXPECT_EQ(provider->activeWebFlowCount(), c.entered ? 1u : 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  if (c.logged) {
    EXPECT_EQ(logs(), (std::vector<LogRecord>{{LogLevel::debug,
                                               "Blocked hostname: %{public}s",
                                               {LogArgument::publicString(c.logged)}}}));
    EXPECT_EQ(host->notifications(), std::vector<std::string>{"com.quillnest.mac.blocked"});
  } else {
    EXPECT_TRUE(logs().empty());
    EXPECT_TRUE(host->notifications().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, NewFlowVerdictTest, ::testing::ValuesIn(kNewFlowCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A thread keeps one copy of the rules for all providers: deciding for one provider must not
// hand its rules to another, before or after either changes.
TEST_F(ProviderTest, ProvidersOnOneThreadEachUseTheirOwnRules) {
  startWith(true, {"one.example"});
  auto otherHost = std::make_shared<RecordingHost>();
  auto other = FilterDataProvider::init(otherHost);
  otherHost->setRulesJSON(rulesJSON(true, {"two.example"}));
  other->startFilterWithCompletionHandler([](ErrorRef) {});
  otherHost->completeSettings(nullptr);
  const auto drops = [](FilterDataProvider& p, const char* name) {
    return p.handleNewFlow(makeFlow(shape("443", kTCP, no, name)))->kind() == Kind::drop;
  };
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(drops(*provider, "one.example"));
    EXPECT_FALSE(drops(*other, "one.example"));
    EXPECT_TRUE(drops(*other, "two.example"));
    EXPECT_FALSE(drops(*provider, "two.example"));
  }
  otherHost->changeRulesJSON(rulesJSON(true, {"one.example"}));
  EXPECT_TRUE(drops(*other, "one.example"));
  EXPECT_FALSE(drops(*other, "two.example"));
  EXPECT_FALSE(drops(*provider, "two.example"));
  EXPECT_EQ(otherHost->lockViolations(), 0);
}

TEST_F(ProviderTest, SameFlowTwiceIsOneEntryAndNullIsAllowed) {
  startWith(true, {"blocked.example"});
  EXPECT_EQ(provider->handleNewFlow(nullptr)->kind(), Kind::allow);
  const FlowRef flow = makeTLSFlow();
  provider->handleNewFlow(flow);
  provider->handleNewFlow(flow);
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);
}

}  // namespace
}  // namespace quillnest::testing
