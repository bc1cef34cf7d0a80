// The domain match's table: entries, a host, whether the host matches. Shared by the matching
// tests and by the tests of `explain`, which must give the same answers.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace quillnest {

struct MatchCase {
  std::string name;
  std::vector<std::string> domains;
  std::string host;
  bool expected;
};

inline std::vector<MatchCase> matchCases() {
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

inline void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

}  // namespace quillnest
