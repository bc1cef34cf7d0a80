#include "hosts/linux/dns/encrypted_dns.h"

#include <algorithm>
#include <memory>

#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost::dns {

extern const char* const kBuiltInResolverList;  // generated from packaging/doh-resolvers.txt

bool isEncryptedDnsConnection(const hosts::ParsedPacket& packet) {
  return packet.destinationPort == kEncryptedDnsPort &&
         (packet.protocol == hosts::kIpProtocolTCP || packet.protocol == hosts::kIpProtocolUDP);
}

std::vector<std::string> parseResolverList(std::string_view text) {
  std::vector<std::string> names;
  while (!text.empty()) {
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = line.substr(0, line.find('#'));
    if (auto name = normalizedHost(line)) names.push_back(std::move(*name));
  }
  return normalizedDomains(names);
}

const std::vector<std::string>& wellKnownResolvers() {
  static const std::vector<std::string> names = parseResolverList(kBuiltInResolverList);
  return names;
}

ResolverAddition withBlockedResolvers(const ConfigurationRef& configuration,
                                      const std::vector<std::string>& names) {
  ResolverAddition result{configuration, 0};
  if (!configuration || !configuration->vendorConfiguration() || names.empty()) return result;
  VendorConfiguration vendor = *configuration->vendorConfiguration();
  const auto entry = vendor.find("filterRules");
  if (entry == vendor.end()) return result;
  const Bytes* bytes = std::get_if<Bytes>(&entry->second);
  if (bytes == nullptr) return result;
  DecodeResult decoded = decodeFilterRules(*bytes);
  if (!decoded.rules || !decoded.rules->isEnabled()) return result;

  std::vector<std::string> domains = decoded.rules->domains().strings();
  const std::vector<std::string> own = normalizedDomains(domains);
  for (const auto& name : names) {
    if (std::binary_search(own.begin(), own.end(), name)) continue;
    domains.push_back(name);
    ++result.added;
  }
  if (result.added == 0) return result;
  const std::string json = encodeFilterRules(FilterRules(true, std::move(domains)));
  entry->second = Bytes(json.begin(), json.end());
  result.configuration = std::make_shared<const NEFilterProviderConfiguration>(std::move(vendor));
  return result;
}

}  // namespace quillnest::linuxhost::dns
