// Which core log calls the adapter writes through a literal os_log call: a near miss in count, type
// or privacy must fall back to rendered text rather than pick a call whose privacy differs.
#include "hosts/macos/log_lines.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillnest::macos {
namespace {

using A = LogArgument;
using K = KnownLogLine;

TEST(MacosLogLine, MatchesFormatAndArgumentShape) {
  const A yes = A::int32(1);
  const A count = A::int64(3);
  const A privateName{std::string("ads.example"), Privacy::privateData};
  const A privateCount{std::int64_t{1}, Privacy::privateData};
  const std::string rules = QUILLNEST_LOG_RULES_UPDATED;
  const std::string settings = QUILLNEST_LOG_SETTINGS_FAILED;
  const std::string stopped = QUILLNEST_LOG_FILTER_STOPPED;
  const std::string blocked = QUILLNEST_LOG_BLOCKED_HOSTNAME;
  const std::string blockedTLS = QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME;
  struct Case {
    const char* name;
    std::string format;
    std::vector<A> arguments;
    std::optional<K> expected;
  };
  const Case cases[] = {
      {"rules updated", rules, {yes, count, A::int64(0)}, K::rulesUpdated},
      {"settings failed", settings, {A::string("denied")}, K::settingsFailed},
      {"filter stopped", stopped, {A::int64(-5)}, K::filterStopped},
      {"blocked", blocked, {A::publicString("Ads.Example.")}, K::blockedHostname},
      {"blocked TLS", blockedTLS, {A::publicString("ads.example")}, K::blockedTLSHostname},
      {"blocked empty name", blocked, {A::publicString("")}, K::blockedHostname},
      {"settings error marked private", settings, {privateName}, K::settingsFailed},
      {"stop reason marked public",
       stopped,
       {A{std::int64_t{2}, Privacy::publicData}},
       K::filterStopped},
      // Privacy that the literal format would not keep.
      {"settings error public", settings, {A::publicString("denied")}, std::nullopt},
      {"blocked name not public", blocked, {A::string("ads.example")}, std::nullopt},
      {"blocked TLS name private", blockedTLS, {privateName}, std::nullopt},
      {"stop reason private", stopped, {privateCount}, std::nullopt},
      // Types the conversions do not take.
      {"bool as int64", rules, {A::int64(1), count, A::int64(0)}, std::nullopt},
      {"count as int32", rules, {yes, A::int32(3), A::int64(0)}, std::nullopt},
      {"reason as string", stopped, {A::publicString("1")}, std::nullopt},
      {"name as number", blocked, {A::int64(7)}, std::nullopt},
      // Counts, and formats close to a known one.
      {"too few", rules, {yes, count}, std::nullopt},
      {"too many", stopped, {A::int64(1), A::int64(2)}, std::nullopt},
      {"none", blocked, {}, std::nullopt},
      {"trailing space", stopped + " ", {A::int64(1)}, std::nullopt},
      {"other case", "filter stopped: %ld", {A::int64(1)}, std::nullopt},
      {"empty", "", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(recognizeLogLine(c.format, c.arguments), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace quillnest::macos
