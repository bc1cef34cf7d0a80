// A scripted NEFilterDataProvider for engine tests: verdicts come from test-set functions, and
// every call is recorded. Deliveries that do not continue a flow's bytes exactly are counted as
// order violations (the real provider would fail open on them).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "host/data_provider.h"
#include "hosts/common/flow_engine.h"
#include "tests/common/packet_builder.h"

namespace quillnest::testing {

class FakeProvider final : public NEFilterDataProvider {
 public:
  struct Delivery {
    UUID flow;
    std::uint64_t offset;
    Bytes bytes;
  };

  FakeProvider() : NEFilterDataProvider(nullptr) {}

  // Default: web flows are reported, TCP 443 is inspected, the rest allowed.
  std::function<NewFlowVerdictRef(const NEFilterSocketFlow&)> newFlowVerdict =
      [](const NEFilterSocketFlow& flow) {
        auto endpoint = std::dynamic_pointer_cast<const NWHostEndpoint>(flow.remoteEndpoint());
        NewFlowVerdictRef verdict = NEFilterNewFlowVerdict::allowVerdict();
        if (endpoint && endpoint->port() == "443" && flow.socketProtocol() == kProtocolTCP) {
          verdict = NEFilterNewFlowVerdict::filterDataVerdictWithFilterInbound(false, 0, true, 5);
        } else if (endpoint && endpoint->port() == "443") {
          verdict = NEFilterNewFlowVerdict::dropVerdict();
        }
        verdict->setShouldReport(true);
        return verdict;
      };
  // Given everything collected for the flow so far. Default: wait for `need` bytes, then drop
  // when they contain "blocked", else allow.
  std::size_t need = 20;
  std::function<DataVerdictRef(const Bytes&)> dataVerdict = [this](const Bytes& buffer) {
    if (buffer.size() < need) return NEFilterDataVerdict::dataVerdictWithPassBytes(0, need);
    const std::string text(buffer.begin(), buffer.end());
    return text.find("blocked") != std::string::npos ? NEFilterDataVerdict::dropVerdict()
                                                     : NEFilterDataVerdict::allowVerdict();
  };
  std::chrono::microseconds delay{0};  // per call, to widen race windows

  void startFilterWithCompletionHandler(std::function<void(ErrorRef)> completion) override {
    completion(nullptr);
  }
  void stopFilterWithReason(std::int64_t, std::function<void()> completion) override {
    completion();
  }
  NewFlowVerdictRef handleNewFlow(const FlowRef& flow) override {
    pause();
    std::lock_guard lock(mutex_);
    newFlows.push_back(flow);
    return newFlowVerdict(static_cast<const NEFilterSocketFlow&>(*flow));
  }
  void handleReport(const NEFilterReport& report) override {
    std::lock_guard lock(mutex_);
    reports.push_back({report.event, report.flow ? report.flow->identifier() : UUID()});
    buffers.erase(report.flow->identifier());
  }
  DataVerdictRef handleOutboundDataFromFlow(const FlowRef& flow, std::uint64_t offset,
                                            std::span<const std::uint8_t> bytes) override {
    pause();
    std::lock_guard lock(mutex_);
    deliveries.push_back({flow->identifier(), offset, Bytes(bytes.begin(), bytes.end())});
    Bytes& buffer = buffers[flow->identifier()];
    if (offset != buffer.size()) ++orderViolations;
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    DataVerdictRef verdict = dataVerdict(buffer);
    if (verdict->kind() != NEFilterDataVerdict::Kind::data) buffers.erase(flow->identifier());
    return verdict;
  }
  DataVerdictRef handleOutboundDataCompleteForFlow(const FlowRef& flow) override {
    std::lock_guard lock(mutex_);
    completes.push_back(flow->identifier());
    buffers.erase(flow->identifier());
    return NEFilterDataVerdict::allowVerdict();
  }

  template <typename F>
  auto locked(F f) {
    std::lock_guard lock(mutex_);
    return f();
  }

  std::vector<FlowRef> newFlows;
  std::vector<Delivery> deliveries;
  std::vector<UUID> completes;
  std::vector<std::pair<std::int64_t, UUID>> reports;
  std::map<UUID, Bytes> buffers;
  int orderViolations = 0;

 private:
  void pause() {
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
  }
  std::mutex mutex_;
};

}  // namespace quillnest::testing
