// The content-filter host as the Linux daemon serves it to the provider.
//
// Plug points for the daemon's other parts are the members below, set before the provider
// starts: where the configuration comes from (default: the rules file's bytes as the vendor
// dictionary's "filterRules"), where log lines and notifications go (default: stderr with syslog
// priority prefixes; notifications go nowhere), and who enforces updateFlow (the data plane).
// configurationChanged() is what a change source (SIGHUP, a file watcher) calls.
//
// Observation handlers and settings completions run on the host's configuration thread, never on
// the caller's, so a handler that re-enters the provider cannot deadlock its caller.
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/data_provider.h"

namespace quillnest::linuxhost {

// Reads the rules file: its bytes become vendorConfiguration["filterRules"]. A missing or
// unreadable file is a configuration without a vendor dictionary (the provider then runs with
// blocking off); problem says why when there is one worth telling.
ConfigurationRef readRulesFile(const std::filesystem::path& path, std::string* problem = nullptr);

class LinuxHost final : public NEFilterProviderHost,
                        public std::enable_shared_from_this<LinuxHost> {
 public:
  using ConfigurationSource = std::function<ConfigurationRef()>;
  using LogSink = std::function<void(LogLevel, const std::string& line)>;
  using NotificationSink = std::function<void(std::string_view name)>;
  using FlowUpdater =
      std::function<void(const FlowRef&, const DataVerdictRef&, NETrafficDirection)>;

  struct Options {
    std::filesystem::path rulesPath;
    bool showPrivate = false;  // --debug: private log arguments in clear text
  };

  explicit LinuxHost(Options options);
  ~LinuxHost() override;

  void setConfigurationSource(ConfigurationSource source);
  void setLogSink(LogSink sink);
  void setNotificationSink(NotificationSink sink);
  void setFlowUpdater(FlowUpdater updater);

  // Fires every valid observation once, on the configuration thread.
  void configurationChanged();
  // Runs task on the configuration thread, after everything posted before it.
  void post(std::function<void()> task);
  // Waits until everything posted so far has run (tests, orderly stop).
  void drain();
  // Stops the configuration thread; later posts are dropped. Idempotent.
  void shutdown();

  // Host-level lines (start-up, errors of the data plane) through the same sink.
  void log(LogLevel level, const std::string& line);
  bool showPrivate() const { return options_.showPrivate; }

  // NEFilterProviderHost
  ConfigurationRef filterConfiguration() override;
  std::unique_ptr<NSKeyValueObservation> observeFilterConfiguration(
      std::uint32_t options, std::function<void()> handler) override;
  void applySettings(const NEFilterSettings& settings,
                     std::function<void(ErrorRef)> completionHandler) override;
  void updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                  NETrafficDirection direction) override;
  std::shared_ptr<Logger> makeLogger(std::string_view subsystem,
                                     std::string_view category) override;
  void notifyPost(std::string_view name) override;

  struct Observation;

 private:
  void runTasks();

  Options options_;
  ConfigurationSource configurationSource_;
  std::shared_ptr<LogSink> logSink_;
  NotificationSink notificationSink_;
  FlowUpdater flowUpdater_;

  std::mutex observationsMutex_;
  std::vector<std::weak_ptr<Observation>> observations_;

  std::mutex tasksMutex_;
  std::condition_variable tasksChanged_;
  std::deque<std::function<void()>> tasks_;
  std::size_t tasksPosted_ = 0;
  std::size_t tasksDone_ = 0;
  bool stopping_ = false;
  std::thread configurationThread_;
};

}  // namespace quillnest::linuxhost
