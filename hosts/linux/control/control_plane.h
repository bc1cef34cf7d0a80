// The control plane of `quillnest-filter run` in one object: the rules file as configuration,
// the journal logger, the notification socket and the control socket. The daemon makes one,
// calls start() before the provider starts, and plugs the parts into its host.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "host/logging.h"
#include "hosts/common/flow_engine.h"
#include "hosts/linux/control/control_server.h"
#include "hosts/linux/control/journal_logger.h"
#include "hosts/linux/control/notification_server.h"
#include "hosts/linux/control/paths.h"
#include "hosts/linux/control/rules_file.h"
#include "rules/filter_rules.h"

namespace quillnest::linuxhost {

struct ControlPlaneOptions {
  std::filesystem::path rulesPath{kDefaultRulesFile};
  std::filesystem::path runtimeDirectory{kDefaultRuntimeDirectory};
  bool debug = false;
  uid_t trustedOwner = 0;              // owner the rules file and its directory must have (root)
  std::size_t rulesSpareCapacity = 0;  // room behind the rules file's bytes for additions
  int logFd = 2;
};

class ControlPlane final : public Notifier {
 public:
  explicit ControlPlane(ControlPlaneOptions options);
  ~ControlPlane() override;

  // Refuses a rules file that a non-root user can change, then creates the runtime directory
  // (0750) with the notification (0660) and control (0600) sockets. Empty on success, else the
  // message to print before exiting non-zero.
  std::string start(StatusSource& status);
  // Closes both sockets. Idempotent.
  void stop();

  const std::shared_ptr<JournalLogger>& journal() const { return journal_; }
  RulesFileConfiguration& rules() { return *rules_; }
  const ControlPlaneOptions& options() const { return options_; }
  std::size_t subscriberCount() const;

  // Notifier: to every subscriber; nowhere before start() or after stop().
  void post(std::string_view name) override;

 private:
  ControlPlaneOptions options_;
  std::shared_ptr<JournalLogger> journal_;
  std::unique_ptr<RulesFileConfiguration> rules_;
  mutable std::mutex mutex_;
  std::shared_ptr<NotificationServer> notifications_;
  std::unique_ptr<ControlServer> control_;
};

// A StatusSource that asks a function (the daemon's lambda over its engine and provider).
class FunctionStatusSource final : public StatusSource {
 public:
  explicit FunctionStatusSource(std::function<StatusReport()> status)
      : status_(std::move(status)) {}
  StatusReport status() override { return status_(); }

 private:
  std::function<StatusReport()> status_;
};

// The status numbers from what the daemon has: the engine's counters, the provider's rules,
// the resets the daemon imposed, the subscribers and the time since start.
StatusReport makeStatusReport(const hosts::FlowEngineCounters& counters, const FilterRules& rules,
                              std::uint64_t resets, std::uint64_t subscribers,
                              std::chrono::seconds uptime);

}  // namespace quillnest::linuxhost
