#include "hosts/replay/replay.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <mutex>
#include <ostream>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "host/quiet_parts.h"
#include "hosts/common/flow_engine.h"
#include "hosts/common/rules_file_reader.h"
#include "provider/filter_data_provider.h"
#include "rules/json_text.h"

namespace quillnest::replay {
namespace {

using hosts::ConnectionKey;
using hosts::EngineTime;

// The configuration is the rules file, fixed for the whole replay; settings apply at once.
class ReplayHost final : public NEFilterProviderHost {
 public:
  explicit ReplayHost(Bytes rulesBytes) {
    VendorConfiguration vendor;
    vendor["filterRules"] = std::move(rulesBytes);
    configuration_ = std::make_shared<NEFilterProviderConfiguration>(std::move(vendor));
  }
  ConfigurationRef filterConfiguration() override { return configuration_; }
  std::unique_ptr<NSKeyValueObservation> observeFilterConfiguration(
      std::uint32_t, std::function<void()>) override {
    return std::make_unique<NullObservation>();
  }
  void applySettings(const NEFilterSettings&, std::function<void(ErrorRef)> completion) override {
    std::lock_guard lock(mutex_);
    pending_ = std::move(completion);
  }
  void completePendingSettings() {
    std::function<void(ErrorRef)> completion;
    {
      std::lock_guard lock(mutex_);
      completion = std::move(pending_);
    }
    if (completion) completion(nullptr);
  }
  void updateFlow(const FlowRef&, const DataVerdictRef&, NETrafficDirection) override {}
  std::shared_ptr<Logger> makeLogger(std::string_view, std::string_view) override {
    return std::make_shared<QuietLogger>();
  }
  void notifyPost(std::string_view) override { ++notifications; }

  std::uint64_t notifications = 0;

 private:
  std::mutex mutex_;
  ConfigurationRef configuration_;
  std::function<void(ErrorRef)> pending_;
};

struct FlowRecord {
  EngineTime firstSeen{};
  ConnectionKey key;
  bool dropped = false;
  bool inspected = false;
  hosts::Outcome outcome = hosts::Outcome::pending;
  std::string serverName;  // the TLS server name, or the Host of a plain-HTTP request
  bool httpHost = false;   // serverName came from an HTTP request head
};

// Collects what happened to each flow for the report, in order of their first packet.
class Recorder final : public hosts::FlowEngineObserver {
 public:
  void newFlow(const ConnectionKey& key, const FlowRef& flow, const NEFilterNewFlowVerdict& verdict,
               EngineTime now) override {
    FlowRecord& record = at(flow->identifier());
    record.firstSeen = now;
    record.key = key;
    record.inspected = verdict.kind() == NEFilterNewFlowVerdict::Kind::filterData;
    if (flow->URL() && flow->URL()->host) {
      record.serverName = *flow->URL()->host;
      record.httpHost = true;
    }
  }
  void serverName(const FlowRef& flow, const std::string& name) override {
    at(flow->identifier()).serverName = name;
  }
  void settled(const FlowRef& flow, hosts::Outcome outcome) override {
    FlowRecord& record = at(flow->identifier());
    record.outcome = outcome;
    record.dropped = hosts::outcomeRow(outcome).dropped;
  }

  std::vector<FlowRecord> flows;

