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

// One small list of each format, and the internationalised names.
TEST(ImportBlocklist, EveryFormatAndInternationalisedNames) {
  struct Case {
    std::string name;
    ListFormat format;
    std::string text;
    std::vector<std::string> domains;
    std::map<std::string_view, std::size_t> skipped;
    std::size_t folded = 0;
    std::size_t internationalised = 0;
  };
  const std::vector<Case> cases = {
      {"adblock",
       ListFormat::guess,
       "[Adblock Plus 2.0]\n! Title: test list\n||ads.example.com^\n"
       "||cdn.tracker.io^$third-party\n||path.example.com/banner^\n||pat*.example^\n"
       "||port.example:8080^\n@@||allowed.example.com^\nexample.org##.banner\n"
       "/banner/*$image\n||B\xC3\x9C"
       "cher.example^\n",
       {"ads.example.com", "xn--bcher-kva.example"},
       {{kSkipAdblockOptions, 2},
        {kSkipAdblockPath, 3},
        {kSkipAdblockException, 1},
        {kSkipAdblockCosmetic, 1}},
       0,
       1},
      {"adblock given: bare texts are URL patterns",
       ListFormat::adblock,
       "||a.example^\nplain.example\n0.0.0.0 hosts.example\n",
       {"a.example"},
       {{kSkipAdblockPath, 1}, {kSkipOtherFormat, 1}}},
      {"plain, wildcards, folding",
       ListFormat::guess,
       "plain.example\n  indented.example  \nPLAIN.EXAMPLE\n*.wild.example\n"
       "deep.wild.example\n10.0.0.1\nhttp://url.example/\nsub.plain.example\n",
       {"plain.example", "indented.example", "wild.example"},
       {{kSkipDuplicate, 1}, {kSkipAddress, 1}, {kSkipInvalid, 1}},
       2},
      {"folding regardless of order",
       ListFormat::plain,
       "a.b.c.example\nb.c.example\nx.example\nc.example\n",
       {"x.example", "c.example"},
       {},
       2},
      {"dnsmasq",
       ListFormat::guess,
       "address=/ads.example/0.0.0.0\naddress=/one.example/two.example/::\n"
       "address=/nx.example/\naddress=/hash.example/#\nserver=/srv.example/\n"
       "local=/loc.example/\naddress=/real.example/192.0.2.7\nserver=/fwd.example/192.0.2.53\n"
       "address=/#/0.0.0.0\nconf-file=/etc/x.conf\nserver=1.1.1.1\n",
       {"ads.example", "one.example", "two.example", "nx.example", "hash.example", "srv.example",
        "loc.example"},
       {{kSkipRealAddress, 1}, {kSkipDnsmasqOther, 4}}},
      {"dnsmasq given: other lines skipped",
       ListFormat::dnsmasq,
       "local=/a.example/\n0.0.0.0 b.example\nc.example\n",
       {"a.example"},
       {{kSkipOtherFormat, 2}}},
      {"hosts given: other lines skipped",
       ListFormat::hosts,
       "\xEF\xBB\xBF"
       "0.0.0.0 a.example b.example # two\nc.example\n",
       {"a.example", "b.example"},
       {{kSkipOtherFormat, 1}}},
      {"internationalised: mixed case, final dot, invalid under UTS #46, folded",
       ListFormat::guess,
       "0.0.0.0 B\xC3\xBC"
       "cher.Example.\nb\xC3\xBC"
       "cher.example\nxn--bcher-kva.example\nstra\xC3\x9F"
       "e.de\n\xCC\x81x.example\na\xE2\x80\x8D"
       "b.example\n\xFF\xFE.example\nw\xC3\xB6rter.stra\xC3\x9F"
       "e.de\n",  // converted, then folded: not counted as kept
       {"xn--bcher-kva.example", "xn--strae-oqa.de"},
       {{kSkipDuplicate, 2}, {kSkipInvalidIdn, 3}},
       1,
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ImportResult result = importBlocklist(c.text, c.format);
    EXPECT_EQ(result.domains, c.domains);
    std::map<std::string, std::size_t> skipped;
    for (const auto& [reason, count] : c.skipped) skipped[std::string(reason)] = count;
    EXPECT_EQ(result.skipped, skipped);
    EXPECT_EQ(result.folded, c.folded);
    EXPECT_EQ(result.internationalised, c.internationalised);
  }
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
  EXPECT_EQ(result.domains, (std::vector<std::string>{label63 + ".com", "xn--br-via.example"}));
  EXPECT_EQ(result.skipped.at(std::string(kSkipInvalid)), 3u);
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
  ASSERT_EQ(
      runImport({(dir / "hosts.txt").string()}, ListFormat::guess, dir / "rules.json", out, err),
      0);
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
  testing::writeFile(dir / "more.txt", "b.example\nx.a.example\n");
  ASSERT_EQ(runImport({(dir / "list.txt").string(), (dir / "more.txt").string()}, ListFormat::guess,
                      dir / "rules.json", out, err),
            0);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), rulesFileText({"a.example", "b.example"}));
  EXPECT_NE(err.str().find("imported 2 domains from 3 lines; folded 1"), std::string::npos)
      << err.str();
  EXPECT_EQ(out.str(), "");
  // No temporary file is left beside it.
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    ++files;
  }
  EXPECT_EQ(files, 3u);

  std::ostringstream out2, err2;
  EXPECT_EQ(runImport({(dir / "list.txt").string(), (dir / "missing.txt").string()},
                      ListFormat::guess, dir / "rules.json", out2, err2),
            1);
  EXPECT_NE(err2.str().find("missing.txt"), std::string::npos);
  EXPECT_EQ(testing::readFile(dir / "rules.json"), rulesFileText({"a.example", "b.example"}));

  std::ostringstream out3, err3;
  EXPECT_EQ(runImport({(dir / "list.txt").string()}, ListFormat::guess,
                      dir / "no-such-dir" / "rules.json", out3, err3),
            1);
}

}  // namespace
}  // namespace quillnest::linuxhost
