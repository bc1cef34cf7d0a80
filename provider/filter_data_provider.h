// The content-filter provider: the one object that holds the filter's state.
//
// Every host callback arrives here, possibly on several threads at once. One non-recursive lock,
// stateLock, guards rules, activeWebFlows and outboundBuffers; its critical sections are short,
// never nest and never call the host (reading a flow's identifier aside).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "host/data_provider.h"
#include "provider/flow_map.h"
#include "provider/rules_snapshot.h"
#include "provider/state_lock.h"
#include "rules/filter_rules.h"

namespace quillnest {

inline constexpr std::string_view kLogSubsystem = "com.quillnest.mac.filter";
inline constexpr std::string_view kLogCategory = "filter";
inline constexpr std::string_view kBlockedNotification = "com.quillnest.mac.blocked";
inline constexpr std::size_t outboundBufferLimit = 65536;

class FilterDataProvider final : public NEFilterDataProvider,
                                 public std::enable_shared_from_this<FilterDataProvider> {
 public:
  // The host creates the provider; it must be owned by a shared_ptr so the configuration
  // observation can hold it weakly.
  static std::shared_ptr<FilterDataProvider> init(std::shared_ptr<NEFilterProviderHost> host);
  ~FilterDataProvider() override = default;

  void startFilterWithCompletionHandler(std::function<void(ErrorRef)> completionHandler) override;
  void stopFilterWithReason(std::int64_t reason, std::function<void()> completionHandler) override;
  NewFlowVerdictRef handleNewFlow(const FlowRef& flow) override;
  void handleReport(const NEFilterReport& report) override;
  DataVerdictRef handleOutboundDataFromFlow(const FlowRef& flow, std::uint64_t readBytesStartOffset,
                                            std::span<const std::uint8_t> readBytes) override;
  DataVerdictRef handleOutboundDataCompleteForFlow(const FlowRef& flow) override;

  // Reads the rules from the current filter configuration; FilterRules::disabled() for anything
  // missing or unreadable. Never fails, never logs.
  FilterRules loadRules() const;
  void applyRules();
  // Lets go of the calling thread's copy of rules that have since been replaced. A thread that
  // decides no flow for a while calls it, so that it does not keep a replaced list alive.
  void releaseReplacedRules();

  // Read-only views for hosts (status) and tests; each takes the lock briefly.
  FilterRules currentRules();
  std::size_t activeWebFlowCount();
  std::size_t outboundBufferCount();
  bool hasActiveWebFlow(const UUID& identifier);
  std::optional<Bytes> outboundBuffer(const UUID& identifier);
  bool hasConfigurationObservation() const { return configurationObservation != nullptr; }
  const StateLock& lockForTesting() const { return stateLock; }

 private:
  explicit FilterDataProvider(std::shared_ptr<NEFilterProviderHost> host);

  NewFlowVerdictRef verdictForNewFlow(const NEFilterFlow& flow, const FilterRules& rules);
  NewFlowVerdictRef blockNewFlow(const std::string& hostname);
  DataVerdictRef blockServerName(const std::string& serverName);
  void postBlockReport(std::string_view format, const std::string& hostname);
  // False when the delivery does not continue the held bytes within the limit (the buffer is then
  // dropped); otherwise the whole buffer is copied into collected.
  bool appendOutboundBytes(const NEFilterFlow& flow, std::uint64_t offset,
                           std::span<const std::uint8_t> bytes, Bytes& collected);
  void removeOutboundBuffer(const NEFilterFlow& flow);
  DataVerdictRef verdictForServerName(const std::string& serverName, const FilterRules& rules);
  RulesSnapshot rulesSnapshot();

  // Fields, in declared order.
  std::shared_ptr<Logger> logger;
  // What every section writes starts a cache line of its own, and what every decision only reads
  // (the generation) sits on another, so that neither thread's reads wait for the other's writes.
  alignas(64) StateLock stateLock;
  FlowMap<FlowRef> activeWebFlows;
  std::unique_ptr<NSKeyValueObservation> configurationObservation;
  FlowMap<std::unique_ptr<Bytes>> outboundBuffers;
  FilterRules rules;
  // Numbers applyRules' loads in the order they start; under stateLock, the newest one stored. An
  // older load that reaches the lock after a newer one must not put back the rules it read.
  std::atomic<std::uint64_t> rulesLoadsStarted{0};
  std::uint64_t rulesLoadStored = 0;
  // Identifies the value in rules for the threads' copies (rules_snapshot.h). Written only under
  // stateLock, together with rules; read without it, so that a decision whose thread already holds
  // the current rules takes no lock for them.
  alignas(64) std::atomic<std::uint64_t> rulesGeneration;
};

}  // namespace quillnest
