// Verdicts the provider hands back to the host. Like the platform's, each constructor makes a new
// object, so two flows never share one verdict.
#pragma once

#include <cstdint>
#include <memory>

namespace quillnest {

class NEFilterNewFlowVerdict {
 public:
  enum class Kind { allow, drop, filterData };

  static std::shared_ptr<NEFilterNewFlowVerdict> allowVerdict() {
    return std::shared_ptr<NEFilterNewFlowVerdict>(new NEFilterNewFlowVerdict(Kind::allow));
  }
  static std::shared_ptr<NEFilterNewFlowVerdict> dropVerdict() {
    return std::shared_ptr<NEFilterNewFlowVerdict>(new NEFilterNewFlowVerdict(Kind::drop));
  }
  static std::shared_ptr<NEFilterNewFlowVerdict> filterDataVerdictWithFilterInbound(
      bool filterInbound, std::uint64_t peekInboundBytes, bool filterOutbound,
      std::uint64_t peekOutboundBytes) {
    auto verdict =
        std::shared_ptr<NEFilterNewFlowVerdict>(new NEFilterNewFlowVerdict(Kind::filterData));
    verdict->filterInbound_ = filterInbound;
    verdict->peekInboundBytes_ = peekInboundBytes;
    verdict->filterOutbound_ = filterOutbound;
    verdict->peekOutboundBytes_ = peekOutboundBytes;
    return verdict;
  }

  void setShouldReport(bool shouldReport) { shouldReport_ = shouldReport; }
  bool shouldReport() const { return shouldReport_; }

  Kind kind() const { return kind_; }
  bool filterInbound() const { return filterInbound_; }
  std::uint64_t peekInboundBytes() const { return peekInboundBytes_; }
  bool filterOutbound() const { return filterOutbound_; }
  std::uint64_t peekOutboundBytes() const { return peekOutboundBytes_; }

 private:
  explicit NEFilterNewFlowVerdict(Kind kind) : kind_(kind) {}

  Kind kind_;
  bool filterInbound_ = false;
  std::uint64_t peekInboundBytes_ = 0;
  bool filterOutbound_ = false;
  std::uint64_t peekOutboundBytes_ = 0;
  bool shouldReport_ = false;
};

class NEFilterDataVerdict {
 public:
  enum class Kind { allow, drop, data };

  static std::shared_ptr<NEFilterDataVerdict> allowVerdict() {
    return std::shared_ptr<NEFilterDataVerdict>(new NEFilterDataVerdict(Kind::allow, 0, 0));
  }
  static std::shared_ptr<NEFilterDataVerdict> dropVerdict() {
    return std::shared_ptr<NEFilterDataVerdict>(new NEFilterDataVerdict(Kind::drop, 0, 0));
  }
  static std::shared_ptr<NEFilterDataVerdict> dataVerdictWithPassBytes(std::uint64_t passBytes,
                                                                       std::uint64_t peekBytes) {
    return std::shared_ptr<NEFilterDataVerdict>(
        new NEFilterDataVerdict(Kind::data, passBytes, peekBytes));
  }

  Kind kind() const { return kind_; }
  std::uint64_t passBytes() const { return passBytes_; }
  std::uint64_t peekBytes() const { return peekBytes_; }

 private:
  NEFilterDataVerdict(Kind kind, std::uint64_t passBytes, std::uint64_t peekBytes)
      : kind_(kind), passBytes_(passBytes), peekBytes_(peekBytes) {}

  Kind kind_;
  std::uint64_t passBytes_;
  std::uint64_t peekBytes_;
};

using NewFlowVerdictRef = std::shared_ptr<NEFilterNewFlowVerdict>;
using DataVerdictRef = std::shared_ptr<NEFilterDataVerdict>;

// Direction argument of updateFlow; 0 means any direction.
enum class NETrafficDirection : std::int64_t { any = 0, inbound = 1, outbound = 2 };

}  // namespace quillnest
