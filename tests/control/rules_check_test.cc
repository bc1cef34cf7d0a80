#include "hosts/linux/control/rules_check.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillnest::linuxhost {
namespace {

using ::testing::HasSubstr;

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(EntryProblem, EntriesThatCanNeverMatch) {
  struct Case {
    std::string entry;
    std::string reasonPart;  // empty: fine
  };
  const std::vector<Case> cases = {
      {"example.com", ""},
      {"xn--bcher-kva.example", ""},
      {"sub_domain.example.com", ""},
      {"", "empty"},
      {"   ", "nothing but white space"},
      {"...", "nothing but white space and dots"},
      {"Example.com", "upper case"},
      {"example.com.", "trailing dot"},
      {" example.com", "white space at either end"},
      {"example.com\t", "white space at either end"},
      {"example.com. ", "trailing dot"},
      {"*.example.com", "no wildcard"},
      {"ads.*.example.com", "no wildcard"},
      {"https://example.com/path", "URL"},
      {"||y.example^", "Adblock syntax"},
      {"example.com:443", "a port"},
      {"2001:db8::1", ""},
      {"[2001:db8::1]", "\"[\", a character"},
      {"a b.example", "white space inside"},
      {"a..b.example", "empty label"},
      {".example.com", "empty label"},
      {std::string(63, 'a') + ".example", ""},
      {std::string(64, 'a') + ".example", "label over 63"},
      {std::string(250, 'a').insert(60, ".").insert(120, ".").insert(180, ".").insert(240, ".") +
           ".example",
       "over 253 bytes"},
      {"b\xC3\xBC"
       "cher.example",
       "flows carry the A-label form \"xn--bcher-kva.example\""},
      {"\xCC\x81x.example", "invalid under UTS #46"},
      {"\xC3\x84pfel.example", "normalised form"},  // "Ä": a non-ASCII capital
      {"\xE3\x80\x80"
       "example.com",
       "normalised form"},  // ideographic space in front
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.entry);
    const std::string reason = entryProblem(c.entry);
    EXPECT_EQ(reason.empty(), c.reasonPart.empty()) << reason;
    EXPECT_THAT(reason, HasSubstr(c.reasonPart));
  }
}

TEST(DomainEntryLines, FindsTheLineOfEveryEntry) {
  using Lines = std::vector<std::size_t>;
  struct Case {
    std::string name;
    std::string json;
    Lines lines;
  };
  const std::vector<Case> cases = {
      {"one per line",
       "{\n \"isEnabled\": true,\n \"domains\": [\n  \"a.com\",\n  \"b.com\"\n ]\n}", Lines{4, 5}},
      {"all on one line", R"({"isEnabled":true,"domains":["a.com","b.com","c.com"]})",
       Lines{1, 1, 1}},
      {"CRLF line ends",
       "{\r\n\"domains\": [\r\n\"a.com\",\r\n\"b.com\"],\r\n\"isEnabled\": false}", Lines{3, 4}},
      {"strings with escapes, brackets and commas",
       "{\"isEnabled\":true,\n\"domains\":[\"a\\\"],[\",\n\"b\\\\\"]}", Lines{2, 3}},
      {"other arrays and nested objects first",
       "{\"notes\":[\"x\",\"y\"],\n\"meta\":{\"domains\":[\"nested.com\"]},\n\"isEnabled\":true,\n"
       "\"domains\":[\n\"real.com\"]}",
       Lines{5}},
      {"empty list", R"({"isEnabled":true,"domains":[]})", Lines{}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(domainEntryLines(c.json), c.lines);
  }
}

TEST(CheckRules, ReportsEveryProblemWithItsLine) {
  const std::string json =
      "{\n"
      "  \"isEnabled\": true,\n"
      "  \"domains\": [\n"
      "    \"example.com\",\n"      // 4
      "    \"Ads.Example.com\",\n"  // 5
      "    \"tracker.net.\",\n"     // 6
      "    \" spaced.org\",\n"      // 7
      "    \"\",\n"                 // 8
      "    \"example.com\",\n"      // 9: duplicate of 4
      "    \"*.wild.io\",\n"        // 10
      "    \"x.example.com\",\n"    // 11: covered by 4
      "    \"ads.tracker.net\"\n"   // 12: not covered (line 6 is not normalised)
      "  ]\n"
      "}\n";
  const RulesCheck check = checkRules(bytes(json));
  ASSERT_TRUE(check.loads) << check.error;
  EXPECT_TRUE(check.isEnabled);
  EXPECT_EQ(check.entryCount, 9u);
  std::vector<std::pair<std::size_t, std::string>> found;
  for (const auto& p : check.problems) found.emplace_back(p.line, p.entry);
  const std::vector<std::pair<std::size_t, std::string>> expected = {
      {5, "Ads.Example.com"}, {6, "tracker.net."}, {7, " spaced.org"},   {8, ""},
      {9, "example.com"},     {10, "*.wild.io"},   {11, "x.example.com"}};
  EXPECT_EQ(found, expected);
  EXPECT_THAT(check.problems[4].reason, HasSubstr("duplicate of entry 1 (line 4)"));
  EXPECT_TRUE(check.problems[4].redundant);
  EXPECT_EQ(check.problems[6].reason, "covered by entry 1 (line 4) \"example.com\"");
  EXPECT_TRUE(check.problems[6].redundant);
  EXPECT_FALSE(check.problems[5].redundant);
}

TEST(CheckRules, FilesThatDoNotLoadSayWhy) {
  struct Case {
    std::string json;
    std::string errorPart;
  };
  const std::vector<Case> cases = {
      {"", "empty"},
      {"{\"isEnabled\":true}", "\"domains\""},
      {"{\"domains\":[]}", "\"isEnabled\""},
      {"{\"isEnabled\":1,\"domains\":[]}", "\"isEnabled\""},
      {"[\"a.com\"]", "not a JSON object"},
      {"{\"isEnabled\":true,\"domains\":[\"a.com\",]}", "JSON"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    const RulesCheck check = checkRules(bytes(c.json));
    EXPECT_FALSE(check.loads);
    EXPECT_THAT(check.error, HasSubstr(c.errorPart));
  }
}

}  // namespace
}  // namespace quillnest::linuxhost
