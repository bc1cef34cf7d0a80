#include "inspection/new_flow.h"

#include "rules/normalization.h"

namespace quillnest {
namespace {

constexpr std::string_view kHTTPPort = "80";
constexpr std::string_view kTLSPort = "443";

const NWHostEndpoint* hostEndpointOf(const NEFilterSocketFlow& flow) {
  return dynamic_cast<const NWHostEndpoint*>(flow.remoteEndpoint().get());
}

std::optional<std::string> urlHostOf(const NEFilterFlow& flow) {
  if (flow.URL() && flow.URL()->host) return flow.URL()->host;
  return std::nullopt;
}

NewFlowDecision byName(const std::string& host, const FilterRules& snapshot) {
  if (snapshot.matchesHost(host)) return {NewFlowDecision::Kind::block, host};
  return {};
}

}  // namespace

std::optional<std::string> hostnameForFlow(const NEFilterFlow& flow) {
  if (auto host = urlHostOf(flow)) return host;
  const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
  if (socketFlow == nullptr) return std::nullopt;
  // Any remote host name counts, the empty one included.
  if (socketFlow->remoteHostname()) return socketFlow->remoteHostname();
  const NWHostEndpoint* endpoint = hostEndpointOf(*socketFlow);
  if (endpoint != nullptr && !isIPAddressLiteral(endpoint->hostname())) return endpoint->hostname();
  return std::nullopt;
}

bool isWebFlow(const NEFilterSocketFlow& flow) {
  const NWHostEndpoint* endpoint = hostEndpointOf(flow);
  return endpoint != nullptr && (endpoint->port() == kHTTPPort || endpoint->port() == kTLSPort);
}

NewFlowDecision decideNewFlow(const NEFilterFlow& flow, const FilterRules& snapshot) {
  if (!snapshot.isEnabled()) return {};

  const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
  const NWHostEndpoint* endpoint = socketFlow ? hostEndpointOf(*socketFlow) : nullptr;
  if (endpoint == nullptr) {
    // Not a socket flow, or no host endpoint: only the URL host can name it.
    if (const auto host = urlHostOf(flow)) return byName(*host, snapshot);
    return {};
  }

  const std::string& port = endpoint->port();
  if (port != kHTTPPort && port != kTLSPort) return {};

  if (const auto host = hostnameForFlow(flow)) return byName(*host, snapshot);
  if (port == kTLSPort && socketFlow->socketProtocol() == kProtocolUDP) {
    return {NewFlowDecision::Kind::drop, {}};
  }
  if (port == kTLSPort && socketFlow->socketProtocol() == kProtocolTCP) {
    return {NewFlowDecision::Kind::peekOutbound, {}};
  }
  return {};
}

}  // namespace quillnest
