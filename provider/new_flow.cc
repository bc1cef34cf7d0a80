// The new-flow callback: the rules' decision as a verdict, and every web flow kept for reports.
#include <mutex>

#include "inspection/new_flow.h"
#include "provider/filter_data_provider.h"
#include "provider/map_node.h"

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
    auto entry = makeMapNode<decltype(activeWebFlows)>(flow->identifier(), flow);
    FlowRef replaced;  // both released after unlocking
    decltype(activeWebFlows)::node_type unused;
    {
      std::lock_guard guard(stateLock);
      auto inserted = activeWebFlows.insert(std::move(entry));
      if (!inserted.inserted) {
        replaced = std::exchange(inserted.position->second, std::move(inserted.node.mapped()));
        unused = std::move(inserted.node);
      }
    }
    verdict->setShouldReport(true);
  }
  return verdict;
}

}  // namespace quillnest
