#include "provider/filter_data_provider.h"

#include <mutex>
#include <utility>

#include "host/log_formats.h"

namespace quillnest {

FilterDataProvider::FilterDataProvider(std::shared_ptr<NEFilterProviderHost> host)
    : NEFilterDataProvider(host),
      logger(host->makeLogger(kLogSubsystem, kLogCategory)),
      rules(FilterRules::disabled()),
      rulesGeneration(nextRulesGeneration()) {}

std::shared_ptr<FilterDataProvider> FilterDataProvider::init(
    std::shared_ptr<NEFilterProviderHost> host) {
  return std::shared_ptr<FilterDataProvider>(new FilterDataProvider(std::move(host)));
}

RulesSnapshot FilterDataProvider::rulesSnapshot() {
  ThreadRulesCopy& copy = threadRulesCopy();
  // The generation is stored after the rules it names (release), so equal means that this thread's
  // copy is what the lock would have given at this moment.
  if (rulesGeneration.load(std::memory_order_acquire) == copy.generation) {
    return RulesSnapshot(copy);
  }
  std::optional<FilterRules> fresh;  // the previous copy is released in it, after unlocking
  std::uint64_t generation;
  {
    std::lock_guard guard(stateLock);
    generation = rulesGeneration.load(std::memory_order_relaxed);
    fresh.emplace(rules);
  }
  if (copy.readers > 0) return RulesSnapshot(std::move(*fresh));
  copy.rules.swap(fresh);
  copy.generation = generation;
  return RulesSnapshot(copy);
}

void FilterDataProvider::releaseReplacedRules() {
  ThreadRulesCopy& copy = threadRulesCopy();
  if (!copy.rules || copy.readers > 0) return;
  {
    std::lock_guard guard(stateLock);
    if (copy.generation == rulesGeneration) return;
  }
  // Freed outside the lock.
  copy.rules.reset();
  copy.generation = 0;
}

FilterRules FilterDataProvider::loadRules() const {
  const ConfigurationRef configuration = filterConfiguration();
  if (!configuration || !configuration->vendorConfiguration()) return FilterRules::disabled();
  const VendorConfiguration& vendor = *configuration->vendorConfiguration();
  const auto entry = vendor.find("filterRules");
  if (entry == vendor.end()) return FilterRules::disabled();
  // Only bytes count; a string holding JSON text is not a configuration.
  const Bytes* bytes = std::get_if<Bytes>(&entry->second);
  if (bytes == nullptr) return FilterRules::disabled();
  DecodeResult decoded = decodeFilterRules(*bytes);
  if (!decoded.rules) return FilterRules::disabled();
  return std::move(*decoded.rules);
}

void FilterDataProvider::applyRules() {
  const std::uint64_t load = ++rulesLoadsStarted;
  FilterRules newRules = loadRules();
  const std::uint64_t newGeneration = nextRulesGeneration();
  std::vector<FlowRef> flowsToReset;
  // Released after unlocking: the old list may be the last reference to a million strings.
  std::optional<FilterRules> oldRules;
  {
    std::lock_guard guard(stateLock);
    // A change that arrived while this call loaded has been applied by a newer call already.
    if (load < rulesLoadStored) return;
    rulesLoadStored = load;
    oldRules.emplace(std::exchange(rules, newRules));
    rulesGeneration.store(newGeneration, std::memory_order_release);
    const bool resetDue = newRules.isEnabled() &&
                          (!oldRules->isEnabled() || oldRules->domains() != newRules.domains());
    if (resetDue && !activeWebFlows.empty()) {
      flowsToReset.reserve(activeWebFlows.size());
      activeWebFlows.forEach([&](const UUID&, const FlowRef& flow) { flowsToReset.push_back(flow); });
    }
  }
  logger->log(LogLevel::defaultLevel, QUILLNEST_LOG_RULES_UPDATED,
              {LogArgument::int32(newRules.isEnabled() ? 1 : 0),
               LogArgument::int64(static_cast<std::int64_t>(newRules.domains().size())),
               LogArgument::int64(static_cast<std::int64_t>(flowsToReset.size()))});
  for (const FlowRef& flow : flowsToReset) {
    updateFlow(flow, NEFilterDataVerdict::dropVerdict(), NETrafficDirection::any);
  }
}

void FilterDataProvider::startFilterWithCompletionHandler(
    std::function<void(ErrorRef)> completionHandler) {
  std::weak_ptr<FilterDataProvider> weakSelf = weak_from_this();
  configurationObservation = host().observeFilterConfiguration(kObservingOptionNew, [weakSelf] {
    if (auto self = weakSelf.lock()) self->applyRules();
  });
  applyRules();
  const NEFilterSettings settings = NEFilterSettings::initWithRules({}, NEFilterAction::filterData);
  applySettings(settings, [logger = logger,
                           completionHandler = std::move(completionHandler)](ErrorRef error) {
    if (error) {
      logger->log(LogLevel::error, QUILLNEST_LOG_SETTINGS_FAILED,
                  {LogArgument::string(error->localizedDescription())});
    }
    if (completionHandler) completionHandler(error);
  });
}

void FilterDataProvider::stopFilterWithReason(std::int64_t reason,
                                              std::function<void()> completionHandler) {
  if (configurationObservation) configurationObservation->invalidate();
  configurationObservation.reset();
  // The flows and buffers are freed after unlocking.
  FlowMap<FlowRef> forgottenFlows;
  FlowMap<std::unique_ptr<Bytes>> forgottenBuffers;
  {
    std::lock_guard guard(stateLock);
    activeWebFlows.swap(forgottenFlows);
    outboundBuffers.swap(forgottenBuffers);
  }
  logger->log(LogLevel::defaultLevel, QUILLNEST_LOG_FILTER_STOPPED, {LogArgument::int64(reason)});
  if (completionHandler) completionHandler();
}

FilterRules FilterDataProvider::currentRules() {
  std::lock_guard guard(stateLock);
  return rules;
}

std::size_t FilterDataProvider::activeWebFlowCount() {
  std::lock_guard guard(stateLock);
  return activeWebFlows.size();
}

std::size_t FilterDataProvider::outboundBufferCount() {
  std::lock_guard guard(stateLock);
  return outboundBuffers.size();
}

bool FilterDataProvider::hasActiveWebFlow(const UUID& identifier) {
  std::lock_guard guard(stateLock);
  return activeWebFlows.contains(identifier);
}

std::optional<Bytes> FilterDataProvider::outboundBuffer(const UUID& identifier) {
  std::lock_guard guard(stateLock);
  const std::unique_ptr<Bytes>* buffer = outboundBuffers.find(identifier);
  if (buffer == nullptr) return std::nullopt;
  return **buffer;
}

}  // namespace quillnest
