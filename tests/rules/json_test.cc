#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "rules/filter_rules.h"
#include "tests/support/rules_json_reference.h"

namespace quillnest {
namespace {

std::span<const std::uint8_t> bytesOf(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct DecodeCase {
  std::string name;
  std::string json;
  std::optional<FilterRules> expected;  // absent: the text is rejected
  std::string errorPart;                // part of the message when rejected
};

std::vector<DecodeCase> decodeCases() {
  using namespace std::string_literals;
  const auto rules = [](bool on, std::vector<std::string> d) {
    return std::optional<FilterRules>(FilterRules(on, std::move(d)));
  };
  const std::optional<FilterRules> no;
  // clang-format off
  return {
      {"EnabledWithDomains", R"({"isEnabled":true,"domains":["a.example","b.example"]})",
       rules(true, {"a.example", "b.example"}), ""},
      {"DisabledWithDomains", R"({"isEnabled":false,"domains":["a.example"]})",
       rules(false, {"a.example"}), ""},
      {"KeysInOtherOrder", R"({"domains":["x"],"isEnabled":true})", rules(true, {"x"}), ""},
      {"UnknownKeysIgnored",
       R"({"version":3,"isEnabled":true,"extra":{"domains":1},"domains":["x"],"Domains":null})",
       rules(true, {"x"}), ""},
      {"UnknownKeyTwiceIgnored", R"({"n":1,"n":2,"isEnabled":true,"domains":[]})",
       rules(true, {}), ""},
      {"EntriesAsWritten",
       R"({"isEnabled":true,"domains":["Ads.Example."," x.example ","","x.example","x.example"]})",
       rules(true, {"Ads.Example.", " x.example ", "", "x.example", "x.example"}), ""},
      {"EscapesDecoded", R"({"isEnabled":true,"domains":["a\u002eb","\u00c4\n","q\"\\/"]})",
       rules(true, {"a.b", "\xC3\x84\n", "q\"\\/"}), ""},
      {"EscapedNulKept", R"({"isEnabled":true,"domains":["a\u0000b"]})",
       rules(true, {"a\0b"s}), ""},
      {"EscapedKeyName", R"({"is\u0045nabled":true,"domains":[]})", rules(true, {}), ""},
      {"SurrogatePairDecoded", R"({"isEnabled":true,"domains":["\ud83d\ude00"]})",
       rules(true, {"\xF0\x9F\x98\x80"}), ""},
      {"WhiteSpaceAround", " \n{ \"isEnabled\" : false , \"domains\" : [ ] }\n ",
       rules(false, {}), ""},
      {"RawUnicodeEntry", "{\"isEnabled\":true,\"domains\":[\"b\xC3\xBC" "cher.example\"]}",
       rules(true, {"b\xC3\xBC" "cher.example"}), ""},
      {"Empty", "", no, "empty"},
      {"NotJson", "isEnabled=true", no, "not valid JSON"},
      {"TruncatedObject", R"({"isEnabled":true,"domains":["a")", no, "not valid JSON"},
      {"TrailingGarbage", R"({"isEnabled":true,"domains":[]} x)", no, "not valid JSON"},
      {"TopLevelArray", R"([{"isEnabled":true,"domains":[]}])", no, "not a JSON object"},
      {"TopLevelNull", "null", no, "not a JSON object"},
      {"MissingDomains", R"({"isEnabled":true})", no, R"(key "domains" is missing)"},
      {"MissingIsEnabled", R"({"domains":["a"]})", no, R"(key "isEnabled" is missing)"},
      {"KeyCaseMatters", R"({"isenabled":true,"domains":[]})", no, "isEnabled"},
      {"IsEnabledNull", R"({"isEnabled":null,"domains":[]})", no, "is null"},
      {"IsEnabledNumber", R"({"isEnabled":1,"domains":[]})", no, "is a number"},
      {"IsEnabledString", R"({"isEnabled":"true","domains":[]})", no, "is a string"},
      {"DomainsString", R"({"isEnabled":true,"domains":"a.example"})", no, "not an array"},
      {"DomainsObject", R"({"isEnabled":true,"domains":{"0":"a"}})", no, "not an array"},
      {"ElementNumber", R"({"isEnabled":true,"domains":["a","b","c",4]})",
       no, R"("domains" element 3 is a number)"},
      {"ElementNull", R"({"isEnabled":true,"domains":[null]})",
       no, R"("domains" element 0 is null)"},
      {"ElementArray", R"({"isEnabled":true,"domains":["a",["b"]]})", no, "element 1 is an array"},
      {"IsEnabledTwice", R"({"isEnabled":true,"domains":[],"isEnabled":false})",
       no, R"(key "isEnabled" appears more than once)"},
      {"DomainsTwice", R"({"isEnabled":true,"domains":[],"domains":["a"]})",
       no, R"(key "domains" appears more than once)"},
      {"InvalidUtf8InEntry", "{\"isEnabled\":true,\"domains\":[\"a\xFF\"]}", no, "not valid JSON"},
      {"InvalidUtf8InUnknownKey", "{\"x\xC0\":1,\"isEnabled\":true,\"domains\":[]}",
       no, "not valid JSON"},
      {"LoneSurrogateEscape", R"({"isEnabled":true,"domains":["\ud800"]})", no, ""},
      // A bad escape, then a byte no JSON has after a string: the reader gives up mid-list.
      {"BadEscapeThenStrayByte", "{\"domains\":[\"\\ud8le.\",\" x\"\x01],\"isEnabled\":true}",
       no, "not valid JSON"},
      // Other encodings and a byte-order mark are refused by name, not as broken JSON.
      {"ByteOrderMarkRejected", "\xEF\xBB\xBF{\"isEnabled\":true,\"domains\":[]}",
       no, "starts with a byte-order mark"},
      {"Utf16LittleEndianWithMark", "\xFF\xFE{\0}\0"s, no, "is UTF-16, not UTF-8"},
      {"Utf16BigEndianWithMark", "\xFE\xFF\0{\0}"s, no, "is UTF-16, not UTF-8"},
      {"Utf16WithoutMark", "\n\0{\0}\0"s, no, "is UTF-16, not UTF-8"},
      {"Utf16BigEndianWithoutMark", "\0{\0}"s, no, "is UTF-16, not UTF-8"},
      {"Utf32WithMark", "\xFF\xFE\0\0{\0\0\0"s, no, "is UTF-32, not UTF-8"},
      {"Utf32BigEndianWithoutMark", "\0\0\0{\0\0\0}"s, no, "is UTF-32, not UTF-8"},
      {"NulAfterOtherByte", "x\0"s, no, "not valid JSON"},
      {"DeepNestingInUnknownKey",
       R"({"isEnabled":true,"domains":[],"x":)" + std::string(1100, '[') + std::string(1100, ']') + "}",
       no, "too deep"},
      {"RawControlCharacter", "{\"isEnabled\":true,\"domains\":[\"a\nb\"]}", no, "not valid JSON"},
      {"NulByteAfterText", std::string("{\"isEnabled\":true,\"domains\":[]}\0", 32),
       no, "not valid JSON"},
  };
  // clang-format on
}

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, DecodesOrRejects) {
  const DecodeCase& c = GetParam();
  const DecodeResult result = decodeFilterRules(bytesOf(c.json));
  // Decoded where it lies, the file reader's spare capacity as padding: the same answer.
  std::vector<std::uint8_t> inPlace(c.json.size() + kJsonReadPadding, 0);
  std::copy(c.json.begin(), c.json.end(), inPlace.begin());
  inPlace.resize(c.json.size());
  const DecodeResult there = decodeFilterRules(inPlace);
  EXPECT_EQ(there.rules, result.rules);
  EXPECT_EQ(there.error.message, result.error.message);
  if (c.expected) {
    ASSERT_TRUE(result.rules.has_value()) << result.error.message;
    EXPECT_EQ(*result.rules, *c.expected);
    EXPECT_EQ(result.rules->domains(), c.expected->domains());
    // What decodes also survives a round trip through the encoder.
    const std::string encoded = encodeFilterRules(*result.rules);
    const DecodeResult again = decodeFilterRules(bytesOf(encoded));
    ASSERT_TRUE(again.rules.has_value()) << encoded << ": " << again.error.message;
    EXPECT_EQ(*again.rules, *result.rules);
  } else {
    EXPECT_FALSE(result.rules.has_value());
    EXPECT_FALSE(result.error.message.empty());
    EXPECT_NE(result.error.message.find(c.errorPart), std::string::npos) << result.error.message;
  }
}

