#import "hosts/macos/MacProviderHost.h"

#import <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>
#include <notify.h>
#include <os/log.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>

#include "hosts/macos/log_lines.h"

// The filter reads NWHostEndpoint and remoteEndpoint, which macOS 15 deprecates in favour of
// Network framework endpoints; they still work, and their names are the filter's contract.
#pragma clang diagnostic ignored "-Wdeprecated-declarations"

namespace qn = quillnest;

static char kConfigurationContext;

// One key-value observation of a provider's "filterConfiguration". The handler is called under a
// recursive mutex so that invalidate, from another thread, waits for a running handler and the
// handler never runs once invalidate has returned; the same thread (a handler letting the provider
// go) may invalidate from within.
@interface QNConfigurationObserver : NSObject
- (instancetype)initWithObservedObject:(NSObject*)object handler:(std::function<void()>)handler;
- (void)invalidate;
@end

@implementation QNConfigurationObserver {
  // Unretained: the observed provider owns this observer through the core, and its dealloc
  // invalidates every observer (MacProviderHost::detach) before it goes.
  __unsafe_unretained NSObject* _object;
  std::recursive_mutex _mutex;
  bool _invalidated;
  std::function<void()> _handler;
}

- (instancetype)initWithObservedObject:(NSObject*)object handler:(std::function<void()>)handler {
  self = [super init];
  if (self) {
    _object = object;
    _invalidated = object == nil;
    _handler = std::move(handler);
  }
  return self;
}

- (void)observeValueForKeyPath:(NSString*)keyPath
                      ofObject:(id)object
                        change:(NSDictionary<NSKeyValueChangeKey, id>*)change
                       context:(void*)context {
  if (context != &kConfigurationContext) {
    [super observeValueForKeyPath:keyPath ofObject:object change:change context:context];
    return;
  }
  // Kept alive for the call: the handler may release the last owner of this observer.
  QNConfigurationObserver* strongSelf = self;
  std::lock_guard guard(strongSelf->_mutex);
  if (strongSelf->_invalidated) return;
  const std::function<void()> handler = strongSelf->_handler;
  if (handler) handler();
}

- (void)invalidate {
  std::lock_guard guard(_mutex);
  if (_invalidated) return;
  _invalidated = true;
  [_object removeObserver:self forKeyPath:@"filterConfiguration" context:&kConfigurationContext];
  _object = nil;
  _handler = nullptr;
}

@end

namespace quillnest::macos {
namespace {

class ConfigurationObservation final : public NSKeyValueObservation {
 public:
  explicit ConfigurationObservation(QNConfigurationObserver* observer) : observer_(observer) {}
  ~ConfigurationObservation() override { [observer_ invalidate]; }
  void invalidate() override { [observer_ invalidate]; }

 private:
  QNConfigurationObserver* observer_;
};

os_log_type_t osLogType(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return OS_LOG_TYPE_DEBUG;
    case LogLevel::defaultLevel:
      return OS_LOG_TYPE_DEFAULT;
    case LogLevel::error:
      return OS_LOG_TYPE_ERROR;
  }
  return OS_LOG_TYPE_DEFAULT;
}

class UnifiedLogger final : public Logger {
 public:
  UnifiedLogger(std::string_view subsystem, std::string_view category)
      : log_(os_log_create(std::string(subsystem).c_str(), std::string(category).c_str())) {}

  bool isEnabled(LogLevel level) const override {
    return os_log_type_enabled(log_, osLogType(level));
  }

  void log(LogLevel level, std::string_view format, std::vector<LogArgument> arguments) override {
    const os_log_type_t type = osLogType(level);
    const std::optional<KnownLogLine> line = recognizeLogLine(format, arguments);
    if (!line) {
      // No literal for it: the rendered text, private arguments already redacted.
      const std::string text = renderLogLine(format, arguments, /*showPrivate=*/false);
      os_log_with_type(log_, type, "%{public}s", text.c_str());
      return;
    }
    auto int64At = [&](std::size_t i) {
      return static_cast<long>(std::get<std::int64_t>(arguments[i].value));
    };
    auto textAt = [&](std::size_t i) { return std::get<std::string>(arguments[i].value).c_str(); };
    switch (*line) {
      case KnownLogLine::rulesUpdated:
        os_log_with_type(log_, type, QUILLNEST_LOG_RULES_UPDATED,
                         static_cast<int>(std::get<std::int32_t>(arguments[0].value)), int64At(1),
                         int64At(2));
        return;
      case KnownLogLine::settingsFailed:
        os_log_with_type(log_, type, QUILLNEST_LOG_SETTINGS_FAILED, textAt(0));
        return;
      case KnownLogLine::filterStopped:
        os_log_with_type(log_, type, QUILLNEST_LOG_FILTER_STOPPED, int64At(0));
        return;
      case KnownLogLine::blockedHostname:
        os_log_with_type(log_, type, QUILLNEST_LOG_BLOCKED_HOSTNAME, textAt(0));
        return;
      case KnownLogLine::blockedTLSHostname:
        os_log_with_type(log_, type, QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME, textAt(0));
        return;
    }
  }

