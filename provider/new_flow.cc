// The new-flow callback: the rules' decision as a verdict, and every web flow kept for reports.
#include <mutex>

#include "inspection/new_flow.h"
#include "provider/filter_data_provider.h"

namespace quillnest {

NewFlowVerdictRef FilterDataProvider::verdictForNewFlow(const NEFilterFlow& flow,
                                                        const FilterRules& snapshot) {
  NewFlowDecision decision = decideNewFlow(flow, snapshot);
  switch (decision.kind) {
    case NewFlowDecision::Kind::block: return blockNewFlow(decision.hostname);
    case NewFlowDecision::Kind::drop: return NEFilterNewFlowVerdict::dropVerdict();
    case NewFlowDecision::Kind::peekOutbound:
      return NEFilterNewFlowVerdict::filterDataVerdictWithFilterInbound(false, 0, true,
                                                                        NewFlowDecision::peekBytes);
    case NewFlowDecision::Kind::allow: break;
  }
  return NEFilterNewFlowVerdict::allowVerdict();
}

NewFlowVerdictRef FilterDataProvider::handleNewFlow(const FlowRef& flow) {
  if (!flow) return NEFilterNewFlowVerdict::allowVerdict();
  NewFlowVerdictRef verdict;
  {
    const RulesSnapshot snapshot = rulesSnapshot();
    verdict = verdictForNewFlow(*flow, *snapshot);
  }

  const auto* socketFlow = dynamic_cast<const NEFilterSocketFlow*>(flow.get());
  if (socketFlow != nullptr && isWebFlow(*socketFlow)) {
    FlowRef replaced;  // released after unlocking
    lockWithRoom(stateLock, activeWebFlows, [&](FlowMap<FlowRef>& flows) {
      replaced = flows.insert(flow->identifier(), flow);
    });
    verdict->setShouldReport(true);
  }
  return verdict;
}

}  // namespace quillnest
