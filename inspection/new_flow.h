// Pure parts of the new-flow decision: which flows are web flows and which name they carry.
#pragma once

#include <optional>
#include <string>

#include "host/flow.h"

namespace quillnest {

// Which host name the platform knows for a flow: URL host, remote host name, or the endpoint's
// host name unless it is an address literal.
std::optional<std::string> hostnameForFlow(const NEFilterFlow& flow);
// A socket flow whose remote endpoint is an NWHostEndpoint with port text "80" or "443".
bool isWebFlow(const NEFilterSocketFlow& flow);

}  // namespace quillnest