 private:
  os_log_t log_;
};

class PlatformFlowLink {
 public:
  explicit PlatformFlowLink(::NEFilterFlow* flow) : flow_(flow) {}
  virtual ~PlatformFlowLink() = default;
  ::NEFilterFlow* platformFlow() const { return flow_; }

 private:
  // Strong, like the platform's own tables: a flow the core keeps for a later reset must still
  // be there to update.
  ::NEFilterFlow* flow_;
};

class LinkedFlow final : public NEFilterFlow, public PlatformFlowLink {
 public:
  LinkedFlow(::NEFilterFlow* flow, UUID identifier, std::optional<quillnest::URL> url)
      : NEFilterFlow(identifier, std::move(url)), PlatformFlowLink(flow) {}
};

class LinkedSocketFlow final : public NEFilterSocketFlow, public PlatformFlowLink {
 public:
  LinkedSocketFlow(::NEFilterSocketFlow* flow, UUID identifier, Attributes attributes)
      : NEFilterSocketFlow(identifier, std::move(attributes)), PlatformFlowLink(flow) {}
};

std::optional<URL> coreURL(NSURL* url) {
  if (url == nil) return std::nullopt;
  return URL{coreString(url.absoluteString).value_or(""), coreString(url.host)};
}

std::shared_ptr<const NWEndpoint> coreEndpoint(::NWEndpoint* endpoint) {
  if (endpoint == nil) return nullptr;
  if ([endpoint isKindOfClass:[::NWHostEndpoint class]]) {
    auto* host = static_cast<::NWHostEndpoint*>(endpoint);
    return std::make_shared<const NWHostEndpoint>(coreString(host.hostname).value_or(""),
                                                  coreString(host.port).value_or(""));
  }
  return std::make_shared<const NWEndpoint>();
}

struct PlatformErrorOwner {
  ::NSError* error;
  void operator()(const NSError* coreError) const { delete coreError; }
};

NSString* platformString(const std::string& text) {
  NSString* string = [NSString stringWithUTF8String:text.c_str()];
  return string != nil ? string : @"";
}

}  // namespace

UUID coreUUID(NSUUID* identifier) {
  uuid_t raw;
  [identifier getUUIDBytes:raw];
  UUID::Bytes bytes;
  static_assert(sizeof(raw) == sizeof(bytes));
  std::memcpy(bytes.data(), raw, bytes.size());
  return UUID(bytes);
}

std::optional<std::string> coreString(NSString* text) {
  if (text == nil) return std::nullopt;
  // Nil for strings that do not convert (unpaired surrogates).
  const char* utf8 = text.UTF8String;
  if (utf8 == nullptr) return std::nullopt;
  return std::string(utf8);
}

ConfigurationValue coreConfigurationValue(id value) {
  if ([value isKindOfClass:[NSData class]]) {
    NSData* data = value;
    const auto* bytes = static_cast<const std::uint8_t*>(data.bytes);
    if (bytes == nullptr) return Bytes{};
    return Bytes(bytes, bytes + data.length);
  }
  if ([value isKindOfClass:[NSString class]]) {
    std::optional<std::string> text = coreString(value);
    if (!text) return OtherValue{"NSString"};
    return std::move(*text);
  }
  if ([value isKindOfClass:[NSNumber class]]) {
    NSNumber* number = value;
    // Property-list and JSON booleans are the CFBoolean singletons; other NSNumbers only say
    // their C type (NSDecimalNumber is no CFNumber, so CFNumber calls are not safe on it).
    if (CFGetTypeID((__bridge CFTypeRef)number) == CFBooleanGetTypeID()) {
      return static_cast<bool>(number.boolValue);
    }
    const char* type = number.objCType;
    const std::string_view kind = type != nullptr ? type : "";
    if (kind == @encode(double) || kind == @encode(float)) return number.doubleValue;
    if (kind == @encode(unsigned long long) &&
        number.unsignedLongLongValue > static_cast<unsigned long long>(INT64_MAX)) {
      return number.doubleValue;
    }
    return static_cast<std::int64_t>(number.longLongValue);
  }
  std::optional<std::string> className = value == nil
                                             ? std::optional<std::string>("nil")
                                             : coreString(NSStringFromClass([value class]));
  return OtherValue{className.value_or("NSObject")};
}

