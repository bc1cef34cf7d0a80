#include "hosts/linux/control/blocklist_import.h"

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <sstream>

#include "hosts/linux/control/commands.h"
#include "hosts/linux/control/rules_check.h"
#include "rules/filter_rules.h"
#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

std::span<const std::uint8_t> bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(ImportBlocklist, HostsFileWithCommentsCrlfAndDuplicates) {
  const std::string hosts =
      "\xEF\xBB\xBF# Blocklist, generated\r\n"
      "127.0.0.1 localhost\r\n"
      "127.0.0.1 localhost.localdomain\r\n"
      "::1 localhost ip6-localhost ip6-loopback\r\n"
      "fe80::1%lo0 localhost\r\n"
      "255.255.255.255 broadcasthost\r\n"
      "\r\n"
      "0.0.0.0 ads.example.com\r\n"
      "0.0.0.0 Tracker.Example.NET.   # trailing dot and capitals\r\n"
      "127.0.0.1 one.example two.example three.example\r\n"
      "::1 six.example\r\n"
      ":: seven.example\r\n"
      "0.0.0.0\tads.example.com\r\n"
      "0.0.0.0 ads.example.com#not-a-comment\r\n"
      "192.168.1.10 printer.lan\r\n"
      "0.0.0.0 bad..name\r\n"
      "0.0.0.0 under_score.example\r\n"
      "0.0.0.0 0.0.0.0\r\n"
      "0.0.0.0 com\r\n"
      "0.0.0.0 *.wild.example\r\n"
      "0.0.0.0";  // no line end, address alone
  const ImportResult result = importBlocklist(hosts);
  const std::vector<std::string> expected = {
      "ads.example.com", "tracker.example.net", "one.example",
      "two.example",     "three.example",       "six.example",
      "seven.example",   "under_score.example", "wild.example"};
  EXPECT_EQ(result.domains, expected);
  EXPECT_EQ(result.lines, 21u);
  const std::map<std::string, std::size_t> skipped = {
      {std::string(kSkipLocalhost), 8},   {std::string(kSkipDuplicate), 1},
      {std::string(kSkipInvalid), 2},     {std::string(kSkipRealAddress), 1},
      {std::string(kSkipSingleLabel), 1}, {std::string(kSkipAddress), 1}};
  EXPECT_EQ(result.skipped, skipped);
}

TEST(ImportBlocklist, PlainListsAndAdblockLines) {
  const std::string list =
      "[Adblock Plus 2.0]\n"
      "! Title: test list\n"
      "||ads.example.com^\n"
      "||cdn.tracker.io^$third-party\n"
      "||path.example.com/banner^\n"
      "@@||allowed.example.com^\n"
      "example.org##.banner\n"
      "plain.example\n"
      "  indented.example  \n"
      "PLAIN.EXAMPLE\n"
      "10.0.0.1\n"
      "http://url.example/\n";
  const ImportResult result = importBlocklist(list);
  const std::vector<std::string> expected = {"ads.example.com", "plain.example",
                                             "indented.example"};
  EXPECT_EQ(result.domains, expected);
  const std::map<std::string, std::size_t> skipped = {{std::string(kSkipAdblock), 4},
                                                      {std::string(kSkipDuplicate), 1},
                                                      {std::string(kSkipAddress), 1},
                                                      {std::string(kSkipInvalid), 1}};
  EXPECT_EQ(result.skipped, skipped);
}

TEST(ImportBlocklist, NamesBeyondHostNameLimitsAreSkipped) {
  const std::string label63(63, 'a');
  const std::string label64(64, 'a');
  std::string long254;
  while (long254.size() < 250) long254 += "abcdefghi.";
  long254 += "comm";
  ASSERT_EQ(long254.size(), 254u);
  const ImportResult result = importBlocklist(label63 + ".com\n" + label64 + ".com\n" + long254 +
                                              "\nb\xC3\xA4r.example\n" + "-\n.\n");
  EXPECT_EQ(result.domains, std::vector<std::string>{label63 + ".com"});
  EXPECT_EQ(result.skipped.at(std::string(kSkipInvalid)), 4u);
  EXPECT_EQ(result.skipped.at(std::string(kSkipSingleLabel)), 1u);
}

