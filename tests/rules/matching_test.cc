#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace quillnest {
namespace {

struct MatchCase {
  std::string name;
  std::vector<std::string> domains;
  std::string host;
  bool expected;
};

std::vector<MatchCase> matchCases() {
  using namespace std::string_literals;
  const std::string d = "ads.example.com";
  // clang-format off
  return {
      {"EmptyHost", {d, ""}, "", false},
      {"SpacesOnlyHost", {d, " "}, "   ", false},
      {"DotsOnlyHost", {d, "."}, "...", false},
      {"ExactEntry", {d}, d, true},
      {"SubdomainUpperCaseTrailingDot", {d}, "WWW.Ads.Example.COM.", true},
      {"DeepSubdomain", {d}, "a.b.c.ads.example.com", true},
      {"SurroundingSpaces", {d}, "  ads.example.com  ", true},
      {"TrailingNewline", {d}, "x.ads.example.com\n", true},
      {"NonAsciiSpaceAround", {d}, "\xE3\x80\x80x.ads.example.com\xC2\x85", true},
      {"SpaceBeforeTrailingDot", {d}, "ads.example.com .", false},
      {"ParentOfEntry", {d}, "example.com", false},
      {"LastLabelMerelyEndsWithEntry", {d}, "badads.example.com", false},
      {"HostGoesOnAfterEntry", {d}, "ads.example.com.evil", false},
      {"ShorterPartOfEntry", {d}, "ads.example", false},
      {"TopLevelEntry", {"com"}, "anything.at.all.com", true},
      {"TopLevelEntryItself", {"com"}, "COM", true},
      {"TopLevelEntryOtherTld", {"com"}, "example.org", false},
      {"EmptyEntry", {""}, "example.com", false},
      {"TrailingDotEntry", {"example.com."}, "example.com", false},
      {"TrailingDotEntryVsDottedHost", {"example.com."}, "a.example.com.", false},
      {"UpperCaseEntry", {"Example.com"}, "example.com", false},
      {"UpperCaseEntryUpperHost", {"Example.com"}, "Example.com", false},
      {"LeadingDotEntryPlainHost", {".example.com"}, "a.example.com", false},
      {"LeadingDotEntryItself", {".example.com"}, ".example.com", true},
      {"LeadingDotEntryTwoDots", {".example.com"}, "a..example.com", true},
      {"LeadingDotsEntry", {"..example.com"}, "a...example.com", true},
      {"SpaceEntry", {" example.com"}, "a. example.com", true},
      {"SpaceEntryPlainHost", {" example.com"}, "a.example.com", false},
      {"WildcardIsLiteral", {"*.example.com"}, "a.example.com", false},
      {"WildcardLiteralHost", {"*.example.com"}, "x.*.example.com", true},
      {"EmptyList", {}, "example.com", false},
      {"AddressLiteralExact", {"192.0.2.1"}, "192.0.2.1", true},
      {"AddressLiteralAfterDot", {"0.2.1"}, "192.0.2.1", true},
      {"AddressLiteralNoDot", {"2.1"}, "192.0.2.11", false},
      {"NonAsciiEntry", {"b\xC3\xBC" "cher.example"}, "WWW.B\xC3\x9C" "CHER.example", true},
      {"MalformedBytes", {"\xFF.example"}, "a.\xFF.EXAMPLE", true},
      {"NulInside", {"b\0c"s}, "a.B\0C"s, true},
      {"SecondEntryMatches", {"x.example", d, "y.example"}, "q.ads.example.com", true},
      {"DuplicatesAndBlanks", {"", "", d, d, " "}, "ads.example.com", true},
  };
  // clang-format on
}

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class MatchesHostTest : public testing::TestWithParam<MatchCase> {};

TEST_P(MatchesHostTest, AnswersAsTheWalk) {
  const MatchCase& c = GetParam();
  const FilterRules rules(true, c.domains);
  EXPECT_EQ(rules.matchesHost(c.host), c.expected);
  EXPECT_EQ(matchesHostByWalk(c.domains, c.host), c.expected);
  // The switch is the callers' business.
  EXPECT_EQ(FilterRules(false, c.domains).matchesHost(c.host), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, MatchesHostTest, testing::ValuesIn(matchCases()),
                         [](const testing::TestParamInfo<MatchCase>& info) {
                           return info.param.name;
                         });

TEST(MakeFilterRulesTest, NormalisesTheList) {
  const FilterRules rules = makeFilterRules(true, {"B.example.", "", "a.example", " b.example "});
  EXPECT_TRUE(rules.isEnabled());
  EXPECT_EQ(rules.domains(), (std::vector<std::string>{"a.example", "b.example"}));
  // Entries that could never match as written now do.
  EXPECT_TRUE(rules.matchesHost("x.b.example"));
  EXPECT_FALSE(FilterRules(true, {"B.example."}).matchesHost("x.b.example"));
  EXPECT_EQ(FilterRules::disabled(), makeFilterRules(false, {}));
  EXPECT_NE(FilterRules(false, {""}), FilterRules::disabled());
}

// Small alphabets make collisions between hosts and entries common, so both answers get tested.
std::string randomName(std::mt19937& rng) {
  static const std::vector<std::string> pieces = {
      "a", "b", "ab",       "A",        "B",        ".",    ".", ".",   " ", "\t",
      "",  "x", "\xC3\x84", "\xC3\xA4", "\xC2\xA0", "\xFF", "*", "com", "e"};
  std::uniform_int_distribution<std::size_t> count(0, 7);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::string name;
  for (std::size_t n = count(rng); n > 0; --n) name += pieces[pick(rng)];
  return name;
}

// The index against the walk, as FilterRules uses it (hosts as given; entries as written and
// normalised), with the hash intact and with most of its bits masked off (long probe chains that
// wrap around the table's end, equal tags everywhere), on many small lists and a few large ones,
// with entries that are suffixes of one another.
TEST(DomainListTest, IndexAgreesWithWalkUnderCollisions) {
  std::mt19937 rng(20261206);
  std::size_t matches = 0;
  std::size_t checks = 0;
  for (const std::uint64_t mask :
       {~std::uint64_t{0}, std::uint64_t{0xC000000000000003}, std::uint64_t{0}}) {
    for (int list = 0; list < 103; ++list) {
      constexpr std::size_t kLarge[] = {100, 1000, 3000};
      const std::size_t size = list < 100 ? rng() % 41 : kLarge[list - 100];
      std::vector<std::string> domains;
      for (std::size_t i = 0; i < size; ++i) domains.push_back(randomName(rng));
      // Some entries only as suffixes of others, and a few unrelated long names.
      if (size > 2) domains.insert(domains.end(), {"b.a", "a", ".a", "a.", "x.b.a"});
      for (std::size_t i = 0; i < size / 10; ++i)
        domains.push_back("n" + std::to_string(i) + ".net");
      const std::vector<std::string> normalizedList = normalizedDomains(domains);
      const FilterRules rules(std::make_shared<const DomainList>(domains, mask), true);
      const FilterRules normalized(std::make_shared<const DomainList>(normalizedList, mask), true);
      ASSERT_EQ(rules.domains(), domains);
      // Heavy duplication here: the first of equals, as the index tells it, against a search.
      const std::vector<bool> first = rules.storage()->firstOfEquals();
      for (std::size_t i = 0; i < domains.size(); ++i) {
        const auto earlier = std::find(domains.begin(), domains.end(), domains[i]);
        ASSERT_EQ(first[i], earlier == domains.begin() + static_cast<std::ptrdiff_t>(i)) << i;
      }
      for (int h = 0; h < (list < 100 ? 200 : 100); ++h) {
        std::string host = randomName(rng);
        // Hosts built on entries reach the positive side often.
        if (!domains.empty() && h % 4 < 2) {
          const std::string& entry = domains[rng() % domains.size()];
          host = randomName(rng) + "." + entry + (h % 4 == 0 ? "" : randomName(rng));
        }
        if (h % 4 == 2 && size >= 10) host = "n" + std::to_string(rng() % (size / 10 + 1)) + ".net";
        const bool expected = matchesHostByWalk(domains, host);
        ASSERT_EQ(rules.matchesHost(host), expected)
            << "host [" << host << "] list " << list << " mask " << std::hex << mask;
        ASSERT_EQ(normalized.matchesHost(host), matchesHostByWalk(normalizedList, host))
            << "host [" << host << "] list " << list << " mask " << std::hex << mask;
        matches += expected ? 1 : 0;
        ++checks;
      }
    }
  }
  // Both outcomes must be well represented for the comparison to mean anything.
  EXPECT_GT(matches, checks / 8);
  EXPECT_LT(matches, checks * 9 / 10);
}

}  // namespace
}  // namespace quillnest