std::optional<VendorConfiguration> coreVendorConfiguration(
    NSDictionary<NSString*, id>* dictionary) {
  if (dictionary == nil) return std::nullopt;
  __block VendorConfiguration vendor;
  [dictionary enumerateKeysAndObjectsUsingBlock:^(id key, id value, BOOL*) {
    if (![key isKindOfClass:[NSString class]]) return;
    std::optional<std::string> name = coreString(key);
    if (!name) return;
    vendor.insert_or_assign(std::move(*name), coreConfigurationValue(value));
  }];
  return vendor;
}

FlowRef makeCoreFlow(::NEFilterFlow* flow, UUID identifier) {
  if (flow == nil) return nullptr;
  if ([flow isKindOfClass:[::NEFilterSocketFlow class]]) {
    auto* socketFlow = static_cast<::NEFilterSocketFlow*>(flow);
    NEFilterSocketFlow::Attributes attributes;
    attributes.url = coreURL(socketFlow.URL);
    attributes.remoteEndpoint = coreEndpoint(socketFlow.remoteEndpoint);
    attributes.remoteHostname = coreString(socketFlow.remoteHostname);
    attributes.socketProtocol = socketFlow.socketProtocol;
    return std::make_shared<LinkedSocketFlow>(socketFlow, identifier, std::move(attributes));
  }
  return std::make_shared<LinkedFlow>(flow, identifier, coreURL(flow.URL));
}

::NEFilterFlow* platformFlow(const NEFilterFlow& flow) {
  const auto* link = dynamic_cast<const PlatformFlowLink*>(&flow);
  return link != nullptr ? link->platformFlow() : nil;
}

::NEFilterNewFlowVerdict* platformNewFlowVerdict(const NewFlowVerdictRef& verdict) {
  if (!verdict) return [::NEFilterNewFlowVerdict allowVerdict];
  ::NEFilterNewFlowVerdict* result = nil;
  switch (verdict->kind()) {
    case NEFilterNewFlowVerdict::Kind::allow:
      result = [::NEFilterNewFlowVerdict allowVerdict];
      break;
    case NEFilterNewFlowVerdict::Kind::drop:
      result = [::NEFilterNewFlowVerdict dropVerdict];
      break;
    case NEFilterNewFlowVerdict::Kind::filterData:
      result = [::NEFilterNewFlowVerdict
          filterDataVerdictWithFilterInbound:verdict->filterInbound()
                            peekInboundBytes:static_cast<NSUInteger>(verdict->peekInboundBytes())
                              filterOutbound:verdict->filterOutbound()
                           peekOutboundBytes:static_cast<NSUInteger>(verdict->peekOutboundBytes())];
      break;
  }
  if (result == nil) return [::NEFilterNewFlowVerdict allowVerdict];
  result.shouldReport = verdict->shouldReport();
  return result;
}

::NEFilterDataVerdict* platformDataVerdict(const DataVerdictRef& verdict) {
  if (!verdict) return [::NEFilterDataVerdict allowVerdict];
  switch (verdict->kind()) {
    case NEFilterDataVerdict::Kind::allow:
      return [::NEFilterDataVerdict allowVerdict];
    case NEFilterDataVerdict::Kind::drop:
      return [::NEFilterDataVerdict dropVerdict];
    case NEFilterDataVerdict::Kind::data:
      return [::NEFilterDataVerdict
          dataVerdictWithPassBytes:static_cast<NSUInteger>(verdict->passBytes())
                         peekBytes:static_cast<NSUInteger>(verdict->peekBytes())];
  }
  return [::NEFilterDataVerdict allowVerdict];
}

ErrorRef coreError(::NSError* error) {
  if (error == nil) return nullptr;
  return ErrorRef(new NSError(coreString(error.domain).value_or(""), error.code,
                              coreString(error.localizedDescription).value_or("")),
                  PlatformErrorOwner{error});
}

