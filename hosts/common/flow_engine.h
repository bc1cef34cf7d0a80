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
//   2. Apply the returned PacketDecision: first accept update.release, earlier held packets, in
//      order (the engine judges them as reaching the server before this packet); then `accept`
//      or `drop` this packet, or `hold` it (keep it queued; a later decision or tick names its
//      handle in `release` or `discard`); drop update.discard. Set the connection's mark to
//      decision.update.mark when it is not `none`; when `reset` is set, end the connection with
//      a TCP reset towards the client.
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
// The engine keeps the table, its lock, the deadlines and the one loop that runs a connection's
// state machine (engine/connection.h): lock, step, unlock, call the provider, lock, feed the
// answer back, until the step asks for nothing. Deadlines sit in a heap, so tick() costs in
// proportion to what expires.
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
// Pure ACKs and other packets without payload are always accepted and never held (a host may
// pass pure ACKs without asking and show them afterwards: onObservedIpPacket; with
// bodyPassMinimum, likewise the segments of a long request body, whose bytes nobody reads,
// until shortly before its end); a FIN or RST
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
// completes, and the request heads are read from the reassembled outbound stream
// (HttpRequestReader). Each head that names a request makes a flow with the URL
// "http://HOST/PATH" for handleNewFlow, the first and every later one on a kept-alive or
// pipelined connection (the previous request's flow is reported closed first); a drop resets
// the connection. While a head is incomplete, packets whose bytes have been read are released,
// as for TLS: a server acts on no request before its head is complete. No name (not HTTP, no
// Host, a head over the limit, the client closed first, the connection ended, no name within
// holdTimeout): the flow is judged without a URL, as it would have been at its SYN. The
// connection stays marked `inspect` while it carries HTTP requests.
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

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

#include "host/data_provider.h"
#include "hosts/common/engine/connection.h"
#include "hosts/common/engine/deadlines.h"
#include "hosts/common/engine/outcomes.h"
#include "hosts/common/packet.h"

namespace quillnest::hosts {

enum class PacketAction : std::uint8_t { accept, drop, hold };
std::string_view packetActionName(PacketAction action);

struct PacketDecision {
  PacketAction action = PacketAction::accept;  // for the packet just given
  ConnectionUpdate update;
};

// Optional hooks for hosts that want to show what happened (the replay host). Called on the
// thread that made the provider call, without the engine's lock, right after the call.
class FlowEngineObserver {
 public:
  virtual ~FlowEngineObserver() = default;
  virtual void newFlow(const ConnectionKey& /*key*/, const FlowRef& /*flow*/,
                       const NEFilterNewFlowVerdict& /*verdict*/, EngineTime /*now*/) {}
  // The server name of the ClientHello the provider was just given whole.
  virtual void serverName(const FlowRef& /*flow*/, const std::string& /*name*/) {}
  virtual void settled(const FlowRef& /*flow*/, Outcome /*outcome*/) {}
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
  // arrivedOn: the interface it came in on (ParsedPacket::arrivedOn).
  PacketDecision onOutboundIpPacket(PacketHandle handle, std::span<const std::uint8_t> bytes,
                                    EngineTime now, bool checksumComplete = false,
                                    std::uint32_t arrivedOn = 0);

  // Fail-open expiry of holds, removal of lingering dropped entries, and the resets of idle
  // inspections dropped to make room for new ones.
  std::vector<ConnectionUpdate> tick(EngineTime now);

  // The connection is gone: closed report to the provider (for flows that asked for reports),
  // held packets released, entry removed. An unknown key answers an empty update.
  ConnectionUpdate onConnectionDestroyed(const ConnectionKey& key);
  // The same for an end that conntrack reported, which may be that of the previous connection on
  // a reused address pair: a connection that replaced it and is still being judged stays (its
  // own deadlines end it if it really is gone).
  ConnectionUpdate onConntrackEnd(const ConnectionKey& key);

  // The provider imposed a drop on a running flow: discard its held packets, mark it dropped.
  // Nothing when the flow is unknown.
  std::optional<ConnectionUpdate> dropFlow(const UUID& identifier);

  // A pure ACK, or a segment of a body pass, the host passed without queueing it (Linux:
  // port-80 connections under inspection log them instead). The host must show each one before it
  // gives the engine any later packet of the connection: the engine's view of what the server
  // accepts (newest timestamp, highest ACK) must be as new as the server's. No verdict; unknown
  // connections and packets that cannot be read are ignored. bytes may hold the headers only
  // (ParseResult::missing tells how much of the payload is not).
  void onObservedIpPacket(std::span<const std::uint8_t> bytes);
  void onObservedPacket(const ParsedPacket& packet, std::size_t missing = 0);
  // The same for a packet of the server on its way to the client (Linux: those of port-80
  // connections under inspection are logged): the engine learns what the server sent. Its
  // headers suffice: missing counts the payload bytes not copied (parseIpHeaders).
  // One that came in on the interface the connection's client is on was sent from the client's
  // side (a gateway's client may send any packet) and is ignored.
  // With responsePassMinimum, a long response answers the connection's mark responsePass: the
  // host need not show the server's packets with only ACK set until it has recorded another
  // mark. Since a queued packet's verdict may record inspect before the host records this one,
  // the host asks passingResponse() afterwards and records inspect again if not.
  std::optional<ConnectionUpdate> onObservedReplyIpPacket(std::span<const std::uint8_t> bytes,
                                                          std::uint32_t arrivedOn = 0);
  std::optional<ConnectionUpdate> onObservedReplyPacket(const ParsedPacket& packet,
                                                        std::size_t missing);
  bool passingResponse(const ConnectionKey& key) const;
  // Some of those ACKs were lost: every connection whose ACKs pass unqueued is dropped and reset,
  // since a verdict on its later bytes could rest on a segment the server refuses.
  std::vector<ConnectionUpdate> observationsLost(EngineTime now);

  std::optional<ConnectionKey> connectionForFlow(const UUID& identifier) const;
  std::vector<ConnectionKey> connections() const;
  FlowEngineCounters counters() const;
  const FlowEngineOptions& options() const { return options_; }

 private:
  using ConnectionRef = std::shared_ptr<Connection>;
  struct Settled {
    FlowRef flow;
    Outcome outcome;
  };

  // Runs the connection's steps until it asks for nothing; called and returns with the lock
  // held. Outcomes reached on the way are added to `settled` for the observer.
  void run(const ConnectionRef& connection, Step step, ConnectionUpdate& update, EngineTime now,
           std::unique_lock<std::mutex>& lock, std::vector<Settled>& settled);
  // Room for one more inspected connection, evicting the idlest if the table is full.
  bool inspectionRoom(EngineTime now);
  void afterStep(const ConnectionRef& connection);
  void erase(const ConnectionRef& connection);
  ConnectionUpdate end(const ConnectionKey& key, bool mayBeStale);
  void notify(const std::vector<Settled>& settled) const;

  std::shared_ptr<NEFilterDataProvider> provider_;
  FlowEngineOptions options_;
  std::shared_ptr<FlowEngineObserver> observer_;

  mutable std::mutex mutex_;
  std::unordered_map<ConnectionKey, ConnectionRef, ConnectionKeyHash> table_;
  std::unordered_map<UUID, std::weak_ptr<Connection>> byFlow_;
  Deadlines<Connection> deadlines_;
  // The live heap entry of each connection that has one.
  std::unordered_map<const Connection*, EngineTime> scheduled_;
  FlowEngineCounters counters_;
  std::vector<ConnectionUpdate> pendingUpdates_;  // for the next tick
};

}  // namespace quillnest::hosts
