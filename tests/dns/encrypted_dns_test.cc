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

TEST(ResolverList, AddedOnlyToRulesThatBlockAndOnlyWhereMissing) {
  const std::vector<std::string> resolvers{"dns.google", "dns.quad9.net"};
  const auto on =
      configurationOf(R"({"isEnabled": true, "domains": ["Example.com", "dns.google"]})");
  ResolverAddition added = withBlockedResolvers(on, resolvers);
  EXPECT_EQ(added.added, 1u);
  EXPECT_EQ(domainsOf(added.configuration),
            (std::vector<std::string>{"Example.com", "dns.google", "dns.quad9.net"}));
  EXPECT_EQ(domainsOf(on).size(), 2u);  // the user's configuration is not touched

  for (const ConfigurationRef& unchanged :
       {configurationOf(R"({"isEnabled": false, "domains": ["a.example"]})"),
        configurationOf("not json"), std::make_shared<const NEFilterProviderConfiguration>(),
        ConfigurationRef()}) {
    ResolverAddition none = withBlockedResolvers(unchanged, resolvers);
    EXPECT_EQ(none.added, 0u);
    EXPECT_EQ(none.configuration, unchanged);
  }
}

}  // namespace
}  // namespace quillnest::linuxhost::dns
