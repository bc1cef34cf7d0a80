#include "hosts/linux/linux_host.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "hosts/common/rules_file_reader.h"
#include "hosts/linux/control/journal_logger.h"

namespace quillnest::linuxhost {
namespace {

LinuxHost::LogSink stderrJournal() {
  auto journal = std::make_shared<JournalLogger>(false, STDERR_FILENO);
  return [journal](LogLevel level, const std::string& line) { journal->writeLine(level, line); };
}

class SinkLogger final : public Logger {
 public:
  SinkLogger(std::shared_ptr<LinuxHost::LogSink> sink, bool showPrivate)
      : sink_(std::move(sink)), showPrivate_(showPrivate) {}
  bool isEnabled(LogLevel) const override { return true; }
  void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) override {
    (*sink_)(level, renderLogLine(format, arguments, showPrivate_));
  }

 private:
  std::shared_ptr<LinuxHost::LogSink> sink_;
  bool showPrivate_;
};

}  // namespace

// Handlers run with the observation's mutex held, so invalidate() from another thread waits for
// a running handler; the mutex is recursive so the handler may invalidate (or destroy) its own
// observation.
struct LinuxHost::Observation {
  std::recursive_mutex mutex;
  std::atomic<bool> valid{true};
  std::function<void()> handler;
};

namespace {

class ObservationToken final : public NSKeyValueObservation {
 public:
  explicit ObservationToken(std::shared_ptr<LinuxHost::Observation> state)
      : state_(std::move(state)) {}
  ~ObservationToken() override { invalidate(); }
  void invalidate() override {
    // Cleared before waiting, so a call queued behind a running handler does not start.
    state_->valid = false;
    std::lock_guard lock(state_->mutex);
  }

 private:
  std::shared_ptr<LinuxHost::Observation> state_;
};

}  // namespace

ConfigurationRef readRulesFile(const std::filesystem::path& path, std::string* problem) {
  RulesFileBytes read = readRulesFileBytes(path);
  if (!read.bytes) {
    // No file is no configuration, and nothing to complain about.
    if (problem && read.error != ENOENT) *problem = std::move(read.problem);
    return std::make_shared<const NEFilterProviderConfiguration>(std::nullopt);
  }
  VendorConfiguration vendor;
  vendor.emplace("filterRules", std::move(*read.bytes));
  return std::make_shared<const NEFilterProviderConfiguration>(std::move(vendor));
}

LinuxHost::LinuxHost(Options options)
    : options_(std::move(options)), logSink_(std::make_shared<LogSink>(stderrJournal())) {
  configurationSource_ = [path = options_.rulesPath, this] {
    std::string problem;
    auto configuration = readRulesFile(path, &problem);
    if (!problem.empty()) log(LogLevel::error, problem);
    return configuration;
  };
  configurationThread_ = std::thread([this] { runTasks(); });
}

LinuxHost::~LinuxHost() { shutdown(); }

void LinuxHost::setConfigurationSource(ConfigurationSource source) {
  configurationSource_ = std::move(source);
}
void LinuxHost::setLogSink(LogSink sink) { *logSink_ = std::move(sink); }
void LinuxHost::setNotificationSink(NotificationSink sink) { notificationSink_ = std::move(sink); }
void LinuxHost::setFlowUpdater(FlowUpdater updater) { flowUpdater_ = std::move(updater); }

void LinuxHost::log(LogLevel level, const std::string& line) { (*logSink_)(level, line); }

void LinuxHost::runTasks() {
  std::unique_lock lock(tasksMutex_);
  for (;;) {
    tasksChanged_.wait(lock, [&] { return stopping_ || !tasks_.empty(); });
    if (tasks_.empty()) return;
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    task = nullptr;
    lock.lock();
    ++tasksDone_;
    tasksChanged_.notify_all();
  }
}

void LinuxHost::post(std::function<void()> task) {
  std::lock_guard lock(tasksMutex_);
  if (stopping_) return;
  tasks_.push_back(std::move(task));
  ++tasksPosted_;
  tasksChanged_.notify_all();
}

void LinuxHost::drain() {
  if (std::this_thread::get_id() == configurationThread_.get_id()) return;
  std::unique_lock lock(tasksMutex_);
  std::size_t target = tasksPosted_;
  tasksChanged_.wait(lock,
                     [&] { return tasksDone_ >= target || !configurationThread_.joinable(); });
}

void LinuxHost::shutdown() {
  {
    std::lock_guard lock(tasksMutex_);
    if (stopping_) return;
    stopping_ = true;
    tasksChanged_.notify_all();
  }
  // The thread finishes what was posted before the shutdown.
  if (configurationThread_.joinable() &&
      std::this_thread::get_id() != configurationThread_.get_id())
    configurationThread_.join();
}

void LinuxHost::configurationChanged() {
  std::vector<std::shared_ptr<Observation>> live;
  {
    std::lock_guard lock(observationsMutex_);
    std::erase_if(observations_, [&](const std::weak_ptr<Observation>& weak) {
      auto observation = weak.lock();
      if (!observation) return true;
      live.push_back(std::move(observation));
      return false;
    });
  }
  for (auto& observation : live) {
    post([observation] {
      std::lock_guard lock(observation->mutex);
      if (observation->valid) observation->handler();
    });
  }
}

ConfigurationRef LinuxHost::filterConfiguration() { return configurationSource_(); }

std::unique_ptr<NSKeyValueObservation> LinuxHost::observeFilterConfiguration(
    std::uint32_t, std::function<void()> handler) {
  auto observation = std::make_shared<Observation>();
  observation->handler = std::move(handler);
  {
    std::lock_guard lock(observationsMutex_);
    observations_.push_back(observation);
  }
  return std::make_unique<ObservationToken>(std::move(observation));
}

void LinuxHost::applySettings(const NEFilterSettings&,
                              std::function<void(ErrorRef)> completionHandler) {
  // Every new connection already reaches the provider through the queue rules, which is what
  // the settings ask for; the completion only has to arrive later, on another thread.
  post([completionHandler = std::move(completionHandler)] { completionHandler(nullptr); });
}

void LinuxHost::updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                           NETrafficDirection direction) {
  if (flowUpdater_ && flow && verdict) flowUpdater_(flow, verdict, direction);
}

std::shared_ptr<Logger> LinuxHost::makeLogger(std::string_view, std::string_view) {
  return std::make_shared<SinkLogger>(logSink_, options_.showPrivate);
}

void LinuxHost::notifyPost(std::string_view name) {
  if (notificationSink_) notificationSink_(name);
}

}  // namespace quillnest::linuxhost
