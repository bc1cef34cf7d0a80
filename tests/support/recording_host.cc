#include "tests/support/recording_host.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <thread>

#include "provider/state_lock.h"
#include "rules/filter_rules.h"

namespace quillnest::testing {

bool RecordingLogger::isEnabled(LogLevel level) const {
  if (StateLock::currentThreadHoldsAny()) ADD_FAILURE() << "logger queried under the state lock";
  return level != LogLevel::debug || debugEnabled_;
}

void RecordingLogger::log(LogLevel level, std::string_view format,
                          std::vector<LogArgument> arguments) {
  if (StateLock::currentThreadHoldsAny()) ADD_FAILURE() << "logged under the state lock";
  std::lock_guard guard(mutex_);
  records_.push_back({level, std::string(format), std::move(arguments)});
}

// Shared between the host and one observation; invalidate() waits for a running handler unless
// it is called from inside that handler.
struct RecordingHost::ObservationState {
  std::mutex mutex;
  std::condition_variable idle;
  std::function<void()> handler;
  bool valid = true;
  int running = 0;
  std::thread::id runningThread;

  void invalidate() {
    std::unique_lock lock(mutex);
    valid = false;
    if (running > 0 && runningThread == std::this_thread::get_id()) return;
    idle.wait(lock, [&] { return running == 0; });
    handler = nullptr;
  }

  void fire() {
    std::function<void()> call;
    {
      std::lock_guard lock(mutex);
      if (!valid) return;
      call = handler;
      ++running;
      runningThread = std::this_thread::get_id();
    }
    call();
    std::lock_guard lock(mutex);
    --running;
    idle.notify_all();
  }
};

namespace {

class RecordingObservation final : public NSKeyValueObservation {
 public:
  explicit RecordingObservation(std::shared_ptr<RecordingHost::ObservationState> state)
      : state_(std::move(state)) {}
  ~RecordingObservation() override { state_->invalidate(); }
  void invalidate() override { state_->invalidate(); }

 private:
  std::shared_ptr<RecordingHost::ObservationState> state_;
};

}  // namespace

void RecordingHost::checkLockNotHeld(const char* operation) {
  if (StateLock::currentThreadHoldsAny()) {
    ++lockViolations_;
    ADD_FAILURE() << operation << " called under the state lock";
  }
}

void RecordingHost::setRulesJSON(std::string_view json) {
  VendorConfiguration vendor;
  vendor.emplace("filterRules", Bytes(json.begin(), json.end()));
  setConfiguration(std::make_shared<NEFilterProviderConfiguration>(std::move(vendor)));
}

void RecordingHost::fireConfigurationChange() {
  std::vector<std::shared_ptr<ObservationState>> live;
  {
    std::lock_guard guard(mutex_);
    for (const auto& weak : observations_) {
      if (auto state = weak.lock()) live.push_back(std::move(state));
    }
  }
  for (const auto& state : live) state->fire();
}

int RecordingHost::liveObservations() const {
  std::lock_guard guard(mutex_);
  int count = 0;
  for (const auto& weak : observations_) {
    if (auto state = weak.lock()) {
      std::lock_guard stateGuard(state->mutex);
      count += state->valid ? 1 : 0;
    }
  }
  return count;
}

void RecordingHost::completeSettings(ErrorRef error) {
  std::vector<std::function<void(ErrorRef)>> completions;
  {
    std::lock_guard guard(mutex_);
    completions.swap(pendingCompletions_);
  }
  for (auto& completion : completions) completion(error);
}

void RecordingHost::clearRecords() {
  {
    std::lock_guard guard(mutex_);
    updates_.clear();
    notifications_.clear();
  }
  logger_->clear();
}

ConfigurationRef RecordingHost::filterConfiguration() {
  checkLockNotHeld("filterConfiguration");
  ConfigurationRef configuration;
  std::function<void()> afterRead;
  {
    std::lock_guard guard(mutex_);
    configuration = configuration_;
    afterRead = std::exchange(afterRead_, {});
  }
  if (afterRead) afterRead();
  return configuration;
}

std::unique_ptr<NSKeyValueObservation> RecordingHost::observeFilterConfiguration(
    std::uint32_t options, std::function<void()> handler) {
  checkLockNotHeld("observeFilterConfiguration");
  auto state = std::make_shared<ObservationState>();
  state->handler = std::move(handler);
  ++observationsCreated_;
  lastOptions_ = options;
  std::lock_guard guard(mutex_);
  observations_.push_back(state);
  return std::make_unique<RecordingObservation>(std::move(state));
}

void RecordingHost::applySettings(const NEFilterSettings& settings,
                                  std::function<void(ErrorRef)> completionHandler) {
  checkLockNotHeld("applySettings");
  std::lock_guard guard(mutex_);
  settings_.push_back(settings);
  pendingCompletions_.push_back(std::move(completionHandler));
}

void RecordingHost::updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                               NETrafficDirection direction) {
  checkLockNotHeld("updateFlow");
  std::lock_guard guard(mutex_);
  updates_.push_back({flow, verdict, direction});
}

void RecordingHost::notifyPost(std::string_view name) {
  checkLockNotHeld("notifyPost");
  std::lock_guard guard(mutex_);
  notifications_.emplace_back(name);
}

FlowRef makeFlow(const FlowShape& shape) {
  std::optional<URL> url;
  if (shape.urlHost || shape.withURL) {
    url = URL{shape.urlHost ? "https://" + *shape.urlHost + "/" : "about:blank", shape.urlHost};
  }
  if (shape.kind == FlowShape::Kind::plain) {
    return std::make_shared<NEFilterFlow>(UUID::random(), std::move(url));
  }
  struct OtherEndpoint final : NWEndpoint {};
  std::shared_ptr<const NWEndpoint> endpoint;
  if (shape.endpoint == FlowShape::Endpoint::host) {
    endpoint = std::make_shared<NWHostEndpoint>(shape.endpointHostname, shape.port);
  } else if (shape.endpoint == FlowShape::Endpoint::other) {
    endpoint = std::make_shared<OtherEndpoint>();
  }
  return std::make_shared<NEFilterSocketFlow>(
      UUID::random(), NEFilterSocketFlow::Attributes{std::move(url), std::move(endpoint),
                                                     shape.remoteHostname, shape.protocol});
}

FlowRef makeTLSFlow(std::string endpointHostname) {
  FlowShape shape;
  shape.endpointHostname = std::move(endpointHostname);
  return makeFlow(shape);
}

std::string rulesJSON(bool enabled, const std::vector<std::string>& domains) {
  return encodeFilterRules(FilterRules(enabled, domains));
}

}  // namespace quillnest::testing
