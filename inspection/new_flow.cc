#include "inspection/new_flow.h"

#include <mutex>

#include "provider/filter_data_provider.h"
#include "rules/normalization.h"

namespace quillnest {
namespace {

constexpr std::string_view kHTTPPort = "80";
constexpr std::string_view kTLSPort = "443";
constexpr std::uint64_t kTLSRecordHeaderLength = 5;

const NWHostEndpoint* hostEndpointOf(const NEFilterSocketFlow& flow) {
  return dynamic_cast<const NWHostEndpoint*>(flow.remoteEndpoint().get());
}

std::optional<std::string> urlHostOf(const NEFilterFlow& flow) {
  if (flow.URL() && flow.URL()->host) return flow.URL()->host;
  return std::nullopt;
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

NewFlowVerdictRef FilterDataProvider::verdictForNewFlow(const NEFilterFlow& flow,
                                                        const FilterRules& snapshot) {
  if (!snapshot.isEnabled()) return NEFilterNewFlowVerdict::allowVerdict();

  const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(&flow);
  const NWHostEndpoint* endpoint = socketFlow ? hostEndpointOf(*socketFlow) : nullptr;
  if (endpoint == nullptr) {
    // Not a socket flow, or no host endpoint: only the URL host can name it.
    const auto host = urlHostOf(flow);
    if (host && snapshot.matchesHost(*host)) return blockNewFlow(*host);
    return NEFilterNewFlowVerdict::allowVerdict();
  }

  const std::string& port = endpoint->port();
  if (port != kHTTPPort && port != kTLSPort) return NEFilterNewFlowVerdict::allowVerdict();

  if (const auto host = hostnameForFlow(flow)) {
    if (snapshot.matchesHost(*host)) return blockNewFlow(*host);
    return NEFilterNewFlowVerdict::allowVerdict();
  }
  if (port == kTLSPort && socketFlow->socketProtocol() == kProtocolUDP) {
    return NEFilterNewFlowVerdict::dropVerdict();
  }
  if (port == kTLSPort && socketFlow->socketProtocol() == kProtocolTCP) {
    return NEFilterNewFlowVerdict::filterDataVerdictWithFilterInbound(false, 0, true,
                                                                      kTLSRecordHeaderLength);
  }
  return NEFilterNewFlowVerdict::allowVerdict();
}

NewFlowVerdictRef FilterDataProvider::handleNewFlow(const FlowRef& flow) {
  if (!flow) return NEFilterNewFlowVerdict::allowVerdict();
  const FilterRules snapshot = rulesSnapshot();
  NewFlowVerdictRef verdict = verdictForNewFlow(*flow, snapshot);

  const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(flow.get());
  if (socketFlow != nullptr && isWebFlow(*socketFlow)) {
    FlowRef replaced;  // released after unlocking
    {
      std::lock_guard guard(stateLock);
      replaced = std::exchange(activeWebFlows[flow->identifier()], flow);
    }
    verdict->setShouldReport(true);
  }
  return verdict;
}

}  // namespace quillnest
