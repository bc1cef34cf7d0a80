#include "hosts/linux/control/explain.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace quillnest::linuxhost {
namespace {

using ::testing::HasSubstr;

TEST(Explain, ReadsNamesAsTheFilterWould) {
  const FilterRules rules(true, {"ads.example.com", "example.com", "xn--bcher-kva.example",
                                 "2001:db8::1", "Upper.example"});
  struct Case {
    std::string input;
    std::string host;  // empty: no host
    bool blocked;
    std::vector<std::size_t> positions;
    std::string note;
  };
  const std::vector<Case> cases = {
      {"ads.example.com", "ads.example.com", true, {1, 2}, ""},
      {"WWW.Ads.Example.COM.", "www.ads.example.com", true, {1, 2}, "normalised"},
      {"https://user@www.example.com:8443/path?q#f", "www.example.com", true, {2}, "URL"},
      {"example.com/some/path", "example.com", true, {2}, "path dropped"},
      {"ads.example.com:443", "ads.example.com", true, {1, 2}, "port dropped"},
      {"[2001:db8::1]:80", "2001:db8::1", true, {4}, "port dropped"},
      {"2001:db8::1", "2001:db8::1", true, {4}, ""},
      {"B\xC3\x9C"
       "CHER.example",
       "xn--bcher-kva.example",
       true,
       {3},
       "clients send \"xn--bcher-kva.example\""},
      {"upper.example", "upper.example", false, {}, ""},  // the entry is not normalised
      {"example.org", "example.org", false, {}, ""},
      {"badexample.com", "badexample.com", false, {}, ""},
      {"exa mple.com", "", false, {}, ""},
      {"", "", false, {}, ""},
      {"https://", "", false, {}, ""},
      {"\xCC\x81x.example", "", false, {}, "UTS #46"},
      {"a.example:http", "", false, {}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::string error;
    const auto e = explainName(rules, {}, c.input, error);
    if (c.host.empty()) {
      EXPECT_FALSE(e.has_value()) << e->host;
      EXPECT_THAT(error, HasSubstr(c.note));
      continue;
    }
    ASSERT_TRUE(e.has_value()) << error;
    EXPECT_EQ(e->host, c.host);
    EXPECT_EQ(e->blocked, c.blocked);
    std::vector<std::size_t> positions;
    for (const auto& entry : e->covering) positions.push_back(entry.position);
    EXPECT_EQ(positions, c.positions);
    EXPECT_THAT(formatExplanation(*e), HasSubstr(c.note));
  }
}

}  // namespace
}  // namespace quillnest::linuxhost
