// The content-filter host interface: what the provider serves (the callbacks of
// NEFilterDataProvider) and what it calls on its host (configuration, settings, flow updates,
// logging, notifications).
//
// Each host (Linux netfilter, capture replay, macOS NetworkExtension, test doubles) implements
// NEFilterProviderHost once; the provider reaches it through the forwarding methods of
// NEFilterDataProvider, which keep the platform's names.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "host/configuration.h"
#include "host/flow.h"
#include "host/logging.h"
#include "host/verdict.h"

namespace quillnest {

// An error the host reports; passed on by identity, never wrapped or replaced.
class NSError {
 public:
  NSError(std::string domain, std::int64_t code, std::string localizedDescription)
      : domain_(std::move(domain)), code_(code), description_(std::move(localizedDescription)) {}
  const std::string& domain() const { return domain_; }
  std::int64_t code() const { return code_; }
  const std::string& localizedDescription() const { return description_; }

 private:
  std::string domain_;
  std::int64_t code_;
  std::string description_;
};

using ErrorRef = std::shared_ptr<const NSError>;

enum class NEFilterReportEvent : std::int64_t {
  newFlow = 1,
  dataDecision = 2,
  flowClosed = 3,
  statistics = 4,
};

struct NEFilterReport {
  std::int64_t event = 0;
  FlowRef flow;  // may be absent
};

// A change observation; once invalidate() has returned its handler never runs again.
// Destroying an observation invalidates it, and must be safe from within its own handler (the
// last owner of the provider may let go there).
class NSKeyValueObservation {
 public:
  virtual ~NSKeyValueObservation() = default;
  virtual void invalidate() = 0;
};

// Observation options: 1 reports new values only, 4 (initial) is never used by the filter.
inline constexpr std::uint32_t kObservingOptionNew = 1;

class NEFilterProviderHost {
 public:
  virtual ~NEFilterProviderHost() = default;

  // The provider's current filterConfiguration; null when the host has none.
  virtual ConfigurationRef filterConfiguration() = 0;
  // Calls handler once per later change of filterConfiguration, on any thread, never at
  // installation. The handler must not be called once invalidate() has returned.
  virtual std::unique_ptr<NSKeyValueObservation> observeFilterConfiguration(
      std::uint32_t options, std::function<void()> handler) = 0;
  // The completion is called once, later, on a host thread.
  virtual void applySettings(const NEFilterSettings& settings,
                             std::function<void(ErrorRef)> completionHandler) = 0;
  virtual void updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                          NETrafficDirection direction) = 0;

  virtual std::shared_ptr<Logger> makeLogger(std::string_view subsystem,
                                             std::string_view category) = 0;
  virtual void notifyPost(std::string_view name) = 0;
};

// The platform base class: callbacks the host calls, host operations the subclass calls.
class NEFilterDataProvider {
 public:
  explicit NEFilterDataProvider(std::shared_ptr<NEFilterProviderHost> host)
      : host_(std::move(host)) {}
  virtual ~NEFilterDataProvider() = default;
  NEFilterDataProvider(const NEFilterDataProvider&) = delete;
  NEFilterDataProvider& operator=(const NEFilterDataProvider&) = delete;

  // Callbacks. None of them throws.
  virtual void startFilterWithCompletionHandler(
      std::function<void(ErrorRef)> completionHandler) = 0;
  virtual void stopFilterWithReason(std::int64_t reason,
                                    std::function<void()> completionHandler) = 0;
  virtual NewFlowVerdictRef handleNewFlow(const FlowRef& flow) = 0;
  virtual void handleReport(const NEFilterReport& report) = 0;
  virtual DataVerdictRef handleOutboundDataFromFlow(const FlowRef& flow,
                                                    std::uint64_t readBytesStartOffset,
                                                    std::span<const std::uint8_t> readBytes) = 0;
  virtual DataVerdictRef handleOutboundDataCompleteForFlow(const FlowRef& flow) = 0;

  // Host operations.
  ConfigurationRef filterConfiguration() const { return host_->filterConfiguration(); }
  void applySettings(const NEFilterSettings& settings,
                     std::function<void(ErrorRef)> completionHandler) {
    host_->applySettings(settings, std::move(completionHandler));
  }
  void updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                  NETrafficDirection direction) {
    host_->updateFlow(flow, verdict, direction);
  }

 protected:
  NEFilterProviderHost& host() const { return *host_; }

 private:
  std::shared_ptr<NEFilterProviderHost> host_;
};

}  // namespace quillnest
