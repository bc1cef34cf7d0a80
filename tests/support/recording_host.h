// A content-filter host for tests: its configuration can be set and changed, its observation
// fires on demand on any thread, and everything the provider asks of it is recorded. Every call
// made by a thread that holds a StateLock is a lock-discipline violation and fails the test.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/data_provider.h"

namespace quillnest::testing {

struct LogRecord {
  LogLevel level;
  std::string format;
  std::vector<LogArgument> arguments;
  friend bool operator==(const LogRecord&, const LogRecord&) = default;
};

class RecordingLogger final : public Logger {
 public:
  RecordingLogger(std::string_view subsystem, std::string_view category)
      : subsystem_(subsystem), category_(category) {}

  bool isEnabled(LogLevel level) const override;
  void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) override;

  void setDebugEnabled(bool enabled) { debugEnabled_ = enabled; }
  std::vector<LogRecord> records() const {
    std::lock_guard guard(mutex_);
    return records_;
  }
  void clear() {
    std::lock_guard guard(mutex_);
    records_.clear();
  }
  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

 private:
  std::string subsystem_;
  std::string category_;
  std::atomic<bool> debugEnabled_{true};
  mutable std::mutex mutex_;
  std::vector<LogRecord> records_;
};

struct FlowUpdate {
  FlowRef flow;
  DataVerdictRef verdict;
  NETrafficDirection direction;
};

class RecordingHost final : public NEFilterProviderHost {
 public:
  void setConfiguration(ConfigurationRef configuration) {
    std::lock_guard guard(mutex_);
    configuration_ = std::move(configuration);
  }
  // A vendor dictionary with the text as "filterRules" bytes.
  void setRulesJSON(std::string_view json);
  // Calls every live observation handler on the calling thread.
  void fireConfigurationChange();
  // Changes the rules and fires, as the platform does when the configuration is saved.
  void changeRulesJSON(std::string_view json) {
    setRulesJSON(json);
    fireConfigurationChange();
  }
  // Runs action once, on the thread of the next filterConfiguration() read, after the value it
  // returns has been taken: a change that arrives just after the provider read its configuration.
  void afterNextConfigurationRead(std::function<void()> action) {
    std::lock_guard guard(mutex_);
    afterRead_ = std::move(action);
  }
  int liveObservations() const;
  int observationsCreated() const { return observationsCreated_; }
  std::uint32_t lastObservationOptions() const { return lastOptions_; }

  // Settings: completions are held until the test completes them.
  int settingsApplied() const { return static_cast<int>(locked(settings_).size()); }
  NEFilterSettings lastSettings() const { return locked(settings_).back(); }
  void completeSettings(ErrorRef error);

  std::vector<FlowUpdate> updates() const { return locked(updates_); }
  std::vector<std::string> notifications() const { return locked(notifications_); }
  RecordingLogger& logger() const { return *logger_; }
  int lockViolations() const { return lockViolations_; }
  void clearRecords();

  ConfigurationRef filterConfiguration() override;
  std::unique_ptr<NSKeyValueObservation> observeFilterConfiguration(
      std::uint32_t options, std::function<void()> handler) override;
  void applySettings(const NEFilterSettings& settings,
                     std::function<void(ErrorRef)> completionHandler) override;
  void updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                  NETrafficDirection direction) override;
  std::shared_ptr<Logger> makeLogger(std::string_view subsystem,
                                     std::string_view category) override {
    logger_ = std::make_shared<RecordingLogger>(subsystem, category);
    return logger_;
  }
  void notifyPost(std::string_view name) override;

  struct ObservationState;

 private:
  template <typename T>
  T locked(const T& value) const {
    std::lock_guard guard(mutex_);
    return value;
  }
  void checkLockNotHeld(const char* operation);

  mutable std::mutex mutex_;
  ConfigurationRef configuration_;
  std::function<void()> afterRead_;
  std::vector<std::weak_ptr<ObservationState>> observations_;
  std::atomic<int> observationsCreated_{0};
  std::atomic<std::uint32_t> lastOptions_{0};
  std::vector<NEFilterSettings> settings_;
  std::vector<std::function<void(ErrorRef)>> pendingCompletions_;
  std::vector<FlowUpdate> updates_;
  std::vector<std::string> notifications_;
  std::shared_ptr<RecordingLogger> logger_ = std::make_shared<RecordingLogger>("unset", "unset");
  std::atomic<int> lockViolations_{0};
};

// Flow shapes for tests.
struct FlowShape {
  enum class Kind { socket, plain } kind = Kind::socket;
  enum class Endpoint { host, other, none } endpoint = Endpoint::host;
  std::string endpointHostname = "198.51.100.2";
  std::string port = "443";
  int protocol = kProtocolTCP;
  std::optional<std::string> urlHost;
  bool withURL = false;  // a URL without host when urlHost is absent
  std::optional<std::string> remoteHostname;
};

FlowRef makeFlow(const FlowShape& shape);
FlowRef makeTLSFlow(std::string endpointHostname = "198.51.100.2");

// JSON text for {"isEnabled": enabled, "domains": [...]}.
std::string rulesJSON(bool enabled, const std::vector<std::string>& domains);

}  // namespace quillnest::testing
