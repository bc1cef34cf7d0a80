// The connection table shared by the packet-fed hosts (Linux netfilter queue, capture replay):
// it turns packets into flows for the provider, turns the provider's verdicts into per-packet
// actions and connection marks, and feeds the provider the outbound bytes of inspected TCP
// connections with their offsets.
//
// How a host drives it:
//   1. Create one FlowEngine per provider. Call onOutboundPacket() for every packet the host sees
//      from the client side of a connection (the first packet of a new connection, and every
//      data packet of a connection marked `inspect`). Packets the host cannot parse it passes
//      itself (or use onOutboundIpPacket(), which parses and answers `accept` for them).
//   2. Apply the returned PacketDecision: `accept`/`drop` this packet now, or `hold` it (keep it
//      queued; a later decision or tick names its handle in `release` or `discard`). Set the
//      connection's mark to decision.update.mark when it is not `none`; when `reset` is set,
//      end the connection with a TCP reset towards the client. Apply update.release (accept) and
//      update.discard (drop) to those earlier held packets, in order.
//   3. Call tick(now) periodically (every 100-500 ms; the replay host calls it with each packet's
//      capture time) and apply every returned ConnectionUpdate the same way: it carries the
//      fail-open releases of connections whose hold bound ran out.
//   4. When a connection is gone (conntrack destroy event; the end of a capture) call
//      onConnectionDestroyed(key): the flow-closed report goes to the provider there, held
//      packets are released, and the entry leaves the table.
//   5. For updateFlow(flow, drop verdict) from the provider (rules changed), call
//      dropFlow(flow->identifier()): it discards held packets and answers the key to reset.
//      connectionForFlow() gives the key of a flow for anything else the host does.
//
// Handles are opaque to the engine; the host picks them (Linux: queue number << 32 | packet id;
// replay: packet index) and they must be unique among the packets it still holds.
//
// Hold policy. A client's TCP stack stalls while its own packets sit in our queue (they count as
// still in flight), so holding every packet of an inspected connection would stop a client that
// writes its ClientHello in small pieces, and the hold bound would then let the blocked name
// pass. So: a packet whose bytes have all been handed to the provider, while the provider still
// asks for more (a peek verdict: the ClientHello is incomplete), is released at once; the server
// cannot act on an incomplete handshake message. The packet whose bytes complete the message is
// answered with the provider's verdict: accept on allow, drop (plus reset) on drop. Only packets
// that arrive beyond a gap (their bytes cannot be delivered yet) are held until the gap fills.
// If a connection holding packets gets no new bytes within holdTimeout, the engine fails open:
// handleOutboundDataCompleteForFlow, release everything, mark allowed, count a fail-open event.
// Pure ACKs and other packets without payload are always accepted and never held; a FIN or RST
// from the client ends inspection the same way (complete + allow). Per-connection limits on held
// packets and bytes and a limit on inspected connections keep memory bounded; crossing one fails
// open too, except that at the inspection limit the inspections idle longest (an eighth of them)
// are dropped (reset) to make room: otherwise anyone could keep the table full with unfinished
// ClientHellos and have every later connection pass unread. A real client sends its ClientHello
// at once, so under that pressure the connections waiting longest are the stalled ones. A client
// that sends two different copies of the same stream bytes is dropped (reset): which copy the
// server keeps depends on the order it receives them in, so no verdict on either copy would be
// sound.
//
// Plain HTTP. A platform that hands flows over with their URL lets a port-80 flow be judged by
// its host name at once; packets carry no such name, so with nameHttpFlows a TCP connection to
// remote port 80 is not judged at its SYN. The SYN passes (mark `inspect`), the handshake
// completes, and the request head is read from the reassembled outbound stream
// (HttpRequestHeadReader). Once it names the request, the flow is made with the URL
// "http://HOST/PATH" and handed to handleNewFlow like any other; its verdict settles the held
// packet(s) and the connection exactly as a first-packet verdict would (a drop resets). While the
// head is incomplete, packets whose bytes have been read are released, as for TLS: a server acts
// on no request before its head is complete. No name (not HTTP, no Host, a head over the limit,
// the client closed first, the connection ended, no name within holdTimeout): the flow is judged
// without a URL, as it would have been at its SYN.
//
// A TCP connection whose SYN the engine never saw (the queue let it pass unjudged while it
// overflowed) is picked up at its first packet: the handshake's ACK, or its first data, carries
// the stream's first sequence number, so it is read like any other.
//
// Thread safety: every method may be called from several threads at once. One mutex guards the
// table; it is never held while the provider is called. Calls for one connection that overlap
// are serialised by the engine: while one thread is in the provider for a connection, packets of
// that connection arriving on other threads are held and the first thread answers for them (its
// update releases or discards their handles).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/data_provider.h"
#include "hosts/common/http_request_head.h"
#include "hosts/common/packet.h"
#include "hosts/common/stream_reassembler.h"

