// A big list's index built on a second thread while the list is decoded. Under ThreadSanitizer a
// read of an entry before it is final fails the run; the checks catch an index that differs from
// the one built after decoding, and a builder left running over freed blocks when decoding fails.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "rules/filter_rules.h"

namespace quillnest::testing {
namespace {

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

// Long enough for the thread, with duplicates, escapes and entries that are suffixes of others.
std::string bigList(std::size_t count, std::string_view tail) {
  std::mt19937 rng(5);
  std::string json = "{\"isEnabled\":true,\"domains\":[";
  for (std::size_t i = 0; i < count; ++i) {
    if (i != 0) json += ",\n";
    const std::size_t n = rng() % (count / 2);
    json += i % 97 == 0 ? "\"w\\u0077w.n" + std::to_string(n) + ".example\""
                        : "\"n" + std::to_string(n) + (i % 5 == 0 ? ".example\"" : ".test\"");
  }
  json += tail;
  return json;
}

TEST(IndexAlongside, SameIndexAsBuiltAfterwards) {
  const std::vector<std::uint8_t> json = bytesOf(bigList(150000, "]}"));
  const DecodeResult after = decodeFilterRules(json);
  const DecodeResult alongside = decodeFilterRules(json, 0, {.indexAlongside = true});
  ASSERT_TRUE(after.rules && alongside.rules);
  const DomainList& a = *after.rules->storage();
  const DomainList& b = *alongside.rules->storage();
  ASSERT_EQ(a.domains(), b.domains());
  EXPECT_EQ(a.firstOfEquals(), b.firstOfEquals());
  for (std::size_t n = 0; n < 80000; n += 7) {
    for (const std::string& name :
         {"n" + std::to_string(n) + ".test", "www.n" + std::to_string(n) + ".example"}) {
      ASSERT_EQ(a.firstEqual(name), b.firstEqual(name)) << name;
      ASSERT_EQ(a.matchesNormalizedHost("x." + name), b.matchesNormalizedHost("x." + name));
    }
  }
}

TEST(IndexAlongside, DecodingThatFailsLateStopsTheBuilder) {
  for (const char* tail : {"]", "],\"isEnabled\":true}", ",7]}", "]} x"}) {
    SCOPED_TRACE(tail);
    const DecodeResult result =
        decodeFilterRules(bytesOf(bigList(100000, tail)), 0, {.indexAlongside = true});
    EXPECT_FALSE(result.rules);
    EXPECT_FALSE(result.error.message.empty());
  }
}

}  // namespace
}  // namespace quillnest::testing
