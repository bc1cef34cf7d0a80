#include "hosts/linux/control/blocklist_import.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "rules/filter_rules.h"

namespace quillnest::linuxhost {
namespace {

// One small list of each format, and the internationalised names.
TEST(ImportBlocklist, EveryFormatAndInternationalisedNames) {
  using Names = std::vector<std::string>;
  using Skips = std::map<std::string_view, std::size_t>;
  struct Case {
    std::string name;
    ListFormat format;
    std::string text;
    Names domains;
    Skips skipped;
    std::size_t folded = 0;
    std::size_t internationalised = 0;
    std::size_t lines = 0;  // 0: not checked
  };
  // Windows editors save UTF-16 after a byte order mark.
  auto utf16 = [](std::u16string_view text, bool bigEndian) {
    std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (const char16_t unit : text) {
      const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
      bytes += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
  };
  std::string long254;  // a name one byte over the limit
  while (long254.size() < 250) long254 += "abcdefghi.";
  long254 += "comm";
  const std::vector<Case> cases = {
      {"hosts: comments, CRLF, duplicates, local names, the last line without its end",
       ListFormat::guess,
       "\xEF\xBB\xBF# Blocklist, generated\r\n127.0.0.1 localhost\r\n"
       "127.0.0.1 localhost.localdomain\r\n::1 localhost ip6-localhost ip6-loopback\r\n"
       "fe80::1%lo0 localhost\r\n255.255.255.255 broadcasthost\r\n\r\n0.0.0.0 ads.example.com\r\n"
       "0.0.0.0 Tracker.Example.NET.   # trailing dot and capitals\r\n"
       "127.0.0.1 one.example two.example three.example\r\n::1 six.example\r\n"
       ":: seven.example\r\n0.0.0.0\tads.example.com\r\n0.0.0.0 ads.example.com#not-a-comment\r\n"
       "192.168.1.10 printer.lan\r\n0.0.0.0 bad..name\r\n0.0.0.0 under_score.example\r\n"
       "0.0.0.0 0.0.0.0\r\n0.0.0.0 com\r\n0.0.0.0 *.wild.example\r\n0.0.0.0",
       Names{"ads.example.com", "tracker.example.net", "one.example", "two.example",
             "three.example", "six.example", "seven.example", "under_score.example",
             "wild.example"},
       Skips{{kSkipLocalhost, 8},
             {kSkipDuplicate, 1},
             {kSkipInvalid, 2},
             {kSkipRealAddress, 1},
             {kSkipSingleLabel, 1},
             {kSkipAddress, 1}},
       0, 0, 21},
      {"hosts in UTF-16, little-endian", ListFormat::guess,
       utf16(u"# Windows\r\n0.0.0.0 ads.example\r\n0.0.0.0 b\u00FCcher.example\r\n"
             u"0.0.0.0 \U00020000.example\r\n0.0.0.0 bad\xD800.example\r\n",
             false),
       Names{"ads.example", "xn--bcher-kva.example", "xn--j50i.example"},
       Skips{{kSkipInvalidIdn, 1}}, 0, 2, 5},
      {"hosts in UTF-16, big-endian", ListFormat::guess, utf16(u"0.0.0.0 ads.example\n", true),
       Names{"ads.example"}, Skips{}, 0, 0, 1},
      {"host name limits", ListFormat::guess,
       std::string(63, 'a') + ".com\n" + std::string(64, 'a') + ".com\n" + long254 +
           "\nb\xC3\xA4r.example\n-\n.\n",
       Names{std::string(63, 'a') + ".com", "xn--br-via.example"},
       Skips{{kSkipInvalid, 3}, {kSkipSingleLabel, 1}}, 0, 1},
      {"adblock", ListFormat::guess,
       "[Adblock Plus 2.0]\n! Title: test list\n||ads.example.com^\n"
       "||cdn.tracker.io^$third-party\n||path.example.com/banner^\n||pat*.example^\n"
       "||port.example:8080^\n@@||allowed.example.com^\nexample.org##.banner\n"
       "/banner/*$image\n||B\xC3\x9C"
       "cher.example^\n",
       Names{"ads.example.com", "xn--bcher-kva.example"},
       Skips{{kSkipAdblockOptions, 2},
             {kSkipAdblockPath, 3},
             {kSkipAdblockException, 1},
             {kSkipAdblockCosmetic, 1}},
       0, 1},
      {"adblock given: bare texts are URL patterns", ListFormat::adblock,
       "||a.example^\nplain.example\n0.0.0.0 hosts.example\n", Names{"a.example"},
       Skips{{kSkipAdblockPath, 1}, {kSkipOtherFormat, 1}}},
      {"plain, wildcards, folding", ListFormat::guess,
       "plain.example\n  indented.example  \nPLAIN.EXAMPLE\n*.wild.example\n"
       "deep.wild.example\n10.0.0.1\nhttp://url.example/\nsub.plain.example\n",
       Names{"plain.example", "indented.example", "wild.example"},
       Skips{{kSkipDuplicate, 1}, {kSkipAddress, 1}, {kSkipInvalid, 1}}, 2},
      {"folding regardless of order", ListFormat::plain,
       "a.b.c.example\nb.c.example\nx.example\nc.example\n", Names{"x.example", "c.example"},
       Skips{}, 2},
      {"dnsmasq", ListFormat::guess,
       "address=/ads.example/0.0.0.0\naddress=/one.example/two.example/::\n"
       "address=/nx.example/\naddress=/hash.example/#\nserver=/srv.example/\n"
       "local=/loc.example/\naddress=/real.example/192.0.2.7\nserver=/fwd.example/192.0.2.53\n"
       "address=/#/0.0.0.0\nconf-file=/etc/x.conf\nserver=1.1.1.1\naddress=/::1/10.0.0.2/::\n",
       Names{"ads.example", "one.example", "two.example", "nx.example", "hash.example",
             "srv.example", "loc.example"},
       Skips{{kSkipRealAddress, 1}, {kSkipDnsmasqOther, 4}, {kSkipAddress, 2}}},
      {"dnsmasq given: other lines skipped", ListFormat::dnsmasq,
       "local=/a.example/\n0.0.0.0 b.example\nc.example\n", Names{"a.example"},
       Skips{{kSkipOtherFormat, 2}}},
      {"hosts given: other lines skipped", ListFormat::hosts,
       "\xEF\xBB\xBF"
       "0.0.0.0 a.example b.example # two\nc.example\n",
       Names{"a.example", "b.example"}, Skips{{kSkipOtherFormat, 1}}},
      // The last name is converted, then folded: not counted as internationalised.
      {"internationalised: mixed case, final dot, invalid under UTS #46, folded", ListFormat::guess,
       "0.0.0.0 B\xC3\xBC"
       "cher.Example.\nb\xC3\xBC"
       "cher.example\nxn--bcher-kva.example\n"
       "stra\xC3\x9F"
       "e.de\n\xCC\x81x.example\na\xE2\x80\x8D"
       "b.example\n\xFF\xFE.example\n"
       "w\xC3\xB6rter.stra\xC3\x9F"
       "e.de\n",
       Names{"xn--bcher-kva.example", "xn--strae-oqa.de"},
       Skips{{kSkipDuplicate, 2}, {kSkipInvalidIdn, 3}}, 1, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ImportResult result = importBlocklist(c.text, c.format);
    EXPECT_EQ(result.domains(), c.domains);
    std::map<std::string, std::size_t> skipped;
    for (const auto& [reason, count] : c.skipped) skipped[std::string(reason)] = count;
    EXPECT_EQ(result.skipped, skipped);
    EXPECT_EQ(result.folded, c.folded);
    EXPECT_EQ(result.internationalised, c.internationalised);
    EXPECT_TRUE(c.lines == 0 || result.lines == c.lines) << result.lines;
  }
}

// Lists read one after another are one list: a repeat or a covering name in a later list counts
// against an earlier one, and the first appearance decides the order.
TEST(ImportBlocklist, StackedListsAreOneList) {
  BlocklistImporter importer;
  importer.add(
      "a.example\nx.b.example\nb\xC3\xBC"
      "cher.example\n");
  importer.add("0.0.0.0 a.example\n0.0.0.0 b.example\nxn--bcher-kva.example\nA.EXAMPLE.\n");
  EXPECT_EQ(importer.namesRead(), 7u);
  const ImportResult result = std::move(importer).finish();
  EXPECT_EQ(result.domains(),
            (std::vector<std::string>{"a.example", "xn--bcher-kva.example", "b.example"}));
  EXPECT_EQ(result.skipped, (std::map<std::string, std::size_t>{{"duplicate", 3}}));
  EXPECT_EQ(result.folded, 1u);
  EXPECT_EQ(result.internationalised, 1u);
  EXPECT_EQ(BlocklistImporter().namesRead(), 0u);
}

// The rules file's layout, for names as `import` keeps them and for names it would not keep
// (which go through the filter's normalising).
TEST(RulesFileText, OneEntryPerLineSortedOnce) {
  EXPECT_EQ(rulesFileText(std::vector<std::string>{}),
            "{\n  \"isEnabled\":true,\n  \"domains\":[]\n}\n");
  const std::string two =
      "{\n  \"isEnabled\":true,\n  \"domains\":[\n    \"a.example\",\n    \"b.example\"\n  ]\n}\n";
  EXPECT_EQ(rulesFileText({"b.example", "a.example", "b.example"}), two);
  EXPECT_EQ(rulesFileText({"B.Example.", " a.example", "b.example"}), two);
  // A name that ends in an escape still has a line of its own.
  EXPECT_EQ(
      rulesFileText({"x\\", "a.example"}),
      "{\n  \"isEnabled\":true,\n  \"domains\":[\n    \"a.example\",\n    \"x\\\\\"\n  ]\n}\n");
}

// Names are put in order by their first 8 bytes first: names that tie there, that are shorter,
// or that are prefixes of others must still come out in byte order, once each.
TEST(RulesFileText, ByteOrderWhereLeadingBytesTie) {
  std::mt19937 random(7);
  for (int round = 0; round < 20; ++round) {
    std::vector<std::string> names;
    for (int n = 0; n < 300; ++n) {
      std::string name = "abcdefghijkl";
      name.resize(random() % 12 + 1);  // from a prefix of the common start to beyond it
      const std::size_t tail = random() % 4;
      for (std::size_t i = 0; i < tail; ++i) name.push_back("ab.-_9"[random() % 6]);
      if (name.front() == '.' || name.back() == '.' || name.find("..") != std::string::npos) {
        continue;
      }
      names.push_back(name);
    }
    std::vector<std::string> expected = names;
    std::sort(expected.begin(), expected.end());
    expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
    const std::string text = rulesFileText(names);
    const DecodeResult decoded = decodeFilterRules(
        std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    ASSERT_TRUE(decoded.rules.has_value());
    EXPECT_EQ(decoded.rules->domains(), expected) << "round " << round;
  }
}

}  // namespace
}  // namespace quillnest::linuxhost