namespace quillnest::hosts {

using PacketHandle = std::uint64_t;
// Monotonic time from any epoch (steady_clock on a live host, capture time in a replay).
using EngineTime = std::chrono::nanoseconds;

// The outcome a host records on the connection (Linux: a connmark value).
enum class ConnectionMark : std::uint8_t {
  none,     // nothing to record (no change, or not decided yet)
  allowed,  // the rest of the connection passes unseen
  dropped,  // every further packet is dropped
  inspect,  // outbound data packets must keep coming to the engine
};
std::string_view connectionMarkName(ConnectionMark mark);

enum class PacketAction : std::uint8_t { accept, drop, hold };
std::string_view packetActionName(PacketAction action);

// Why a connection reached its state; for status output and the replay's per-flow lines.
enum class Settlement : std::uint8_t {
  pending,          // not settled yet
  newFlowAllow,     // the provider allowed the new flow
  newFlowDrop,      // the provider dropped the new flow
  dataAllow,        // the provider allowed after reading outbound bytes
  dataDrop,         // the provider dropped after reading outbound bytes
  clientClosed,     // FIN/RST from the client ended inspection (complete + allow)
  holdExpired,      // fail open: no new bytes within the hold bound
  limitReached,     // fail open: held packets/bytes or inspected connections over their bound
  noHandshake,      // fail open: inspection asked for a connection whose SYN we never saw
  updateFlowDrop,   // the provider imposed a drop through updateFlow
  tableFull,        // accepted without asking: the connection table is full
  conflictingData,  // dropped: the client sent two different copies of the same stream bytes
  evicted,          // dropped: idle longest mid-inspection while the inspection table was full
};
inline constexpr std::size_t kSettlementCount = 13;
static_assert(static_cast<std::size_t>(Settlement::evicted) + 1 == kSettlementCount);
std::string_view settlementName(Settlement settlement);

// What the host must do on one connection besides the current packet.
struct ConnectionUpdate {
  ConnectionKey key;
  FlowRef flow;  // null when the packet made no flow
  // The connection's mark to record now; none = leave it as it is (e.g. for a held packet).
  ConnectionMark mark = ConnectionMark::none;
  bool reset = false;                 // end the connection with a TCP reset to the client
  std::vector<PacketHandle> release;  // earlier held packets: accept now, in this order
  std::vector<PacketHandle> discard;  // earlier held packets: drop now
  Settlement settlement = Settlement::pending;

  bool empty() const {
    return mark == ConnectionMark::none && !reset && release.empty() && discard.empty();
  }
};

struct PacketDecision {
  PacketAction action = PacketAction::accept;  // for the packet just given
  ConnectionUpdate update;
};

struct FlowEngineOptions {
  EngineTime holdTimeout = std::chrono::seconds(2);
  std::size_t maxHeldPacketsPerConnection = 64;
  std::size_t maxHeldBytesPerConnection = 256 * 1024;
  std::size_t maxInspectedConnections = 4096;
  std::size_t maxConnections = 262144;
  // A connection dropped and reported closed by the engine itself lingers this long so its
  // retransmitted first packets are dropped without a second flow; then it leaves the table.
  EngineTime droppedLinger = std::chrono::seconds(30);
  // Name port-80 flows from their request head before judging them (see the header comment).
  bool nameHttpFlows = true;
  std::size_t httpHeadLimit = kHttpHeadLimit;
};

// Counts of what the engine has seen since it was made (the `status` command prints them).
struct FlowEngineCounters {
  std::uint64_t packets = 0;
  std::uint64_t newFlows = 0;
  std::uint64_t newFlowsAllowed = 0;
  std::uint64_t newFlowsDropped = 0;
  std::uint64_t udp443Drops = 0;
  std::uint64_t inspections = 0;
  std::uint64_t inspectionsAllowed = 0;
  std::uint64_t inspectionsDropped = 0;
  std::uint64_t failOpenEvents = 0;
  std::uint64_t closedReports = 0;
  std::uint64_t tableFull = 0;
  std::uint64_t unparseablePackets = 0;
  std::uint64_t badChecksums = 0;        // TCP packets ignored: a receiver drops them too
  std::uint64_t conflictingStreams = 0;  // connections dropped for conflicting copies
  std::uint64_t evictions = 0;           // idle inspections dropped to make room
  // Connections settled, by why (index: Settlement): says which fail-open path was taken.
  std::array<std::uint64_t, kSettlementCount> settlements{};
  std::uint64_t httpNamed = 0;  // port-80 flows judged with the URL from their request head
  // Port-80 flows judged without a name, by HttpUnnamedReason.
  std::array<std::uint64_t, kHttpUnnamedReasonCount> httpUnnamed{};
  // Now, not cumulative.
  std::uint64_t connections = 0;
  std::uint64_t inspectedConnections = 0;
  std::uint64_t heldPackets = 0;
  std::uint64_t httpWaiting = 0;  // port-80 connections whose request head is not read yet
};

// Optional hooks for hosts that want to show what happened (the replay host). Called on the
// thread that made the provider call, without the engine's lock, right after the call.
class FlowEngineObserver {
 public:
  virtual ~FlowEngineObserver() = default;
  virtual void newFlow(const ConnectionKey& /*key*/, const FlowRef& /*flow*/,
                       const NEFilterNewFlowVerdict& /*verdict*/, EngineTime /*now*/) {}
  virtual void outboundData(const FlowRef& /*flow*/, std::uint64_t /*offset*/,
                            std::span<const std::uint8_t> /*bytes*/,
                            const NEFilterDataVerdict& /*verdict*/) {}
  virtual void settled(const FlowRef& /*flow*/, Settlement /*settlement*/) {}
  virtual void closed(const FlowRef& /*flow*/) {}
};

class FlowEngine {
 public:
  explicit FlowEngine(std::shared_ptr<NEFilterDataProvider> provider,
                      FlowEngineOptions options = {});
  ~FlowEngine();
  FlowEngine(const FlowEngine&) = delete;
  FlowEngine& operator=(const FlowEngine&) = delete;

