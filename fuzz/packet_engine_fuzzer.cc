// The flow engine driven by arbitrary packet sequences, ticks, destroy events, updateFlow drops,
// packets shown after they passed unqueued (pure ACKs, segments of passing bodies), and the loss
// of such packets. Checks: every packet handle gets exactly one fate (accept or drop, now or
// later), the provider sees each inspected stream contiguously from offset 0, and every flow that
// asked for reports is reported closed exactly once by the end.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/common/flow_engine.h"

namespace {

using namespace quillnest;
using namespace quillnest::hosts;
using quillnest::fuzz::check;

class ScriptedProvider final : public NEFilterDataProvider {
 public:
  ScriptedProvider() : NEFilterDataProvider(nullptr) {}
  void startFilterWithCompletionHandler(std::function<void(ErrorRef)> c) override { c(nullptr); }
  void stopFilterWithReason(std::int64_t, std::function<void()> c) override { c(); }
  NewFlowVerdictRef handleNewFlow(const FlowRef& flow) override {
    const auto& socket = static_cast<const NEFilterSocketFlow&>(*flow);
    auto endpoint = std::dynamic_pointer_cast<const NWHostEndpoint>(socket.remoteEndpoint());
    NewFlowVerdictRef verdict = NEFilterNewFlowVerdict::allowVerdict();
    if (endpoint->port() == "443") {
      verdict = socket.socketProtocol() == kProtocolTCP
                    ? NEFilterNewFlowVerdict::filterDataVerdictWithFilterInbound(false, 0, true, 5)
                    : NEFilterNewFlowVerdict::dropVerdict();
    }
    verdict->setShouldReport(endpoint->port() != "8080");
    if (verdict->shouldReport()) reportable.insert(flow->identifier());
    return verdict;
  }
  void handleReport(const NEFilterReport& report) override {
    check(report.event == 3, "closed event");
    check(reportable.count(report.flow->identifier()) == 1, "report only when asked");
    check(reported.insert(report.flow->identifier()).second, "one report per flow");
  }
  DataVerdictRef handleOutboundDataFromFlow(const FlowRef& flow, std::uint64_t offset,
                                            std::span<const std::uint8_t> bytes) override {
    check(!reported.count(flow->identifier()), "no data after the closed report");
    auto& buffer = buffers[flow->identifier()];
    check(offset == buffer.size(), "contiguous deliveries");
    check(!bytes.empty(), "no empty deliveries");
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    if (buffer.size() < 64) return NEFilterDataVerdict::dataVerdictWithPassBytes(0, 64);
    const bool drop = buffer[0] & 1;
    buffers.erase(flow->identifier());
    return drop ? NEFilterDataVerdict::dropVerdict() : NEFilterDataVerdict::allowVerdict();
  }
  DataVerdictRef handleOutboundDataCompleteForFlow(const FlowRef& flow) override {
    buffers.erase(flow->identifier());
    return NEFilterDataVerdict::allowVerdict();
  }

