// Pure parts of the new-flow decision: which flows are web flows, which name they carry, and what
// the rules say of them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "host/flow.h"
#include "rules/filter_rules.h"

namespace quillnest {

// Which host name the platform knows for a flow: URL host, remote host name, or the endpoint's
// host name unless it is an address literal.
std::optional<std::string> hostnameForFlow(const NEFilterFlow& flow);
// A socket flow whose remote endpoint is an NWHostEndpoint with port text "80" or "443".
bool isWebFlow(const NEFilterSocketFlow& flow);

// What the rules say of a new flow; the provider turns it into a verdict and, for a block, a report.
struct NewFlowDecision {
  enum class Kind { allow, block, drop, peekOutbound };
  Kind kind = Kind::allow;
  std::string hostname;  // the blocked name, for block
  static constexpr std::uint64_t peekBytes = 5;  // a TLS record header
};

NewFlowDecision decideNewFlow(const NEFilterFlow& flow, const FilterRules& snapshot);

}  // namespace quillnest