  // Not thread-safe against packets in flight: set it before the first packet.
  void setObserver(std::shared_ptr<FlowEngineObserver> observer);

  // A packet from the client side of a connection (see the header comment).
  PacketDecision onOutboundPacket(PacketHandle handle, const ParsedPacket& packet, EngineTime now);
  // Parses first; packets that are not TCP/UDP over IP, or cannot be read, are accepted. With
  // checksumComplete the host says the TCP checksum is final (not left to offload): a packet
  // whose checksum is wrong is then accepted and otherwise ignored, since the receiver drops it
  // and must not be judged by bytes it never reads.
  PacketDecision onOutboundIpPacket(PacketHandle handle, std::span<const std::uint8_t> bytes,
                                    EngineTime now, bool checksumComplete = false);

  // Fail-open expiry of holds, removal of lingering dropped entries, and the resets of idle
  // inspections dropped to make room for new ones.
  std::vector<ConnectionUpdate> tick(EngineTime now);

  // The connection is gone: closed report to the provider (for flows that asked for reports),
  // held packets released, entry removed. An unknown key answers an empty update.
  ConnectionUpdate onConnectionDestroyed(const ConnectionKey& key);

  // The provider imposed a drop on a running flow: discard its held packets, mark it dropped.
  // Nothing when the flow is unknown.
  std::optional<ConnectionUpdate> dropFlow(const UUID& identifier);

  std::optional<ConnectionKey> connectionForFlow(const UUID& identifier) const;
  std::vector<ConnectionKey> connections() const;
  FlowEngineCounters counters() const;
  const FlowEngineOptions& options() const { return options_; }

  struct Connection;

 private:
  using ConnectionRef = std::shared_ptr<Connection>;

  PacketDecision newConnection(PacketHandle handle, const ParsedPacket& packet,
                               const ConnectionKey& key, EngineTime now,
                               std::unique_lock<std::mutex>& lock);
  // Makes the flow known to the provider and applies its new-flow verdict. The connection is
  // owned and the lock held; true when the closed report must be sent now (after ownership).
  bool askNewFlow(const ConnectionRef& connection, bool firstPacket, ConnectionUpdate& update,
                  EngineTime now, std::unique_lock<std::mutex>& lock);
  // Reads what arrived of a port-80 request head; judges the flow once it is named or cannot be.
  // `end` forces a judgement without a name when the head is still incomplete.
  void advanceNaming(const ConnectionRef& connection, std::optional<HttpUnnamedReason> end,
                     ConnectionUpdate& update, EngineTime now, std::unique_lock<std::mutex>& lock);
  PacketDecision inspectedPacket(PacketHandle handle, const ParsedPacket& packet,
                                 const ConnectionRef& connection, EngineTime now,
                                 std::unique_lock<std::mutex>& lock);
  // Runs provider deliveries for a connection this thread owns until nothing is left to do;
  // returns with the lock held and ownership given back.
  void drive(const ConnectionRef& connection, ConnectionUpdate& update, EngineTime now,
             std::unique_lock<std::mutex>& lock);
  void settle(const ConnectionRef& connection, ConnectionMark mark, Settlement why,
              ConnectionUpdate& update);
  void finishOwnership(const ConnectionRef& connection, ConnectionUpdate& update,
                       std::unique_lock<std::mutex>& lock);
  void eraseLocked(const ConnectionRef& connection);
  // At the inspection cap: drops the inspections idle longest, an eighth of them (their updates
  // wait for the next tick). Returns how many.
  std::size_t evictIdleInspections(EngineTime now);
  // Sends the flow-closed report; called without the lock.
  void reportClosed(const ConnectionRef& connection);

  std::shared_ptr<NEFilterDataProvider> provider_;
  FlowEngineOptions options_;
  std::shared_ptr<FlowEngineObserver> observer_;

  mutable std::mutex mutex_;
  std::unordered_map<ConnectionKey, ConnectionRef, ConnectionKeyHash> table_;
  std::unordered_map<UUID, ConnectionRef> byFlow_;
  FlowEngineCounters counters_;
  std::size_t inspectedNow_ = 0;
  std::size_t namingNow_ = 0;
  std::vector<ConnectionUpdate> pendingUpdates_;  // for the next tick
};

}  // namespace quillnest::hosts
