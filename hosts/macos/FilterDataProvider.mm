// The provider class the NetworkExtension host instantiates. It keeps no state of its own beyond
// the core provider and the flow table: every callback converts its arguments, calls the core, and
// converts the answer back.
#import <Foundation/Foundation.h>
#import <NetworkExtension/NetworkExtension.h>

#include <cstdint>
#include <memory>
#include <span>

#include "hosts/macos/MacProviderHost.h"
#include "hosts/macos/flow_table.h"
#include "provider/filter_data_provider.h"

namespace qn = quillnest;
namespace qm = quillnest::macos;

// Info.plist's NEProviderClasses names the class as a Swift module would qualify it.
__attribute__((objc_runtime_name("com_quillnest_mac_filter.FilterDataProvider")))
@interface QNFilterDataProvider : NEFilterDataProvider
@end

@implementation QNFilterDataProvider {
  std::shared_ptr<qm::MacProviderHost> _host;
  std::shared_ptr<qn::FilterDataProvider> _core;
  qm::FlowTable _flows;
}

- (instancetype)init {
  self = [super init];
  if (self) {
    _host = std::make_shared<qm::MacProviderHost>(self);
    _core = qn::FilterDataProvider::init(_host);
  }
  return self;
}

- (void)dealloc {
  // Key-value observers must be gone before the observed object is.
  if (_host) _host->detach();
}

// The core flow that stands for flow: the same one for as long as the core keeps it.
- (qn::FlowRef)coreFlowFor:(NEFilterFlow*)flow {
  if (flow == nil) return nullptr;
  NSUUID* identifier = flow.identifier;
  // Without an identifier a flow cannot be told from others; it is judged alone.
  if (identifier == nil) return qm::makeCoreFlow(flow, qn::UUID::random());
  const qn::UUID key = qm::coreUUID(identifier);
  return _flows.findOrAdd(key, [&] { return qm::makeCoreFlow(flow, key); });
}

- (void)startFilterWithCompletionHandler:(void (^)(NSError* _Nullable))completionHandler {
  void (^completion)(NSError* _Nullable) = completionHandler;
  _core->startFilterWithCompletionHandler([completion](qn::ErrorRef error) {
    if (completion) completion(qm::platformError(error));
  });
}

- (void)stopFilterWithReason:(NEProviderStopReason)reason
           completionHandler:(void (^)(void))completionHandler {
  void (^completion)(void) = completionHandler;
  _core->stopFilterWithReason(static_cast<std::int64_t>(reason), [completion] {
    if (completion) completion();
  });
}

- (NEFilterNewFlowVerdict*)handleNewFlow:(NEFilterFlow*)flow {
  const qn::FlowRef coreFlow = [self coreFlowFor:flow];
  if (!coreFlow) return [NEFilterNewFlowVerdict allowVerdict];
  return qm::platformNewFlowVerdict(_core->handleNewFlow(coreFlow));
}

- (void)handleReport:(NEFilterReport*)report {
  if (report == nil) return;
  qn::NEFilterReport coreReport;
  coreReport.event = static_cast<std::int64_t>(report.event);
  NEFilterFlow* flow = report.flow;
  if (flow != nil) {
    // A report about a flow the core no longer keeps needs no table slot.
    NSUUID* identifier = flow.identifier;
    const qn::UUID key = identifier != nil ? qm::coreUUID(identifier) : qn::UUID::random();
    coreReport.flow = _flows.find(key);
    if (!coreReport.flow) coreReport.flow = qm::makeCoreFlow(flow, key);
  }
  _core->handleReport(coreReport);
}

- (NEFilterDataVerdict*)handleOutboundDataFromFlow:(NEFilterFlow*)flow
                              readBytesStartOffset:(NSUInteger)offset
                                         readBytes:(NSData*)readBytes {
  const qn::FlowRef coreFlow = [self coreFlowFor:flow];
  if (!coreFlow) return [NEFilterDataVerdict allowVerdict];
  std::span<const std::uint8_t> bytes;
  const auto* data = static_cast<const std::uint8_t*>(readBytes.bytes);
  if (data != nullptr) bytes = {data, static_cast<std::size_t>(readBytes.length)};
  return qm::platformDataVerdict(
      _core->handleOutboundDataFromFlow(coreFlow, static_cast<std::uint64_t>(offset), bytes));
}

- (NEFilterDataVerdict*)handleOutboundDataCompleteForFlow:(NEFilterFlow*)flow {
  const qn::FlowRef coreFlow = [self coreFlowFor:flow];
  if (!coreFlow) return [NEFilterDataVerdict allowVerdict];
  return qm::platformDataVerdict(_core->handleOutboundDataCompleteForFlow(coreFlow));
}

@end
