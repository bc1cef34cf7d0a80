// The macOS side of the content-filter host interface: conversions between NetworkExtension
// objects and the core's types, and the host operations the core calls on the platform provider.
//
// Objective-C++ (ARC). Inside quillnest::macos a bare NEFilterFlow names the core's class; the
// platform's classes are written with a leading ::.
#pragma once

#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/data_provider.h"

@class QNConfigurationObserver;

namespace quillnest::macos {

UUID coreUUID(NSUUID* identifier);
std::optional<std::string> coreString(NSString* text);
ConfigurationValue coreConfigurationValue(id value);
// Nothing for a nil dictionary; entries whose key is not a string are left out.
std::optional<VendorConfiguration> coreVendorConfiguration(NSDictionary<NSString*, id>* dictionary);

// A core flow that carries its platform flow, so that host operations on it (updateFlow) reach
// the platform object. Plain flows become NEFilterFlow, socket flows NEFilterSocketFlow.
FlowRef makeCoreFlow(::NEFilterFlow* flow, UUID identifier);
// The platform flow behind a core flow made by makeCoreFlow, or nil.
::NEFilterFlow* platformFlow(const NEFilterFlow& flow);

// A missing core verdict allows: the filter fails open.
::NEFilterNewFlowVerdict* platformNewFlowVerdict(const NewFlowVerdictRef& verdict);
::NEFilterDataVerdict* platformDataVerdict(const DataVerdictRef& verdict);

// The core passes host errors on by identity: an error made by coreError turns back into the very
// platform object it came from.
ErrorRef coreError(::NSError* error);
::NSError* platformError(const ErrorRef& error);

class MacProviderHost final : public NEFilterProviderHost {
 public:
  explicit MacProviderHost(::NEFilterDataProvider* provider);
  ~MacProviderHost() override;

  // Ends every observation while the provider still exists to be unregistered from; the
  // provider's dealloc calls it. Later host operations find no provider and do nothing.
  void detach();

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

 private:
  __weak ::NEFilterDataProvider* provider_;
  std::mutex mutex_;
  bool detached_ = false;
  std::vector<__weak QNConfigurationObserver*> observers_;
};

}  // namespace quillnest::macos
