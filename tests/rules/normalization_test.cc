#include "rules/normalization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace quillnest {
namespace {

using namespace std::string_literals;
using ::testing::PrintToString;

TEST(NormalizationTest, NormalizedHost) {
  // clang-format off
  const std::optional<std::string> none;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"", none}, {"   ", none}, {"\t\n\v\f\r ", none}, {"...", none}, {" . ", none},
      {"example.com", "example.com"}, {"WWW.Example.COM.", "www.example.com"},
      {"www.example.com...", "www.example.com"}, {"  www.example.com\n", "www.example.com"},
      // Trimming happens before the dots go: the space stays.
      {"example.com .", "example.com "}, {"a b.example", "a b.example"},
      {".example.com", ".example.com"}, {"*.example.com", "*.example.com"},
      // 0x1C..0x1F and DEL are controls outside the white-space set.
      {"\x1F" "a\x7F", "\x1F" "a\x7F"},
      // Non-ASCII white space around: NO-BREAK SPACE, LINE SEPARATOR, IDEOGRAPHIC SPACE, NEL,
      // PARAGRAPH SEPARATOR, EN QUAD, NARROW NO-BREAK SPACE, OGHAM SPACE MARK.
      {"\xC2\xA0" "a.example\xC2\xA0", "a.example"},
      {"\xE2\x80\xA8" "a.example\xE2\x80\xA8", "a.example"},
      {"\xE3\x80\x80" "A.example\xE3\x80\x80", "a.example"},
      {"\xC2\x85" "a.example\xC2\x85", "a.example"},
      {"\xE2\x80\xA9\xE2\x80\x80\xE2\x80\xAF\xE1\x9A\x80" "a", "a"},
      {"\xC2\xA0\xE3\x80\x80 \n", none},
      // Inside the name non-ASCII space stays; ZERO WIDTH SPACE is a format character, not space.
      {"a\xC2\xA0" "B", "a\xC2\xA0" "b"}, {"\xE2\x80\x8B" "a", "\xE2\x80\x8B" "a"},
      // Letters: Ä, Σ, Cyrillic, full-width A, KELVIN SIGN to ASCII k, dotted capital I to i.
      {"\xC3\x84" "B.example", "\xC3\xA4" "b.example"},
      {"\xCE\xA3\xCE\xA3.EXAMPLE.", "\xCF\x83\xCF\x83.example"},
      {"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x9C\xD0\x95\xD0\xA0.\xD0\xA0\xD0\xA4",
       "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84"},
      {"\xEF\xBC\xA1", "\xEF\xBD\x81"}, {"\xE2\x84\xAA", "k"}, {"\xC4\xB0", "i"},
      // Malformed bytes (truncated, encoded surrogate, overlong space) are kept and are not
      // space; letters around them still change.
      {"\xFF", "\xFF"}, {" A\xFF" "B. ", "a\xFF" "b"}, {"\xC3", "\xC3"}, {"\xC3" "A", "\xC3" "a"},
      {"\xED\xA0\x80" "A", "\xED\xA0\x80" "a"}, {"\xC0\xA0" "A", "\xC0\xA0" "a"},
      {"\xC2\xA0\xC2", "\xC2"}, {"a\0B"s, "a\0b"s}, {"\0"s, "\0"s}};
  // clang-format on
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(normalizedHost(input), expected) << PrintToString(input);
  }
}

TEST(NormalizationTest, NormalizedDomainsDropBlanksDeduplicateAndSortByBytes) {
  EXPECT_EQ(normalizedDomains({}), std::vector<std::string>{});
  EXPECT_EQ(normalizedDomains({"Ads.Example.", "ads.example", "   ", "", "..."}),
            std::vector<std::string>{"ads.example"});
  // Upper bytes of UTF-8 after ASCII, "-" before ".".
  EXPECT_EQ(normalizedDomains({"\xC3\x84.example", "a.example", "a-b.example", "a.b"}),
            (std::vector<std::string>{"a-b.example", "a.b", "a.example", "\xC3\xA4.example"}));
  std::vector<std::string> list = {"C.example", "a.example.", "b.example", "A.EXAMPLE",
                                   " c.example"};
  std::sort(list.begin(), list.end());
  do {
    EXPECT_EQ(normalizedDomains(list),
              (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  } while (std::next_permutation(list.begin(), list.end()));
}

TEST(NormalizationTest, ServerNameLowerCasedWithoutTrailingDots) {
  // clang-format off
  const std::pair<std::string, std::string> cases[] = {
      {"", ""}, {"...", ""}, {"WWW.Example.COM..", "www.example.com"},
      {" A.example ", " a.example "},
      {"a.example .", "a.example "}, {"\xC3\x84.", "\xC3\xA4"}, {"\xC2\xA0" "A", "\xC2\xA0" "a"},
      {"A\xFF.", "a\xFF"}};
  // clang-format on
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(normalizedServerName(input), expected) << PrintToString(input);
  }
}

TEST(NormalizationTest, IsIPAddressLiteral) {
  // clang-format off
  const std::pair<std::string, bool> cases[] = {
      {"192.0.2.1", true}, {"0.0.0.0", true}, {"255.255.255.255", true}, {"::1", true},
      {"::", true},
      {"[::1]", true}, {"[[::1]]", true}, {"]::1[", true}, {"2001:db8::1", true},
      {"2001:DB8::A", true},
      {"::ffff:192.0.2.1", true}, {"fe80::1%en0", true}, {"[fe80::1%en0]", true},
      {"fe80::1%", true},
      {"%192.0.2.1", true}, {"%%::1%x%y", true}, {"[192.0.2.1]", true}, {"192.0.2.1%eth0", true},
      // Text after an embedded NUL is not seen, as with any C string.
      {"192.0.2.1\0junk"s, true}, {"\0" "192.0.2.1"s, false},
      {"example.com", false}, {"192.0.2", false}, {"192.0.2.1.5", false}, {"256.0.0.1", false},
      {"", false}, {"[]", false}, {"[[]]", false}, {"][", false}, {"%", false}, {"%%%", false},
      {"[%]", false}, {" 192.0.2.1", false}, {"192.0.2.1 ", false}, {"[ ::1]", false},
      {"a[::1]", false}, {"::1::2", false}, {"1::2::3", false}, {"0x7f.0.0.1", false},
      {"localhost", false}};
  // clang-format on
  for (const auto& [input, expected] : cases) {
    EXPECT_EQ(isIPAddressLiteral(input), expected) << PrintToString(input);
  }
}

}  // namespace
}  // namespace quillnest
