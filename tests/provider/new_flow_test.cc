#include "inspection/new_flow.h"

#include <gtest/gtest.h>

#include "tests/provider/provider_fixture.h"

namespace quillnest::testing {
namespace {

using Kind = NEFilterNewFlowVerdict::Kind;
using FK = FlowShape::Kind;
using EP = FlowShape::Endpoint;
constexpr int kTCP = kProtocolTCP;
constexpr int kUDP = kProtocolUDP;
const std::optional<std::string> kNone;

struct NewFlowCase {
  const char* name;
  bool enabled;
  FlowShape shape;
  Kind verdict;
  std::optional<std::string> blockedName;  // the block report's logged name
  bool entered;                            // in activeWebFlows, with reporting on
};

FlowShape shape(FK kind, EP endpoint, std::string port, int protocol,
                std::optional<std::string> urlHost, std::optional<std::string> remoteHostname,
                std::string endpointHostname = "198.51.100.2") {
  FlowShape s;
  s.kind = kind;
  s.endpoint = endpoint;
  s.port = std::move(port);
  s.protocol = protocol;
  s.urlHost = std::move(urlHost);
  s.remoteHostname = std::move(remoteHostname);
  s.endpointHostname = std::move(endpointHostname);
  return s;
}

const NewFlowCase kNewFlowCases[] = {
    {"disabled_blocked_name_allowed_and_entered", false,
     shape(FK::socket, EP::host, "443", kTCP, kNone, "ads.blocked.example"), Kind::allow, kNone,
     true},
    {"disabled_udp443_allowed", false, shape(FK::socket, EP::host, "443", kUDP, kNone, kNone),
     Kind::allow, kNone, true},
    {"other_port_blocked_url_allowed_not_entered", true,
     shape(FK::socket, EP::host, "8443", kTCP, "blocked.example", "blocked.example"), Kind::allow,
     kNone, false},
    {"port_with_leading_zero_is_not_web", true,
     shape(FK::socket, EP::host, "0443", kTCP, kNone, "blocked.example"), Kind::allow, kNone,
     false},
    {"remote_hostname_subdomain_blocked", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, "a.b.blocked.example"), Kind::drop,
     "a.b.blocked.example", true},
    {"blocked_name_logged_unnormalised", true,
     shape(FK::socket, EP::host, "80", kTCP, kNone, "WWW.Blocked.Example."), Kind::drop,
     "WWW.Blocked.Example.", true},
    {"url_host_wins_over_remote_hostname", true,
     shape(FK::socket, EP::host, "443", kTCP, "allowed.example", "blocked.example"), Kind::allow,
     kNone, true},
    {"url_host_blocked", true, shape(FK::socket, EP::host, "80", kTCP, "blocked.example", kNone),
     Kind::drop, "blocked.example", true},
    {"remote_hostname_wins_over_endpoint", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, "allowed.example", "blocked.example"),
     Kind::allow, kNone, true},
    {"endpoint_name_used", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "x.blocked.example"), Kind::drop,
     "x.blocked.example", true},
    {"endpoint_name_allowed", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "allowed.example"), Kind::allow, kNone,
     true},
    {"tcp443_ipv4_endpoint_held", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "198.51.100.2"), Kind::filterData,
     kNone, true},
    {"tcp443_bracketed_ipv6_held", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "[2001:db8::2]"), Kind::filterData,
     kNone, true},
    {"tcp443_zoned_ipv6_held", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "fe80::1%eth0"), Kind::filterData,
     kNone, true},
    {"udp443_no_host_dropped_silently", true,
     shape(FK::socket, EP::host, "443", kUDP, kNone, kNone), Kind::drop, kNone, true},
    {"port80_no_host_allowed", true, shape(FK::socket, EP::host, "80", kTCP, kNone, kNone),
     Kind::allow, kNone, true},
    {"port80_udp_no_host_allowed", true, shape(FK::socket, EP::host, "80", kUDP, kNone, kNone),
     Kind::allow, kNone, true},
    {"port443_other_protocol_allowed", true, shape(FK::socket, EP::host, "443", 132, kNone, kNone),
     Kind::allow, kNone, true},
    {"empty_remote_hostname_is_a_host_and_allowed", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, ""), Kind::allow, kNone, true},
    {"address_remote_hostname_is_a_host", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, "198.51.100.2"), Kind::allow, kNone, true},
    {"address_url_host_never_held", true,
     shape(FK::socket, EP::host, "443", kTCP, "198.51.100.2", kNone), Kind::allow, kNone, true},
    {"no_endpoint_judged_by_url_only", true,
     shape(FK::socket, EP::none, "443", kTCP, "blocked.example", kNone), Kind::drop,
     "blocked.example", false},
    {"no_endpoint_remote_hostname_ignored", true,
     shape(FK::socket, EP::none, "443", kTCP, kNone, "blocked.example"), Kind::allow, kNone, false},
    {"other_endpoint_kind_url_allowed", true,
     shape(FK::socket, EP::other, "443", kTCP, "allowed.example", "blocked.example"), Kind::allow,
     kNone, false},
    {"plain_flow_url_blocked", true, shape(FK::plain, EP::none, "", 0, "blocked.example", kNone),
     Kind::drop, "blocked.example", false},
    {"plain_flow_without_url_allowed", true, shape(FK::plain, EP::none, "", 0, kNone, kNone),
     Kind::allow, kNone, false},
    {"parent_of_entry_not_blocked", true,
     shape(FK::socket, EP::host, "443", kTCP, kNone, "example"), Kind::allow, kNone, true},
};

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

  if (c.blockedName) {
    EXPECT_EQ(logs(), (std::vector<LogRecord>{{LogLevel::debug,
                                               "Blocked hostname: %{public}s",
                                               {LogArgument::publicString(*c.blockedName)}}}));
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
    FlowShape s;
    s.remoteHostname = name;
    return p.handleNewFlow(makeFlow(s))->kind() == Kind::drop;
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

TEST_F(ProviderTest, SameFlowTwiceIsOneEntry) {
  startWith(true, {});
  const FlowRef flow = makeTLSFlow();
  provider->handleNewFlow(flow);
  provider->handleNewFlow(flow);
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);
}

TEST_F(ProviderTest, NullFlowIsAllowedAndNotEntered) {
  startWith(true, {"blocked.example"});
  EXPECT_EQ(provider->handleNewFlow(nullptr)->kind(), Kind::allow);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

struct HostnameCase {
  const char* name;
  FlowShape shape;
  std::optional<std::string> expected;
};

TEST(HostnameForFlowTest, SourcesInOrder) {
  const HostnameCase cases[] = {
      {"url", shape(FK::socket, EP::host, "443", kTCP, "u.example", "r.example", "e.example"),
       "u.example"},
      {"remote", shape(FK::socket, EP::host, "443", kTCP, kNone, "r.example", "e.example"),
       "r.example"},
      {"endpoint", shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "e.example"),
       "e.example"},
      {"endpoint_address", shape(FK::socket, EP::host, "443", kTCP, kNone, kNone, "::1"), kNone},
      {"other_endpoint", shape(FK::socket, EP::other, "443", kTCP, kNone, kNone), kNone},
      {"plain_url", shape(FK::plain, EP::none, "", 0, "u.example", kNone), "u.example"},
      {"plain_nothing", shape(FK::plain, EP::none, "", 0, kNone, kNone), kNone},
  };
  for (const auto& c : cases) {
    FlowShape s = c.shape;
    s.withURL = true;  // a URL without host must fall through to the next source
    EXPECT_EQ(hostnameForFlow(*makeFlow(s)), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace quillnest::testing
