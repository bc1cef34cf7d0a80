#include "rules/filter_rules.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest {
namespace {

// Equality (switch, then the list in order) decides whether a change resets flows: the reset
// table of the provider tests pins it.
TEST(FilterRulesTest, CopiesShareTheListAndItsStrings) {
  std::vector<std::string> domains;
  for (int i = 0; i < 1000; ++i) domains.push_back("a-rather-long-host-name-" + std::to_string(i));
  const FilterRules original(true, domains);
  const long before = original.sharedStorage().use_count();
  {
    FilterRules assigned = FilterRules::disabled();
    assigned = original;
    EXPECT_EQ(assigned.storage(), original.storage());
    EXPECT_EQ(assigned.domains()[0].data(), original.domains()[0].data());
    EXPECT_EQ(original.sharedStorage().use_count(), before + 1);
  }
  EXPECT_EQ(original.sharedStorage().use_count(), before);
  EXPECT_EQ(original.storage()->domains(), domains);
}

TEST(FilterRulesTest, DisabledIsOneObjectAcrossThreads) {
  constexpr int kThreads = 8;
  std::vector<const DomainList*> lists(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] { lists[i] = FilterRules::disabled().storage(); });
  }
  for (std::thread& t : threads) t.join();
  for (const DomainList* list : lists) EXPECT_EQ(list, FilterRules::disabled().storage());
  EXPECT_EQ(FilterRules::disabled(), makeFilterRules(false, {}));
  EXPECT_NE(FilterRules(false, {""}), FilterRules::disabled());
  EXPECT_FALSE(FilterRules::disabled().matchesHost("example.com"));
}

}  // namespace
}  // namespace quillnest
