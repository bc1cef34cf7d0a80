#include "rules/filter_rules.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest {
namespace {

TEST(FilterRulesEqualityTest, ComparesSwitchAndListInOrder) {
  const FilterRules a(true, {"a.example", "b.example"});
  EXPECT_EQ(a, FilterRules(true, {"a.example", "b.example"}));
  EXPECT_NE(a, FilterRules(false, {"a.example", "b.example"}));
  EXPECT_NE(a, FilterRules(true, {"b.example", "a.example"}));
  EXPECT_NE(a, FilterRules(true, {"a.example", "b.example", "b.example"}));
  EXPECT_NE(a, FilterRules(true, {"a.example"}));
  EXPECT_NE(a, FilterRules(true, {"A.example", "b.example"}));
  EXPECT_NE(FilterRules(true, {""}), FilterRules(true, {}));
  EXPECT_EQ(FilterRules(false, {}), FilterRules::disabled());
  // Same list object, other switch.
  FilterRules copy = a;
  EXPECT_EQ(copy, a);
  copy = FilterRules(false, {"a.example", "b.example"});
  EXPECT_NE(copy, a);
}

TEST(FilterRulesStorageTest, CopiesShareTheList) {
  std::vector<std::string> domains;
  for (int i = 0; i < 1000; ++i) domains.push_back("a-rather-long-host-name-" + std::to_string(i));
  const FilterRules original(true, domains);
  const long before = original.sharedStorage().use_count();
  const char* text = original.domains()[0].data();
  {
    const FilterRules copy = original;  // NOLINT(performance-unnecessary-copy-initialization)
    EXPECT_EQ(copy.storage(), original.storage());
    EXPECT_EQ(original.sharedStorage().use_count(), before + 1);
    // The very same strings, not copies of them.
    EXPECT_EQ(copy.domains()[0].data(), text);
    FilterRules assigned = FilterRules::disabled();
    assigned = copy;
    EXPECT_EQ(assigned.storage(), original.storage());
    EXPECT_EQ(original.sharedStorage().use_count(), before + 2);
  }
  EXPECT_EQ(original.sharedStorage().use_count(), before);
  EXPECT_EQ(original.storage()->domains(), domains);
}

TEST(FilterRulesStorageTest, DisabledIsOneObjectAcrossThreads) {
  constexpr int kThreads = 8;
  std::vector<const FilterRules*> seen(kThreads, nullptr);
  std::vector<const DomainList*> lists(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &FilterRules::disabled();
      lists[i] = FilterRules::disabled().storage();
    });
  }
  for (std::thread& t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(seen[i], &FilterRules::disabled());
    EXPECT_EQ(lists[i], FilterRules::disabled().storage());
  }
  EXPECT_FALSE(FilterRules::disabled().isEnabled());
  EXPECT_TRUE(FilterRules::disabled().domains().empty());
  EXPECT_EQ(FilterRules::disabled(), makeFilterRules(false, {}));
  EXPECT_FALSE(FilterRules::disabled().matchesHost("example.com"));
}

}  // namespace
}  // namespace quillnest