  std::set<UUID> reportable;
  std::set<UUID> reported;
  std::map<UUID, std::vector<std::uint8_t>> buffers;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto provider = std::make_shared<ScriptedProvider>();
  FlowEngineOptions options;
  options.maxHeldPacketsPerConnection = 8;
  options.maxHeldBytesPerConnection = 512;
  options.maxInspectedConnections = 3;
  options.maxConnections = 16;
  // Bodies pass from 64 bytes on, the last 16 queued again.
  options.bodyPassMinimum = 64;
  options.bodyPassMargin = 16;
  // Responses pass unshown from 256 bytes on.
  options.responsePassMinimum = 256;
  FlowEngine engine(provider, options);
  std::map<PacketHandle, int> fates;
  std::set<PacketHandle> given;
  auto apply = [&](const ConnectionUpdate& u) {
    check(!u.bodyPass || u.mark == ConnectionMark::bodyPass, "a body pass comes with its mark");
    for (auto h : u.release) ++fates[h];
    for (auto h : u.discard) ++fates[h];
  };
  static const std::uint16_t kPorts[] = {443, 80, 8080, 443};
  EngineTime now{};
  PacketHandle next = 1;
  std::size_t at = 0;
  // Op: kind byte, then for packets: port byte, flags byte, 2 bytes offset, 1 byte length, bytes.
  while (at < size) {
    const std::uint8_t kind = data[at++];
    switch (kind % 8) {
      case 0:
        now += std::chrono::milliseconds(100 * (kind >> 3));
        for (const auto& u : engine.tick(now)) apply(u);
        continue;
      case 1: {
        const auto keys = engine.connections();
        if (!keys.empty()) apply(engine.onConnectionDestroyed(keys[(kind >> 3) % keys.size()]));
        continue;
      }
      case 2: {
        if (provider->reportable.empty()) continue;
        auto it = provider->reportable.begin();
        std::advance(it, (kind >> 3) % provider->reportable.size());
        if (auto u = engine.dropFlow(*it)) apply(*u);
        continue;
      }
      case 3:
        for (const auto& u : engine.observationsLost(now)) apply(u);
        continue;
      default:
        break;
    }
    if (at + 5 > size) break;
    ParsedPacket p;
    p.family = IpFamily::v4;
    p.protocol = (kind & 8) ? kIpProtocolUDP : kIpProtocolTCP;
    p.source = IpAddress::v4(10, 0, 0, 1);
    p.destination = IpAddress::v4(198, 51, 100, 2);
    p.sourcePort = static_cast<std::uint16_t>(40000 + (data[at] & 3));
    p.destinationPort = kPorts[(data[at] >> 2) & 3];
    p.tcpFlags = data[at + 1];
    // Two of the four client ports start just below 2^32: their streams cross the wrap.
    const std::uint32_t isn =
        (p.sourcePort & 1) ? 0xFFFFFF80u + p.sourcePort : 1000u + p.sourcePort;
    const std::uint16_t offset = static_cast<std::uint16_t>(data[at + 2] | data[at + 3] << 8);
    p.tcpSequence = (p.tcpFlags & kTcpSyn) ? isn : isn + 1 + (offset % 2048);
    const std::size_t length = std::min<std::size_t>(data[at + 4], size - (at + 5));
    p.payload = std::span<const std::uint8_t>(data + at + 5, length);
    at += 5 + length;
    if ((kind & 48) == 48) {  // the server's packet, seen on its way: no handle, no fate
      std::swap(p.source, p.destination);
      std::swap(p.sourcePort, p.destinationPort);
      p.tcpAcknowledgment = isn + 1 + (offset % 2048);
      p.tcpSequence = 5000u + offset;
      p.tcpWindow = static_cast<std::uint16_t>(data[at - length - 2] * 16);
      if (p.tcpFlags & kTcpSyn) p.tcpWindowScale = static_cast<std::uint8_t>(offset % 16);
      if (auto u = engine.onObservedReplyPacket(p, 0)) {
        check(u->mark == ConnectionMark::responsePass && u->release.empty() && u->discard.empty(),
              "a reply asks for nothing but the mark");
        check(engine.passingResponse(u->key), "the mark is the connection's");
      }
      continue;
    }
    if (kind & 16) {  // passed unqueued: no handle, no fate
      engine.onObservedPacket(p);
      continue;
    }
    const PacketHandle handle = next++;
    given.insert(handle);
    const PacketDecision d = engine.onOutboundPacket(handle, p, now);
    if (d.action != PacketAction::hold) ++fates[handle];
    apply(d.update);
  }
  for (const auto& key : engine.connections()) apply(engine.onConnectionDestroyed(key));
  for (const auto& u : engine.tick(now + std::chrono::hours(1))) apply(u);
  for (auto h : given) check(fates[h] == 1, "one fate per packet");
  for (const auto& [h, n] : fates) check(given.count(h) == 1, "fate only for given packets");
  check(engine.counters().heldPackets == 0, "nothing held at the end");
  return 0;
}