::NSError* platformError(const ErrorRef& error) {
  if (!error) return nil;
  if (const auto* owner = std::get_deleter<PlatformErrorOwner>(error)) return owner->error;
  return [::NSError
      errorWithDomain:platformString(error->domain())
                 code:static_cast<NSInteger>(error->code())
             userInfo:@{NSLocalizedDescriptionKey : platformString(error->localizedDescription())}];
}

MacProviderHost::MacProviderHost(::NEFilterDataProvider* provider) : provider_(provider) {}

MacProviderHost::~MacProviderHost() { detach(); }

void MacProviderHost::detach() {
  std::vector<QNConfigurationObserver*> live;
  {
    std::lock_guard guard(mutex_);
    detached_ = true;
    for (QNConfigurationObserver* observer : observers_) {
      if (observer != nil) live.push_back(observer);
    }
    observers_.clear();
  }
  for (QNConfigurationObserver* observer : live) [observer invalidate];
}

ConfigurationRef MacProviderHost::filterConfiguration() {
  ::NEFilterDataProvider* provider = provider_;
  ::NEFilterProviderConfiguration* configuration = provider.filterConfiguration;
  if (configuration == nil) return nullptr;
  return std::make_shared<const NEFilterProviderConfiguration>(
      coreVendorConfiguration(configuration.vendorConfiguration));
}

std::unique_ptr<NSKeyValueObservation> MacProviderHost::observeFilterConfiguration(
    std::uint32_t options, std::function<void()> handler) {
  ::NEFilterDataProvider* provider = provider_;
  std::lock_guard guard(mutex_);
  if (detached_ || provider == nil) {
    // Nothing left to observe: an observation that never fires.
    return std::make_unique<ConfigurationObservation>(
        [[QNConfigurationObserver alloc] initWithObservedObject:nil handler:nullptr]);
  }
  QNConfigurationObserver* observer =
      [[QNConfigurationObserver alloc] initWithObservedObject:provider handler:std::move(handler)];
  [provider addObserver:observer
             forKeyPath:@"filterConfiguration"
                options:static_cast<NSKeyValueObservingOptions>(options)
                context:&kConfigurationContext];
  std::erase_if(observers_, [](QNConfigurationObserver* old) { return old == nil; });
  observers_.push_back(observer);
  return std::make_unique<ConfigurationObservation>(observer);
}

void MacProviderHost::applySettings(const NEFilterSettings& settings,
                                    std::function<void(ErrorRef)> completionHandler) {
  ::NEFilterDataProvider* provider = provider_;
  // The start this completes belonged to the released provider: nobody waits for it. An error
  // made up here would reach the system as if the platform had refused the settings, and none
  // would claim they were applied, so the completion is not called.
  if (provider == nil) return;
  // The core sends no rules (every flow goes to handleNewFlow), so only the default action
  // crosses over; NEFilterAction's values are the platform's.
  ::NEFilterSettings* platformSettings = [[::NEFilterSettings alloc]
      initWithRules:@[]
      defaultAction:static_cast<::NEFilterAction>(settings.defaultAction())];
  const std::function<void(ErrorRef)> completion = std::move(completionHandler);
  [provider applySettings:platformSettings
        completionHandler:^(::NSError* error) {
          if (completion) completion(coreError(error));
        }];
}

void MacProviderHost::updateFlow(const FlowRef& flow, const DataVerdictRef& verdict,
                                 NETrafficDirection direction) {
  ::NEFilterDataProvider* provider = provider_;
  if (provider == nil || !flow) return;
  ::NEFilterFlow* platform = platformFlow(*flow);
  // Only socket flows can be updated; a flow the core did not get from us has nothing to update.
  if (![platform isKindOfClass:[::NEFilterSocketFlow class]]) return;
  [provider updateFlow:static_cast<::NEFilterSocketFlow*>(platform)
          usingVerdict:platformDataVerdict(verdict)
          forDirection:static_cast<::NETrafficDirection>(direction)];
}

std::shared_ptr<Logger> MacProviderHost::makeLogger(std::string_view subsystem,
                                                    std::string_view category) {
  return std::make_shared<UnifiedLogger>(subsystem, category);
}

void MacProviderHost::notifyPost(std::string_view name) {
  // The result is not examined: a failed post changes no verdict.
  notify_post(std::string(name).c_str());
}

}  // namespace quillnest::macos