INSTANTIATE_TEST_SUITE_P(Json, DecodeTest, testing::ValuesIn(decodeCases()),
                         [](const testing::TestParamInfo<DecodeCase>& info) {
                           return info.param.name;
                         });

// The streaming decoder against the DOM one it replaced, on texts near the edges of JSON (the
// rules_json fuzzer makes the same comparison on any input).
TEST(DecodeDifferentialTest, AgreesWithTheDomDecoder) {
  std::vector<std::string> texts;
  const auto nested = [](const std::string& prefix, std::size_t n, const std::string& suffix) {
    return prefix + std::string(n, '[') + std::string(n, ']') + suffix;
  };
  for (std::size_t n : {1022, 1023, 1024, 1025}) {
    texts.push_back(nested(R"({"isEnabled":true,"domains":[],"x":)", n, "}"));
    texts.push_back(nested(R"({"isEnabled":true,"domains":)", n, "}"));
    texts.push_back(nested(R"({"isEnabled":true,"domains":["a",)", n, "]}"));
    texts.push_back(nested("", n, ""));
  }
  // clang-format off
  const char* const values[] = {
      "1e400", "123456789012345678901234567890", "-", "01", "1.", "-0", "1e", "1E+2", "1.5e-400",
      "18446744073709551616", "-9223372036854775809", "tru", "truex", "nul", "null", "falsey",
      "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\\x\"", "{\"a\" 1}", "{\"a\":1,}", "[1,]", "[1 2]",
      "{1:2}", "\"\\u00\"", "[]", "{}", "\"\xF4\x90\x80\x80\"", "\"\xED\xA0\x80\""};
  // clang-format on
  const auto inEveryPlace = [&texts](const std::string& value) {
    texts.push_back(R"({"x":)" + value + R"(,"isEnabled":true,"domains":["a"]})");
    texts.push_back(R"({"isEnabled":)" + value + R"(,"domains":["a"]})");
    texts.push_back(R"({"isEnabled":true,"domains":["a",)" + value + "]}");
    texts.push_back(value);
    texts.push_back(value + " x");
  };
  for (const char* value : values) inEveryPlace(value);
  // Numbers longer than the buffer a root scalar is copied to (the fuzzer found the fraction).
  const std::string longFraction = "0." + std::string(1300, '0') + "4";
  for (const std::string& value : {longFraction, "-" + longFraction, longFraction + "e5",
                                   "1" + std::string(1300, '0'), longFraction + "."}) {
    inEveryPlace(value);
  }
  for (const char* text : {"  ", "{} {}", "{}}", "{\"isEnabled\":true,\"domains\":[]}}",
                           "{\"isEnabled\":1,\"domains\":[],\"x\":tru}", "[1]x", "\"a\"\"b\""}) {
    texts.push_back(text);
  }
  // Texts refused for their encoding are still refused as invalid JSON (the fuzzer found the
  // last: an opening brace and three zero bytes, read as UTF-32).
  using namespace std::string_literals;
  for (const std::string& text : {"\xEF\xBB\xBF{}"s, "\xFF\xFE{\0}\0"s, "\0{\0}"s,
                                  "{\0\0\0\0nae:ba2d\1\0\0\0\0\0\0\0\":[\xFF\xFE]}"s}) {
    texts.push_back(text);
  }
  std::size_t accepted = 0;
  for (const std::string& text : texts) {
    const DecodeResult result = decodeFilterRules(bytesOf(text));
    ASSERT_EQ(reference::differenceFromReference(bytesOf(text), result), "") << text;
    accepted += result.rules ? 1 : 0;
  }
  EXPECT_GT(accepted, 0u);  // both sides of the comparison are reached
}

// Escapes as written, malformed UTF-8 replaced, and every control character back as it was.
TEST(EncodeTest, WritesBothKeysInOrderAndRoundTrips) {
  EXPECT_EQ(encodeFilterRules(FilterRules(false, {})), R"({"isEnabled":false,"domains":[]})");
  EXPECT_EQ(
      encodeFilterRules(FilterRules(true, {"a\"b", "c\\d", "\t\x01", "", "\xC3\x84", "a\xFF"})),
      "{\"isEnabled\":true,\"domains\":[\"a\\\"b\",\"c\\\\d\",\"\\t\\u0001\",\"\","
      "\"\xC3\x84\",\"a\xEF\xBF\xBD\"]}");
  std::vector<std::string> domains = {"\x7F"};
  for (int c = 0; c < 0x20; ++c) domains.push_back(std::string(1, static_cast<char>(c)) + "x");
  const FilterRules rules(true, domains);
  const DecodeResult decoded = decodeFilterRules(bytesOf(encodeFilterRules(rules)));
  ASSERT_TRUE(decoded.rules.has_value()) << decoded.error.message;
  EXPECT_EQ(*decoded.rules, rules);
}

}  // namespace
}  // namespace quillnest