TEST(RulesFileText, LoadsAsTheSortedNormalisedListOneEntryPerLine) {
  const std::string text = rulesFileText({"b.example", "a.example", "c.example"});
  const DecodeResult decoded = decodeFilterRules(bytes(text));
  ASSERT_TRUE(decoded.rules.has_value()) << decoded.error.message;
  EXPECT_TRUE(decoded.rules->isEnabled());
  EXPECT_EQ(decoded.rules->domains(),
            (std::vector<std::string>{"a.example", "b.example", "c.example"}));
  EXPECT_EQ(domainEntryLines(text), (std::vector<std::size_t>{4, 5, 6}));
  EXPECT_EQ(text.back(), '\n');

  const std::string empty = rulesFileText({});
  const DecodeResult none = decodeFilterRules(bytes(empty));
  ASSERT_TRUE(none.rules.has_value()) << none.error.message;
  EXPECT_TRUE(none.rules->domains().empty());
}

// A list of the size people download: 200,000 hosts lines, a tenth of them repeated.
std::string largeHostsList(std::size_t lines) {
  std::string text = "# large list\r\n127.0.0.1 localhost\r\n";
  text.reserve(lines * 40);
  for (std::size_t i = 0; i < lines; ++i) {
    const std::size_t n = i % 10 == 9 ? i - 9 : i;
    text += "0.0.0.0 host" + std::to_string(n) + ".ads" + std::to_string(n % 97) + ".example\r\n";
  }
  return text;
}

TEST(ImportCommand, LargeListImportsAndChecksClean) {
  testing::TempDir dir;
  constexpr std::size_t kLines = 200000;
  testing::writeFile(dir / "hosts.txt", largeHostsList(kLines));
  std::ostringstream out, err;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(runImport((dir / "hosts.txt").string(), dir / "rules.json", out, err), 0);
  const auto elapsed = std::chrono::steady_clock::now() - start;
  std::cout << "[ figures  ] import of " << kLines
            << " lines: " << std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()
            << " ms\n";
  EXPECT_NE(err.str().find("imported 180000 domains"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("20000 duplicate"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find("1 localhost entry"), std::string::npos) << err.str();

  std::ostringstream checkOut, checkErr;
  ASSERT_EQ(runCheck(dir / "rules.json", checkOut, checkErr), 0) << checkErr.str();
  EXPECT_NE(checkOut.str().find("entries: 180000\n"), std::string::npos);
  EXPECT_EQ(checkOut.str().find("never matches"), std::string::npos);
}

TEST(ImportCommand, OutputReplacesTheFileAndUnreadableInputFails) {
  testing::TempDir dir;
  testing::writeFile(dir / "list.txt", "a.example\n");
  testing::writeFile(dir / "rules.json", "old");
  std::ostringstream out, err;
  ASSERT_EQ(runImport((dir / "list.txt").string(), dir / "rules.json", out, err), 0);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), rulesFileText({"a.example"}));
  EXPECT_EQ(out.str(), "");
  // No temporary file is left beside it.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++files;
  }
  EXPECT_EQ(files, 2u);

  std::ostringstream out2, err2;
  EXPECT_EQ(runImport((dir / "missing.txt").string(), dir / "rules.json", out2, err2), 1);
  EXPECT_NE(err2.str().find("missing.txt"), std::string::npos);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), rulesFileText({"a.example"}));

  std::ostringstream out3, err3;
  EXPECT_EQ(runImport((dir / "list.txt").string(), dir / "no-such-dir" / "rules.json", out3, err3),
            1);
}

}  // namespace
}  // namespace quillnest::linuxhost
