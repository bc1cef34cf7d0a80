#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "tests/provider/provider_fixture.h"

namespace quillnest::testing {
namespace {

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
  EXPECT_EQ(
      logs(),
      (std::vector<LogRecord>{{LogLevel::defaultLevel,
                               "Rules updated: enabled=%{bool}d domains=%ld reset_flows=%ld",
                               {LogArgument::int32(c.newEnabled ? 1 : 0),
                                LogArgument::int64(static_cast<std::int64_t>(c.newDomains.size())),
                                LogArgument::int64(expectedResets)}}}));
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

// Flows can arrive before start, when the old rules are the disabled value; a reset due with
// nothing open updates nothing; a second change drops the same open flows again.
TEST_F(ProviderTest, ResetsBeforeStartWithNothingOpenAndTwice) {
  provider->handleNewFlow(makeTLSFlow());
  host->setRulesJSON(rulesJSON(true, {}));
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  EXPECT_EQ(host->updates().size(), 1u);
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

TEST_F(ProviderTest, UnreadableConfigurationAppliesAsDisabled) {
  startWith(true, {"a.example"});
  provider->handleNewFlow(makeTLSFlow());
  host->changeRulesJSON("{not json");
  EXPECT_TRUE(host->updates().empty());
  EXPECT_EQ(provider->currentRules(), FilterRules::disabled());
  EXPECT_EQ(provider->currentRules().storage(), FilterRules::disabled().storage());
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

// What reaches loadRules from the configuration: only bytes under "filterRules" are read.
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
      {"bytes", vendor({{"filterRules", validBytes}}), true},
      {"bytes_beside_other_keys", vendor({{"filterRules", validBytes}, {"x", true}}), true},
  };
  for (const auto& c : cases) {
    host->setConfiguration(c.configuration);
    const FilterRules loaded = provider->loadRules();
    EXPECT_EQ(loaded, c.loads ? FilterRules(true, {"a.example"}) : FilterRules::disabled())
        << c.name;
  }
}

}  // namespace
}  // namespace quillnest::testing
