// The adapter writes only the lines it has a literal os_log call for; anything else goes out as
// rendered text. These tests pin which calls count as a known line, and check that every line the
// core really writes is one of them, so a format changed in the core cannot silently lose its
// structure (or its privacy marks) on macOS.
#include "hosts/macos/log_lines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "provider/filter_data_provider.h"
#include "tests/support/recording_host.h"

namespace quillnest::macos {
namespace {

LogArgument privateString(std::string text) { return {std::move(text), Privacy::privateData}; }
LogArgument privateInt64(std::int64_t value) { return {value, Privacy::privateData}; }
LogArgument publicInt64(std::int64_t value) { return {value, Privacy::publicData}; }

struct LineCase {
  const char* name;
  std::string format;
  std::vector<LogArgument> arguments;
  std::optional<KnownLogLine> expected;
};

// Keeps test names readable in ctest (no byte dump of the parameter).
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

class MacosLogLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(MacosLogLine, MatchesFormatAndArgumentShape) {
  const LineCase& c = GetParam();
  EXPECT_EQ(recognizeLogLine(c.format, c.arguments), c.expected);
}

const std::string kRules = QUILLNEST_LOG_RULES_UPDATED;
const std::string kSettings = QUILLNEST_LOG_SETTINGS_FAILED;
const std::string kStopped = QUILLNEST_LOG_FILTER_STOPPED;
const std::string kBlocked = QUILLNEST_LOG_BLOCKED_HOSTNAME;
const std::string kBlockedTLS = QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME;

INSTANTIATE_TEST_SUITE_P(
    Lines, MacosLogLine,
    ::testing::Values(
        LineCase{"RulesUpdated",
                 kRules,
                 {LogArgument::int32(1), LogArgument::int64(3), LogArgument::int64(0)},
                 KnownLogLine::rulesUpdated},
        LineCase{"SettingsFailed",
                 kSettings,
                 {LogArgument::string("denied")},
                 KnownLogLine::settingsFailed},
        LineCase{"SettingsFailedExplicitlyPrivate",
                 kSettings,
                 {privateString("denied")},
                 KnownLogLine::settingsFailed},
        LineCase{"FilterStopped", kStopped, {LogArgument::int64(-5)}, KnownLogLine::filterStopped},
        LineCase{"FilterStoppedExplicitlyPublic",
                 kStopped,
                 {publicInt64(2)},
                 KnownLogLine::filterStopped},
        LineCase{"Blocked",
                 kBlocked,
                 {LogArgument::publicString("Ads.Example.")},
                 KnownLogLine::blockedHostname},
        LineCase{"BlockedTLS",
                 kBlockedTLS,
                 {LogArgument::publicString("ads.example")},
                 KnownLogLine::blockedTLSHostname},
        LineCase{"BlockedEmptyName",
                 kBlocked,
                 {LogArgument::publicString("")},
                 KnownLogLine::blockedHostname},
        // Privacy that the literal format would not keep.
        LineCase{"SettingsErrorMarkedPublic",
                 kSettings,
                 {LogArgument::publicString("denied")},
                 std::nullopt},
        LineCase{"BlockedNameNotMarkedPublic",
                 kBlocked,
                 {LogArgument::string("ads.example")},
                 std::nullopt},
        LineCase{
            "BlockedNameMarkedPrivate", kBlockedTLS, {privateString("ads.example")}, std::nullopt},
        LineCase{"StopReasonMarkedPrivate", kStopped, {privateInt64(1)}, std::nullopt},
        // Types the conversions do not take.
        LineCase{"BoolAsInt64",
                 kRules,
                 {LogArgument::int64(1), LogArgument::int64(3), LogArgument::int64(0)},
                 std::nullopt},
        LineCase{"CountAsInt32",
                 kRules,
                 {LogArgument::int32(1), LogArgument::int32(3), LogArgument::int64(0)},
                 std::nullopt},
        LineCase{"ReasonAsString", kStopped, {LogArgument::publicString("1")}, std::nullopt},
        LineCase{"NameAsNumber", kBlocked, {publicInt64(7)}, std::nullopt},
        // Counts.
        LineCase{"TooFewArguments",
                 kRules,
                 {LogArgument::int32(1), LogArgument::int64(3)},
                 std::nullopt},
        LineCase{"TooManyArguments",
                 kStopped,
                 {LogArgument::int64(1), LogArgument::int64(2)},
                 std::nullopt},
        LineCase{"NoArguments", kBlocked, {}, std::nullopt},
        // Formats that are close but not the same.
        LineCase{"TrailingSpace", kStopped + " ", {LogArgument::int64(1)}, std::nullopt},
        LineCase{"OtherCase", "filter stopped: %ld", {LogArgument::int64(1)}, std::nullopt},
        LineCase{"PrefixOnly", "Filter stopped: ", {}, std::nullopt},
        LineCase{"Empty", "", {}, std::nullopt}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

// A minimal TLS 1.2 ClientHello record with one server_name extension.
Bytes clientHello(const std::string& serverName) {
  Bytes sni;
  const auto put16 = [](Bytes& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
  };
  put16(sni, serverName.size() + 3);  // server_name_list
  sni.push_back(0);                   // host_name
  put16(sni, serverName.size());
  sni.insert(sni.end(), serverName.begin(), serverName.end());

  Bytes body{0x03, 0x03};
  body.insert(body.end(), 32, 0x11);  // random
  body.push_back(0);                  // session id
  put16(body, 2);
  body.insert(body.end(), {0x13, 0x01});
  body.insert(body.end(), {0x01, 0x00});  // compression: null
  put16(body, sni.size() + 4);
  put16(body, 0);  // server_name
  put16(body, sni.size());
  body.insert(body.end(), sni.begin(), sni.end());

  Bytes record{0x16, 0x03, 0x01};
  put16(record, body.size() + 4);
  record.push_back(0x01);  // client_hello
  record.push_back(0);
  put16(record, body.size());
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

TEST(MacosCoreLogLines, EveryLineTheCoreWritesHasALiteralCall) {
  auto host = std::make_shared<testing::RecordingHost>();
  auto provider = FilterDataProvider::init(host);
  host->setRulesJSON(testing::rulesJSON(true, {"blocked.example"}));
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  host->completeSettings(std::make_shared<const NSError>("NEFilterErrorDomain", 1, "denied"));

  testing::FlowShape named;
  named.port = "80";
  named.remoteHostname = "WWW.Blocked.Example.";
  provider->handleNewFlow(testing::makeFlow(named));

  const FlowRef tls = testing::makeTLSFlow();
  provider->handleNewFlow(tls);
  const Bytes hello = clientHello("cdn.blocked.example");
  provider->handleOutboundDataFromFlow(tls, 0, hello);

  provider->stopFilterWithReason(2, [] {});

  std::vector<KnownLogLine> seen;
  for (const testing::LogRecord& record : host->logger().records()) {
    const std::optional<KnownLogLine> line = recognizeLogLine(record.format, record.arguments);
    ASSERT_TRUE(line.has_value()) << "no literal os_log call for: " << record.format;
    seen.push_back(*line);
  }
  EXPECT_EQ(seen, (std::vector<KnownLogLine>{
                      KnownLogLine::rulesUpdated, KnownLogLine::settingsFailed,
                      KnownLogLine::blockedHostname, KnownLogLine::blockedTLSHostname,
                      KnownLogLine::filterStopped}));
}

}  // namespace
}  // namespace quillnest::macos
