#include "rules/normalization.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace quillnest {
namespace {

using namespace std::string_literals;

// Test names and failure messages carry the case in plain ASCII.
std::string visible(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out = "'";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x21 && byte < 0x7F && c != '\\') {
      out.push_back(c);
    } else {
      out += "\\x";
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0xF]);
    }
  }
  return out + "'";
}

struct HostCase {
  std::string input;
  std::optional<std::string> expected;
};

void PrintTo(const HostCase& c, std::ostream* os) {
  *os << visible(c.input) << " to " << (c.expected ? visible(*c.expected) : "none");
}

class NormalizedHostTest : public testing::TestWithParam<HostCase> {};

TEST_P(NormalizedHostTest, Normalizes) {
  EXPECT_EQ(normalizedHost(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, NormalizedHostTest,
    testing::Values(
        HostCase{"", std::nullopt}, HostCase{"   ", std::nullopt},
        HostCase{"\t\n\v\f\r ", std::nullopt}, HostCase{"...", std::nullopt},
        HostCase{" . ", std::nullopt}, HostCase{"example.com", "example.com"},
        HostCase{"WWW.Example.COM.", "www.example.com"},
        HostCase{"www.example.com...", "www.example.com"},
        HostCase{"  www.example.com\n", "www.example.com"},
        // Trimming happens before the dots go: the space stays.
        HostCase{"example.com .", "example.com "}, HostCase{"a b.example", "a b.example"},
        HostCase{".example.com", ".example.com"}, HostCase{"*.example.com", "*.example.com"},
        // 0x1C..0x1F and DEL are controls outside the white-space set.
        HostCase{"\x1F"
                 "a\x7F",
                 "\x1F"
                 "a\x7F"},
        // Non-ASCII white space: NO-BREAK SPACE, LINE SEPARATOR, IDEOGRAPHIC SPACE, NEL,
        // PARAGRAPH SEPARATOR, EN QUAD, NARROW NO-BREAK SPACE, OGHAM SPACE MARK.
        HostCase{"\xC2\xA0"
                 "a.example\xC2\xA0",
                 "a.example"},
        HostCase{"\xE2\x80\xA8"
                 "a.example\xE2\x80\xA8",
                 "a.example"},
        HostCase{"\xE3\x80\x80"
                 "A.example\xE3\x80\x80",
                 "a.example"},
        HostCase{"\xC2\x85"
                 "a.example\xC2\x85",
                 "a.example"},
        HostCase{"\xE2\x80\xA9\xE2\x80\x80\xE2\x80\xAF\xE1\x9A\x80"
                 "a",
                 "a"},
        HostCase{"\xC2\xA0\xE3\x80\x80 \n", std::nullopt},
        // Inside the name, non-ASCII space stays.
        HostCase{"a\xC2\xA0"
                 "B",
                 "a\xC2\xA0"
                 "b"},
        // ZERO WIDTH SPACE is a format character, not white space.
        HostCase{"\xE2\x80\x8B"
                 "a",
                 "\xE2\x80\x8B"
                 "a"},
        // Letters: Ä, Σ, Cyrillic, full-width A, KELVIN SIGN to ASCII k.
        HostCase{"\xC3\x84"
                 "B.example",
                 "\xC3\xA4"
                 "b.example"},
        HostCase{"\xCE\xA3\xCE\xA3.EXAMPLE.", "\xCF\x83\xCF\x83.example"},
        HostCase{"\xD0\x9F\xD0\xA0\xD0\x98\xD0\x9C\xD0\x95\xD0\xA0.\xD0\xA0\xD0\xA4",
                 "\xD0\xBF\xD1\x80\xD0\xB8\xD0\xBC\xD0\xB5\xD1\x80.\xD1\x80\xD1\x84"},
        HostCase{"\xEF\xBC\xA1", "\xEF\xBD\x81"}, HostCase{"\xE2\x84\xAA", "k"},
        // Simple mapping: dotted capital I becomes one code point.
        HostCase{"\xC4\xB0", "i"},
        // Malformed bytes are kept as they are and are not space; letters around them still
        // change.
        HostCase{"\xFF", "\xFF"},
        HostCase{" A\xFF"
                 "B. ",
                 "a\xFF"
                 "b"},
        HostCase{"\xC3", "\xC3"},
        HostCase{"\xC3"
                 "A",
                 "\xC3"
                 "a"},
        HostCase{"\xED\xA0\x80"
                 "A",
                 "\xED\xA0\x80"
                 "a"},  // encoded surrogate
        HostCase{"\xC0\xA0"
                 "A",
                 "\xC0\xA0"
                 "a"},  // overlong space
        HostCase{"\xC2\xA0\xC2", "\xC2"}, HostCase{"a\0B"s, "a\0b"s}, HostCase{"\0"s, "\0"s}));

TEST(NormalizedDomainsTest, DropsBlanksDeduplicatesAndSorts) {
  EXPECT_EQ(normalizedDomains({}), std::vector<std::string>{});
  EXPECT_EQ(normalizedDomains({"Ads.Example.", "ads.example", "   ", "", "..."}),
            std::vector<std::string>{"ads.example"});
  EXPECT_EQ(normalizedDomains({"z.example", "B.example", "a.example", " b.example\n"}),
            (std::vector<std::string>{"a.example", "b.example", "z.example"}));
  // Byte order: upper bytes of UTF-8 after ASCII, "-" before ".".
  EXPECT_EQ(normalizedDomains({"\xC3\x84.example", "a.example", "a-b.example", "a.b"}),
            (std::vector<std::string>{"a-b.example", "a.b", "a.example", "\xC3\xA4.example"}));
}

TEST(NormalizedDomainsTest, ResultDoesNotDependOnInputOrder) {
  std::vector<std::string> list = {"C.example", "a.example.", "b.example", "A.EXAMPLE",
                                   " c.example"};
  const std::vector<std::string> expected = normalizedDomains(list);
  std::sort(list.begin(), list.end());
  do {
    EXPECT_EQ(normalizedDomains(list), expected);
  } while (std::next_permutation(list.begin(), list.end()));
}

struct ServerNameCase {
  std::string input;
  std::string expected;
};

void PrintTo(const ServerNameCase& c, std::ostream* os) {
  *os << visible(c.input) << " to " << visible(c.expected);
}

class NormalizedServerNameTest : public testing::TestWithParam<ServerNameCase> {};

TEST_P(NormalizedServerNameTest, LowerCasesAndDropsTrailingDots) {
  EXPECT_EQ(normalizedServerName(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Table, NormalizedServerNameTest,
                         testing::Values(ServerNameCase{"", ""}, ServerNameCase{"...", ""},
                                         ServerNameCase{"WWW.Example.COM..", "www.example.com"},
                                         ServerNameCase{" A.example ", " a.example "},
                                         ServerNameCase{"a.example .", "a.example "},
                                         ServerNameCase{"\xC3\x84.", "\xC3\xA4"},
                                         ServerNameCase{"\xC2\xA0"
                                                        "A",
                                                        "\xC2\xA0"
                                                        "a"},
                                         ServerNameCase{"A\xFF.", "a\xFF"}));

struct LiteralCase {
  std::string input;
  bool expected;
};

void PrintTo(const LiteralCase& c, std::ostream* os) {
  *os << visible(c.input) << (c.expected ? " is" : " is not") << " a literal";
}

class IsIPAddressLiteralTest : public testing::TestWithParam<LiteralCase> {};

TEST_P(IsIPAddressLiteralTest, Decides) {
  EXPECT_EQ(isIPAddressLiteral(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsIPAddressLiteralTest,
    testing::Values(LiteralCase{"192.0.2.1", true}, LiteralCase{"0.0.0.0", true},
                    LiteralCase{"255.255.255.255", true}, LiteralCase{"::1", true},
                    LiteralCase{"::", true}, LiteralCase{"[::1]", true},
                    LiteralCase{"[[::1]]", true}, LiteralCase{"]::1[", true},
                    LiteralCase{"2001:db8::1", true}, LiteralCase{"2001:DB8::A", true},
                    LiteralCase{"::ffff:192.0.2.1", true}, LiteralCase{"fe80::1%en0", true},
                    LiteralCase{"[fe80::1%en0]", true}, LiteralCase{"fe80::1%", true},
                    LiteralCase{"%192.0.2.1", true}, LiteralCase{"%%::1%x%y", true},
                    LiteralCase{"[192.0.2.1]", true}, LiteralCase{"192.0.2.1%eth0", true},
                    // Text after an embedded NUL is not seen, as with any C string.
                    LiteralCase{"192.0.2.1\0junk"s, true}, LiteralCase{"example.com", false},
                    LiteralCase{"192.0.2", false}, LiteralCase{"192.0.2.1.5", false},
                    LiteralCase{"256.0.0.1", false}, LiteralCase{"", false},
                    LiteralCase{"[]", false}, LiteralCase{"[[]]", false}, LiteralCase{"][", false},
                    LiteralCase{"%", false}, LiteralCase{"%%%", false}, LiteralCase{"[%]", false},
                    LiteralCase{" 192.0.2.1", false}, LiteralCase{"192.0.2.1 ", false},
                    LiteralCase{"[ ::1]", false}, LiteralCase{"a[::1]", false},
                    LiteralCase{"::1::2", false}, LiteralCase{"1::2::3", false},
                    LiteralCase{"\0"
                                "192.0.2.1"s,
                                false},
                    LiteralCase{"0x7f.0.0.1", false}, LiteralCase{"localhost", false}));

}  // namespace
}  // namespace quillnest
