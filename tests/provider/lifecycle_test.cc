// Start, stop, settings, configuration changes (and the resets they call for) and flow reports.
#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <tuple>

#include "tests/provider/provider_fixture.h"

namespace quillnest::testing {
namespace {

const LogRecord rulesUpdated(bool enabled, std::int64_t domains, std::int64_t resets) {
  return {LogLevel::defaultLevel,
          "Rules updated: enabled=%{bool}d domains=%ld reset_flows=%ld",
          {LogArgument::int32(enabled ? 1 : 0), LogArgument::int64(domains),
           LogArgument::int64(resets)}};
}

// The completion waits for the settings and gets their very error, after its log line; nothing is
// undone on an error: changes still apply.
TEST_F(ProviderTest, StartCompletesWithTheSettingsOutcome) {
  // Before start: the disabled rules, no observation, the logger already made.
  EXPECT_EQ(provider->currentRules().storage(), FilterRules::disabled().storage());
  EXPECT_FALSE(provider->hasConfigurationObservation());
  EXPECT_EQ(host->logger().subsystem(), "com.quillnest.mac.filter");
  EXPECT_EQ(host->logger().category(), "filter");
  const ErrorRef rejected =
      std::make_shared<NSError>("NEFilterErrorDomain", 1, "configuration invalid");
  for (int round = 1; const ErrorRef& outcome : {ErrorRef(), rejected}) {
    SCOPED_TRACE(outcome ? "rejected" : "accepted");
    host->setRulesJSON(rulesJSON(true, {"a.example", "b.example"}));
    std::vector<std::string> order;
    ErrorRef received = std::make_shared<NSError>("unset", 0, "unset");
    provider->startFilterWithCompletionHandler([&](ErrorRef error) {
      order.push_back("completion:" + std::to_string(logs().size()));
      received = error;
    });
    EXPECT_TRUE(order.empty()) << "the completion waits for the settings";
    EXPECT_EQ(logs(), std::vector<LogRecord>{rulesUpdated(true, 2, 0)})
        << "observing applies nothing";
    EXPECT_EQ(host->observationsCreated(), round);
    EXPECT_EQ(host->lastObservationOptions(), 1u);
    ASSERT_EQ(host->settingsApplied(), round++);
    EXPECT_TRUE(host->lastSettings().rules().empty());
    EXPECT_EQ(host->lastSettings().defaultAction(), NEFilterAction::filterData);
    host->completeSettings(outcome);
    EXPECT_EQ(received.get(), outcome.get());
    ASSERT_EQ(order, std::vector<std::string>{outcome ? "completion:2" : "completion:1"})
        << "the error line comes first";
    if (outcome) {
      EXPECT_EQ(logs()[1], (LogRecord{LogLevel::error,
                                      "Unable to apply filter settings: %s",
                                      {LogArgument::string("configuration invalid")}}));
      EXPECT_TRUE(logs()[1].arguments[0].isPrivate());
    }
    host->changeRulesJSON(rulesJSON(false, {}));
    EXPECT_EQ(provider->currentRules(), FilterRules(false, {}));
    provider->stopFilterWithReason(0, [] {});
    host->clearRecords();
  }
}

TEST_F(ProviderTest, ChangeDuringStartIsApplied) {
  // Arriving while start's own applyRules runs: its load is older than the change's.
  host->setRulesJSON(rulesJSON(false, {}));
  host->afterNextConfigurationRead(
      [&] { host->changeRulesJSON(rulesJSON(true, {"mid.example"})); });
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  EXPECT_EQ(provider->currentRules(), FilterRules(true, {"mid.example"}));
  EXPECT_EQ(logs(), std::vector<LogRecord>{rulesUpdated(true, 1, 0)})
      << "the older load stores nothing";
  // Arriving before the settings complete.
  host->changeRulesJSON(rulesJSON(true, {"late.example"}));
  EXPECT_EQ(provider->currentRules(), FilterRules(true, {"late.example"}));
  host->completeSettings(nullptr);
}

TEST_F(ProviderTest, StopEmptiesMapsKeepsRulesAndSilencesChanges) {
  provider->handleNewFlow(makeTLSFlow());  // before any start
  int completions = 0;
  provider->stopFilterWithReason(-7, [&] { ++completions; });
  EXPECT_EQ(completions, 1);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(logs(),
            (std::vector<LogRecord>{
                {LogLevel::defaultLevel, "Filter stopped: %ld", {LogArgument::int64(-7)}}}));
  startWith(true, {"a.example"});
  const FlowRef flow = makeTLSFlow();
  provider->handleNewFlow(flow);
  const std::vector<std::uint8_t> header{22, 3, 1, 2, 0};
  provider->handleOutboundDataFromFlow(flow, 0, asBytes(header));
  ASSERT_EQ(provider->outboundBufferCount(), 1u);

  provider->stopFilterWithReason(std::numeric_limits<std::int64_t>::max(), [] {});
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  EXPECT_FALSE(provider->hasConfigurationObservation());
  EXPECT_EQ(host->liveObservations(), 0);
  EXPECT_TRUE(host->updates().empty()) << "stop drops no flow";
  EXPECT_EQ(provider->currentRules(), FilterRules(true, {"a.example"}));

  host->clearRecords();
  host->changeRulesJSON(rulesJSON(false, {}));
  EXPECT_TRUE(logs().empty());
  EXPECT_EQ(provider->currentRules(), FilterRules(true, {"a.example"}));
}

TEST_F(ProviderTest, ProviderReleasedInsideItsOwnChangeHandler) {
  startWith(true, {});
  // The handler's strong reference is the last one once the test lets go.
  std::thread changer([this, p = std::move(provider)]() mutable {
    auto keep = std::move(p);
    host->setRulesJSON(rulesJSON(true, {"x.example"}));
    keep.reset();
    host->fireConfigurationChange();
  });
  changer.join();
  EXPECT_EQ(host->liveObservations(), 0);
}

TEST_F(ProviderTest, ReportsRemoveBothEntriesOnlyOnClose) {
  // The event, whether the report names the flow, whether its entries go.
  const std::tuple<std::int64_t, bool, bool> cases[] = {
      {3, true, true}, {1, true, false}, {4, true, false}, {-3, true, false}, {3, false, false}};
  startWith(true, {"blocked.example"});
  const std::vector<std::uint8_t> header{22, 3, 1, 2, 0};
  for (const auto& [event, withFlow, removes] : cases) {
    const FlowRef flow = makeTLSFlow();
    const FlowRef other = makeTLSFlow();
    provider->handleNewFlow(flow);
    provider->handleNewFlow(other);
    provider->handleOutboundDataFromFlow(flow, 0, asBytes(header));
    provider->handleOutboundDataFromFlow(other, 0, asBytes(header));

    provider->handleReport({event, withFlow ? flow : nullptr});
    provider->handleReport({3, makeTLSFlow()});  // a flow never tracked
    EXPECT_EQ(provider->hasActiveWebFlow(flow->identifier()), !removes) << event;
    EXPECT_EQ(provider->outboundBuffer(flow->identifier()).has_value(), !removes) << event;
    EXPECT_TRUE(provider->hasActiveWebFlow(other->identifier())) << event;
    EXPECT_TRUE(provider->outboundBuffer(other->identifier()).has_value()) << event;

    provider->handleReport({3, flow});
    provider->handleReport({3, flow});  // a second close changes nothing
    provider->handleReport({3, other});
    EXPECT_EQ(provider->activeWebFlowCount(), 0u);
    EXPECT_EQ(provider->outboundBufferCount(), 0u);
  }
  EXPECT_TRUE(logs().empty());
}

struct ResetCase {
  const char* name;
  bool oldEnabled;
  std::vector<std::string> oldDomains;
  bool newEnabled;
  std::vector<std::string> newDomains;
  bool resetDue;
};
void PrintTo(const ResetCase& c, std::ostream* os) { *os << c.name; }

// clang-format off
const ResetCase kResetCases[] = {
    {"on_same_list", true, {"a.example", "b.example"}, true, {"a.example", "b.example"}, false},
    {"on_reordered_list", true, {"a.example", "b.example"}, true, {"b.example", "a.example"}, true},
    {"on_duplicate_added", true, {"a.example"}, true, {"a.example", "a.example"}, true},
    {"on_case_differs", true, {"a.example"}, true, {"A.example"}, true},
    {"turned_on_empty_list", false, {}, true, {}, true},
    {"turned_on_same_list", false, {"a.example"}, true, {"a.example"}, true},
    {"turned_off", true, {"a.example"}, false, {"a.example", "b.example", ""}, false},
    {"off_list_changed", false, {"a.example"}, false, {"b.example"}, false},
    {"on_both_empty", true, {}, true, {}, false},
};
// clang-format on

class ResetTableTest : public ProviderTest, public ::testing::WithParamInterface<ResetCase> {};

TEST_P(ResetTableTest, ResetsOpenWebFlowsWhenDue) {
  const ResetCase& c = GetParam();
  startWith(c.oldEnabled, c.oldDomains);
  std::set<UUID> open;
  for (int i = 0; i < 3; ++i) {
    const FlowRef flow = makeTLSFlow();
    provider->handleNewFlow(flow);
    open.insert(flow->identifier());
  }
  FlowShape notWeb;
  notWeb.port = "22";
  provider->handleNewFlow(makeFlow(notWeb));
  host->clearRecords();

  host->changeRulesJSON(rulesJSON(c.newEnabled, c.newDomains));

  const std::int64_t expectedResets = c.resetDue ? 3 : 0;
  EXPECT_EQ(logs(),
            std::vector<LogRecord>{rulesUpdated(
                c.newEnabled, static_cast<std::int64_t>(c.newDomains.size()), expectedResets)});
  const auto updates = host->updates();
  ASSERT_EQ(updates.size(), static_cast<std::size_t>(expectedResets));
  std::set<UUID> updated;
  std::set<const NEFilterDataVerdict*> verdictObjects;
  for (const auto& update : updates) {
    updated.insert(update.flow->identifier());
    verdictObjects.insert(update.verdict.get());
    EXPECT_EQ(update.verdict->kind(), NEFilterDataVerdict::Kind::drop);
    EXPECT_EQ(update.direction, NETrafficDirection::any);
  }
  if (c.resetDue) {
    EXPECT_EQ(updated, open);
    EXPECT_EQ(verdictObjects.size(), updates.size()) << "each flow gets its own verdict";
  }
  // Reset flows stay tracked until their closed report.
  EXPECT_EQ(provider->activeWebFlowCount(), 3u);
  EXPECT_EQ(provider->currentRules(), FilterRules(c.newEnabled, c.newDomains));
}

INSTANTIATE_TEST_SUITE_P(Rules, ResetTableTest, ::testing::ValuesIn(kResetCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Flows can arrive before start, when the old rules are the disabled value; a restart with the
// rules unchanged resets nothing though a flow is open; a reset due with nothing open updates
// nothing; a second change drops the same open flows again.
TEST_F(ProviderTest, ResetsAcrossStartsWithNothingOpenAndTwice) {
  provider->handleNewFlow(makeTLSFlow());
  host->setRulesJSON(rulesJSON(true, {"a.example"}));
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  EXPECT_EQ(host->updates().size(), 1u);
  provider->stopFilterWithReason(0, [] {});
  provider->handleNewFlow(makeTLSFlow());
  host->clearRecords();
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  EXPECT_TRUE(host->updates().empty());
  EXPECT_EQ(logs(), std::vector<LogRecord>{rulesUpdated(true, 1, 0)});
  EXPECT_EQ(host->liveObservations(), 1);
  provider->stopFilterWithReason(0, [] {});
  startWith(false, {});
  host->changeRulesJSON(rulesJSON(true, {"a.example"}));
  EXPECT_TRUE(host->updates().empty());
  ASSERT_EQ(logs().size(), 1u);
  EXPECT_EQ(logs()[0].arguments[2], LogArgument::int64(0));
  provider->handleNewFlow(makeTLSFlow());
  host->changeRulesJSON(rulesJSON(true, {"b.example"}));
  host->changeRulesJSON(rulesJSON(true, {"c.example"}));
  EXPECT_EQ(host->updates().size(), 2u);
}

TEST_F(ProviderTest, AQuietThreadLetsGoOfReplacedRulesOnly) {
  startWith(true, {"a.example"});
  const std::weak_ptr<const DomainList> first = provider->currentRules().sharedStorage();
  // A thread of its own: its copy of the rules starts empty.
  std::thread([&] {
    provider->handleNewFlow(makeTLSFlow());  // the thread now holds a copy of the rules
    provider->releaseReplacedRules();        // still the current ones: kept
    host->changeRulesJSON(rulesJSON(true, {"b.example"}));
    EXPECT_FALSE(first.expired()) << "the thread's copy keeps the replaced list";
    provider->releaseReplacedRules();
    EXPECT_TRUE(first.expired());
    provider->handleNewFlow(makeTLSFlow());  // decides with the new list
  }).join();
  EXPECT_EQ(provider->currentRules(), FilterRules(true, {"b.example"}));
}

// What reaches loadRules from the configuration: only bytes under "filterRules" are read, and
// bytes that do not decode give the disabled rules themselves.
TEST_F(ProviderTest, LoadRulesReadsOnlyBytesUnderTheKey) {
  const std::string valid = rulesJSON(true, {"a.example"});
  const Bytes validBytes(valid.begin(), valid.end());
  struct Case {
    const char* name;
    ConfigurationRef configuration;
    bool loads;
  };
  auto vendor = [](VendorConfiguration dictionary) {
    return std::make_shared<NEFilterProviderConfiguration>(std::move(dictionary));
  };
  const Case cases[] = {
      {"no_configuration", nullptr, false},
      {"no_vendor_dictionary", std::make_shared<NEFilterProviderConfiguration>(), false},
      {"empty_dictionary", vendor({}), false},
      {"other_key", vendor({{"rules", validBytes}}), false},
      {"string_holding_json", vendor({{"filterRules", valid}}), false},
      {"number", vendor({{"filterRules", std::int64_t{1}}}), false},
      {"other_kind", vendor({{"filterRules", OtherValue{"NSDictionary"}}}), false},
      {"bytes_not_json", vendor({{"filterRules", Bytes{'{', 'n', 'o'}}}), false},
      {"bytes", vendor({{"filterRules", validBytes}}), true},
      {"bytes_beside_other_keys", vendor({{"filterRules", validBytes}, {"x", true}}), true},
  };
  for (const auto& c : cases) {
    host->setConfiguration(c.configuration);
    const FilterRules loaded = provider->loadRules();
    EXPECT_EQ(loaded, c.loads ? FilterRules(true, {"a.example"}) : FilterRules::disabled())
        << c.name;
    EXPECT_EQ(loaded.storage() == FilterRules::disabled().storage(), !c.loads) << c.name;
  }
}

}  // namespace
}  // namespace quillnest::testing
