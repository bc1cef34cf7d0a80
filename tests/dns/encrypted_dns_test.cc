// The resolver list and what the host adds to the rules it hands the provider.
#include "hosts/linux/dns/encrypted_dns.h"

#include <gtest/gtest.h>

#include <string>

#include "rules/filter_rules.h"

namespace quillnest::linuxhost::dns {
namespace {

ConfigurationRef configurationOf(const std::string& json) {
  VendorConfiguration vendor;
  vendor["filterRules"] = Bytes(json.begin(), json.end());
  return std::make_shared<const NEFilterProviderConfiguration>(std::move(vendor));
}

std::vector<std::string> domainsOf(const ConfigurationRef& configuration) {
  const auto& bytes = std::get<Bytes>(configuration->vendorConfiguration()->at("filterRules"));
  auto decoded = decodeFilterRules(bytes);
  return decoded.rules ? decoded.rules->domains().strings()
                       : std::vector<std::string>{"undecodable"};
}

TEST(ResolverList, ReadsNamesCommentsAndBlanks) {
  EXPECT_EQ(parseResolverList("# list\n  DNS.Google.\n\ncloudflare-dns.com # main\r\ndns.google\n"),
            (std::vector<std::string>{"cloudflare-dns.com", "dns.google"}));
  EXPECT_TRUE(parseResolverList("").empty());
}

TEST(ResolverList, AddedInPlaceOnlyToRulesThatBlock) {
  const std::vector<std::string> resolvers{"dns.google", "dns.quad9.net"};
  struct Case {
    std::string text;
    std::size_t added;
    std::vector<std::string> domains;  // after; {"undecodable"} when it does not decode
  };
  const std::vector<Case> cases = {
      // Appended after the user's entries, a name already listed included.
      {R"({"isEnabled": true, "domains": ["Example.com", "dns.google"]})",
       2,
       {"Example.com", "dns.google", "dns.google", "dns.quad9.net"}},
      {R"( { "domains" : [ ] , "other": {"domains": [1, "]"]}, "isEnabled" : true } )",
       2,
       {"dns.google", "dns.quad9.net"}},
      {R"({"domains": ["a\\\"],b"], "isEnabled": true})",
       2,
       {"a\\\"],b", "dns.google", "dns.quad9.net"}},
      // A key written with an escape is read by decoding: only the missing name is added.
      {R"({"isEnabled": true, "d\u006fmains": ["dns.google"]})",
       1,
       {"dns.google", "dns.quad9.net"}},
      {R"({"isEnabled": false, "domains": ["a.example"]})", 0, {"a.example"}},
      {R"({"isEnabled": "true", "domains": []})", 0, {"undecodable"}},
      {"not json", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": ["a"])", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": ["a"}})", 0, {"undecodable"}},
      {R"({"isEnabled": true, "domains": [], "domains": []})", 0, {"undecodable"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    Bytes text(c.text.begin(), c.text.end());
    EXPECT_EQ(addBlockedResolvers(text, resolvers), c.added);
    EXPECT_EQ(domainsOf(configurationOf(std::string(text.begin(), text.end()))), c.domains);
  }
}

}  // namespace
}  // namespace quillnest::linuxhost::dns