 private:
  FlowRecord& at(const UUID& identifier) {
    const auto [it, fresh] = index_.try_emplace(identifier, flows.size());
    if (fresh) flows.emplace_back();
    return flows[it->second];
  }
  std::unordered_map<UUID, std::size_t> index_;
};

bool supportedLinkType(int linkType) {
  switch (linkType) {
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_NULL:
    case DLT_LOOP:
    case DLT_PKTAP:
      return true;
    default:
      return false;
  }
}

// Where the IP header starts in a frame of this link type; nullopt for frames that carry no IP.
std::optional<std::size_t> ipOffset(int linkType, const std::uint8_t* frame, std::size_t length) {
  auto u16 = [&](std::size_t at) {
    return static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
  };
  auto isIp = [](std::uint16_t etherType) { return etherType == 0x0800 || etherType == 0x86dd; };
  switch (linkType) {
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_IPV6:
      return 0;
    case DLT_EN10MB: {
      std::size_t at = 12;
      for (int tags = 0; tags < 2 && length >= at + 2 && (u16(at) == 0x8100 || u16(at) == 0x88a8);
           ++tags) {
        at += 4;
      }
      if (length < at + 2 || !isIp(u16(at))) return std::nullopt;
      return at + 2;
    }
    case DLT_LINUX_SLL:
      if (length < 16 || !isIp(u16(14))) return std::nullopt;
      return 16;
    case DLT_LINUX_SLL2:
      if (length < 20 || !isIp(u16(0))) return std::nullopt;
      return 20;
    case DLT_NULL:
    case DLT_LOOP:
      // The address family, in the capturing host's byte order (NULL) or network order (LOOP);
      // the IP version nibble tells the rest.
      if (length < 4) return std::nullopt;
      return 4;
    case DLT_PKTAP: {
      // Apple's per-packet header (macOS tcpdump on its pktap interface): its own length, what
      // follows it, and the link type of the frame behind it, little-endian as Macs write them.
      auto le32 = [&](std::size_t at) {
        std::uint32_t value = 0;
        for (std::size_t i = 4; i-- > 0;) value = value << 8 | frame[at + i];
        return value;
      };
      constexpr std::uint32_t kPacketFollows = 1;
      if (length < 12 || le32(4) != kPacketFollows) return std::nullopt;
      const std::uint32_t headerLength = le32(0);
      const std::uint32_t inner = le32(8);
      if (headerLength < 12 || headerLength > length || inner == DLT_PKTAP ||
          !supportedLinkType(static_cast<int>(inner))) {
        return std::nullopt;
      }
      const auto rest =
          ipOffset(static_cast<int>(inner), frame + headerLength, length - headerLength);
      if (!rest) return std::nullopt;
      return headerLength + *rest;
    }
    default:
      return std::nullopt;
  }
}

std::string protocolName(std::uint8_t protocol) {
  return protocol == hosts::kIpProtocolTCP ? "tcp" : "udp";
}

std::string remoteText(const ConnectionKey& key) {
  std::string out;
  if (key.family == hosts::IpFamily::v6) out.push_back('[');
  out.append(key.remote.text());
  if (key.family == hosts::IpFamily::v6) out.push_back(']');
  out.push_back(':');
  out.append(std::to_string(key.remotePort));
  return out;
}

std::string whyText(const FlowRecord& record) {
  using Settlement = hosts::Outcome;
  switch (record.outcome) {
    case Settlement::newFlowDrop:
      if (record.httpHost) return "blocked HTTP Host";
      return record.key.protocol == hosts::kIpProtocolUDP ? "UDP to 443 without a host name"
                                                          : "blocked host name";
    case Settlement::newFlowAllow:
      if (record.httpHost) return "HTTP Host not blocked";
      if (record.key.remotePort == 80) return "no HTTP Host (allowed)";
      return record.key.remotePort == 443 ? "allowed by rules" : "not a web port";
    case Settlement::dataDrop:
      return "blocked TLS server name";
    case Settlement::dataAllow:
      return record.serverName.empty() ? "no TLS server name (fail open)"
                                       : "TLS server name not blocked";
    case Settlement::pending:
      return record.inspected ? "capture ended during inspection" : "no verdict";
    default:
      return std::string(hosts::outcomeText(record.outcome));
  }
}

std::string jsonString(std::string_view text) {
  std::string out;
  appendJsonString(out, text);
  return out;
}

}  // namespace

std::optional<ReplayResult> replayCapture(const std::string& capturePath,
                                          const std::string& rulesBytes, std::string& error) {
  return replayCapture(capturePath, Bytes(rulesBytes.begin(), rulesBytes.end()), error);
}

std::optional<ReplayResult> replayCapture(const std::string& capturePath, Bytes rulesBytes,
                                          std::string& error) {
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_t* capture = pcap_open_offline(capturePath.c_str(), errbuf);
  if (capture == nullptr) {
    error = "cannot read capture " + capturePath + ": " + errbuf;
    return std::nullopt;
  }
  std::unique_ptr<pcap_t, void (*)(pcap_t*)> closer(capture, pcap_close);
  const int linkType = pcap_datalink(capture);
  if (!supportedLinkType(linkType)) {
    const char* name = pcap_datalink_val_to_name(linkType);
    error = "unsupported link type " + std::to_string(linkType) + " (" + (name ? name : "?") +
            ") in " + capturePath;
    return std::nullopt;
  }

  auto host = std::make_shared<ReplayHost>(std::move(rulesBytes));
  auto provider = FilterDataProvider::init(host);
  provider->startFilterWithCompletionHandler([](ErrorRef) {});
  host->completePendingSettings();
  hosts::FlowEngine engine(provider);
  auto recorder = std::make_shared<Recorder>();
  engine.setObserver(recorder);

  ReplayResult result;
  std::unordered_set<ConnectionKey, hosts::ConnectionKeyHash> outboundKeys;
  std::unordered_set<ConnectionKey, hosts::ConnectionKeyHash> cutConnections;
  std::optional<EngineTime> start;
  std::optional<EngineTime> lastTick;
  constexpr EngineTime kTickInterval = std::chrono::milliseconds(100);
  EngineTime now{};
  std::uint64_t number = 0;
  for (;;) {
    pcap_pkthdr* header = nullptr;
    const std::uint8_t* frame = nullptr;
    const int rc = pcap_next_ex(capture, &header, &frame);
    if (rc == PCAP_ERROR_BREAK) break;
    ++number;
    if (rc != 1) {
      error = "capture " + capturePath + " unreadable at packet " + std::to_string(number) + ": " +
              pcap_geterr(capture);
      return std::nullopt;
    }
    ++result.summary.packets;
    // pcapng stamps are 64-bit and can be anything; kept to the 32-bit seconds of classic pcap,
    // they fit the engine's 64-bit nanosecond clock.
    const EngineTime stamp =
        std::chrono::seconds(std::clamp<std::int64_t>(header->ts.tv_sec, 0, 0xFFFFFFFF)) +
        std::chrono::microseconds(std::clamp<std::int64_t>(header->ts.tv_usec, 0, 999999));
    if (!start) start = stamp;
    // Capture clocks may step back; the engine's clock never does.
    now = std::max(now, stamp - *start);
    // As often as the live host ticks: a tick walks the whole table, and in a capture nothing
    // leaves it before the end, so a tick per packet would make a replay quadratic.
    if (!lastTick || now - *lastTick >= kTickInterval) {
      engine.tick(now);
      lastTick = now;
    }

    // A frame longer than the capture kept: its headers may still be whole, its data is not.
    const bool cut = header->caplen < header->len;
    if (cut) ++result.summary.cutShort;
    const auto offset = ipOffset(linkType, frame, header->caplen);
    if (!offset || *offset > header->caplen) {
      if (!cut) ++result.summary.unparseable;
      continue;
    }
    const std::span<const std::uint8_t> ipBytes(frame + *offset, header->caplen - *offset);
    hosts::ParseResult parsed =
        cut ? hosts::parseIpHeaders(ipBytes) : hosts::parseIpPacket(ipBytes);
    if (parsed.status != hosts::ParseStatus::ok) {
      if (!cut) ++result.summary.unparseable;
      continue;
    }
    // Its data goes unread, as if lost on the way: what the capture kept of it is not all the
    // server took, and reading a part could give a verdict the whole would not.
    if (cut) parsed.packet.payload = {};
    const hosts::ParsedPacket& packet = parsed.packet;
    const ConnectionKey asOutbound = ConnectionKey::outboundOf(packet);
    const ConnectionKey asInbound = ConnectionKey::inboundOf(packet);
    bool outbound = outboundKeys.count(asOutbound) > 0;
    if (!outbound && outboundKeys.count(asInbound) == 0) {
      // A new connection: the SYN's sender is the client; a SYN-ACK's receiver is.
      const bool synAck =
          packet.isTCP() && packet.hasFlag(hosts::kTcpSyn) && packet.hasFlag(hosts::kTcpAck);
      outboundKeys.insert(synAck ? asInbound : asOutbound);
      outbound = !synAck;
    }
    if (!outbound) continue;  // inbound data is never inspected
    if (cut) cutConnections.insert(asOutbound);
    engine.onOutboundPacket(number, packet, now);
  }
  if (result.summary.cutShort > 0) {
    result.summary.snapLength = static_cast<std::uint32_t>(std::max(pcap_snapshot(capture), 0));
  }
  for (const auto& key : engine.connections()) engine.onConnectionDestroyed(key);
  engine.tick(now + std::chrono::hours(1));

  result.flows.reserve(recorder->flows.size());
  for (const FlowRecord& record : recorder->flows) {
    ReplayFlow flow;
    flow.time = std::chrono::duration<double>(record.firstSeen).count();
    flow.protocol = protocolName(record.key.protocol);
    flow.remote = remoteText(record.key);
    flow.serverName = record.serverName;
    flow.verdict = record.dropped ? "drop" : "allow";
    flow.why = whyText(record);
    // A web flow left without a name may have sent it in the bytes the capture did not keep.
    if (!record.dropped && record.serverName.empty() &&
        record.key.protocol == hosts::kIpProtocolTCP &&
        (record.key.remotePort == 80 || record.key.remotePort == 443) &&
        cutConnections.count(record.key) > 0) {
      flow.why = "not judged: the capture cut its packets short";
    }
    flow.outcome = std::string(hosts::outcomeKey(record.outcome));
    result.flows.push_back(std::move(flow));
    ++(record.dropped ? result.summary.dropped : result.summary.allowed);
  }
  const auto counters = engine.counters();
  result.summary.flows = counters.newFlows;
  result.summary.inspected = counters.inspections;
  result.summary.failOpen = counters.failOpenEvents;
  result.summary.blockNotifications = host->notifications;
  provider->stopFilterWithReason(0, [] {});
  return result;
}

int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err) {
  RulesFileBytes rules = readRulesFileBytes(options.rulesPath);
  if (!rules.bytes) {
    err << "replay: " << rules.problem << "\n";
    return 1;
  }
  std::string error;
  const auto result = replayCapture(options.capturePath, std::move(*rules.bytes), error);
  if (!result) {
    err << "replay: " << error << "\n";
    return 1;
  }
  const ReplaySummary& s = result->summary;
  if (s.cutShort > 0) {
    err << "replay: " << s.cutShort << " packets of " << options.capturePath
        << " were cut short by the capture (snapshot length " << s.snapLength
        << " bytes): their data is not known, so flows that needed it are not judged; capture "
           "whole packets (tcpdump -s 0) to judge them\n";
  }
  if (options.json) {
    out << "{\"flows\":[";
    for (std::size_t i = 0; i < result->flows.size(); ++i) {
      const ReplayFlow& f = result->flows[i];
      out << (i ? "," : "") << "{\"time\":" << std::fixed << std::setprecision(6) << f.time
          << ",\"protocol\":" << jsonString(f.protocol) << ",\"remote\":" << jsonString(f.remote)
          << ",\"serverName\":" << (f.serverName.empty() ? "null" : jsonString(f.serverName))
          << ",\"verdict\":" << jsonString(f.verdict) << ",\"why\":" << jsonString(f.why)
          << ",\"outcome\":" << jsonString(f.outcome) << "}";
    }
    out << "],\"summary\":{\"packets\":" << s.packets << ",\"unparseable\":" << s.unparseable
        << ",\"cutShort\":" << s.cutShort << ",\"flows\":" << s.flows
        << ",\"allowed\":" << s.allowed << ",\"dropped\":" << s.dropped
        << ",\"inspected\":" << s.inspected << ",\"failOpen\":" << s.failOpen
        << ",\"blockNotifications\":" << s.blockNotifications << "}}\n";
    return 0;
  }
  // Lines are put together in one buffer: a large capture has one per flow.
  std::string lines;
  for (const ReplayFlow& f : result->flows) {
    char time[32];
    std::snprintf(time, sizeof time, "%.6f", f.time);
    lines.append(time).append(" ").append(f.protocol).append(" ").append(f.remote).append(" ");
    lines.append(f.serverName.empty() ? "-" : f.serverName).append(" ").append(f.verdict);
    lines.append(" (").append(f.why).append(")\n");
    if (lines.size() >= 1 << 16) {
      out << lines;
      lines.clear();
    }
  }
  out << lines;
  out << "summary: " << s.packets << " packets (" << s.unparseable << " not TCP/UDP over IP"
      << (s.cutShort > 0 ? ", " + std::to_string(s.cutShort) + " cut short by the capture" : "")
      << "), " << s.flows << " flows, " << s.allowed << " allowed, " << s.dropped << " dropped, "
      << s.inspected << " inspected, " << s.failOpen << " failed open, " << s.blockNotifications
      << " block notifications\n";
  return 0;
}

}  // namespace quillnest::replay
