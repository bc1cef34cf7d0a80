#include "hosts/common/flow_engine.h"

#include <algorithm>
#include <deque>

namespace quillnest::hosts {

struct FlowEngine::Connection {
  // naming: a port-80 connection whose request head is being read, not yet a flow.
  enum class State { deciding, allowed, dropped, inspecting, naming };

  struct Held {
    PacketHandle handle;
    std::uint64_t end;  // stream offset after the packet's last byte; 0 without payload
    std::size_t bytes;
  };

  ConnectionKey key;
  FlowRef flow;
  State state = State::deciding;
  Settlement settlement = Settlement::pending;
  bool shouldReport = false;
  bool reported = false;
  bool owned = false;             // a thread is calling the provider for this connection
  bool destroyRequested = false;  // gone from the table while owned; the owner reports
  bool dropRequested = false;     // updateFlow drop while owned; the owner applies it
  bool clientClosed = false;      // FIN or RST seen from the client
  bool streamKnown = false;
  std::uint32_t initialSequence = 0;
  StreamReassembler stream;
  std::unique_ptr<HttpRequestHeadReader> http;  // naming only
  std::deque<Held> held;
  std::size_t heldBytes = 0;
  EngineTime lastProgress{};
  std::optional<EngineTime> lingerUntil;

  ConnectionMark mark() const {
    switch (state) {
      case State::allowed:
        return ConnectionMark::allowed;
      case State::dropped:
        return ConnectionMark::dropped;
      case State::inspecting:
      case State::naming:
        return ConnectionMark::inspect;
      case State::deciding:
        break;
    }
    return ConnectionMark::none;
  }
};

namespace {

// Moves the current packet's handle out of the update's lists into the packet's own action.
PacketDecision decisionFor(PacketHandle handle, ConnectionUpdate update) {
  PacketDecision decision;
  decision.action = PacketAction::hold;
  if (auto it = std::find(update.release.begin(), update.release.end(), handle);
      it != update.release.end()) {
    update.release.erase(it);
    decision.action = PacketAction::accept;
  } else if (auto dit = std::find(update.discard.begin(), update.discard.end(), handle);
             dit != update.discard.end()) {
    update.discard.erase(dit);
    decision.action = PacketAction::drop;
  }
  decision.update = std::move(update);
  return decision;
}

PacketDecision acceptPacket(ConnectionMark mark = ConnectionMark::none) {
  PacketDecision decision;
  decision.action = PacketAction::accept;
  decision.update.mark = mark;
  return decision;
}

}  // namespace

std::string_view connectionMarkName(ConnectionMark mark) {
  switch (mark) {
    case ConnectionMark::none:
      return "none";
    case ConnectionMark::allowed:
      return "allowed";
    case ConnectionMark::dropped:
      return "dropped";
    case ConnectionMark::inspect:
      return "inspect";
  }
  return "unknown";
}

std::string_view packetActionName(PacketAction action) {
  switch (action) {
    case PacketAction::accept:
      return "accept";
    case PacketAction::drop:
      return "drop";
    case PacketAction::hold:
      return "hold";
  }
  return "unknown";
}

std::string_view settlementName(Settlement settlement) {
  switch (settlement) {
    case Settlement::pending:
      return "pending";
    case Settlement::newFlowAllow:
      return "allowed";
    case Settlement::newFlowDrop:
      return "dropped";
    case Settlement::dataAllow:
      return "allowed after inspection";
    case Settlement::dataDrop:
      return "dropped after inspection";
    case Settlement::clientClosed:
      return "allowed: client closed during inspection";
    case Settlement::holdExpired:
      return "allowed: hold expired (fail open)";
    case Settlement::limitReached:
      return "allowed: inspection limit reached (fail open)";
    case Settlement::noHandshake:
      return "allowed: no handshake seen (fail open)";
    case Settlement::updateFlowDrop:
      return "dropped by rules change";
    case Settlement::tableFull:
      return "allowed: connection table full";
    case Settlement::conflictingData:
      return "dropped: conflicting copies of the same bytes";
    case Settlement::evicted:
      return "dropped: idle longest while the inspection table was full";
  }
  return "unknown";
}

FlowEngine::FlowEngine(std::shared_ptr<NEFilterDataProvider> provider, FlowEngineOptions options)
    : provider_(std::move(provider)), options_(options) {}

FlowEngine::~FlowEngine() = default;

void FlowEngine::setObserver(std::shared_ptr<FlowEngineObserver> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

PacketDecision FlowEngine::onOutboundIpPacket(PacketHandle handle,
                                              std::span<const std::uint8_t> bytes, EngineTime now,
                                              bool checksumComplete) {
  const ParseResult parsed = parseIpPacket(bytes);
  if (parsed.status != ParseStatus::ok) {
    std::lock_guard lock(mutex_);
    ++counters_.unparseablePackets;
    return acceptPacket();
  }
  if (checksumComplete && !tcpChecksumValid(parsed.packet)) {
    std::lock_guard lock(mutex_);
    ++counters_.badChecksums;
    return acceptPacket();
  }
  return onOutboundPacket(handle, parsed.packet, now);
}

PacketDecision FlowEngine::onOutboundPacket(PacketHandle handle, const ParsedPacket& packet,
                                            EngineTime now) {
  if (packet.protocol != kIpProtocolTCP && packet.protocol != kIpProtocolUDP) {
    return acceptPacket();
  }
  const ConnectionKey key = ConnectionKey::outboundOf(packet);
  std::unique_lock lock(mutex_);
  ++counters_.packets;
  auto it = table_.find(key);
  if (it == table_.end()) {
    // A stray reset for a connection we never saw opens nothing.
    if (packet.isTCP() && packet.hasFlag(kTcpRst)) return acceptPacket();
    PacketDecision decision = newConnection(handle, packet, key, now, lock);
    lock.unlock();
    if (observer_ && decision.update.flow && decision.update.settlement != Settlement::pending) {
      observer_->settled(decision.update.flow, decision.update.settlement);
    }
    return decision;
  }
  ConnectionRef connection = it->second;
  if (connection->owned) {
    // Another thread is in the provider for this connection; it answers for this packet.
    if (connection->held.size() >= options_.maxHeldPacketsPerConnection) return acceptPacket();
    if (connection->streamKnown && !packet.payload.empty()) {
      return inspectedPacket(handle, packet, connection, now, lock);
    }
    if (packet.isTCP() && packet.hasFlag(kTcpFin | kTcpRst)) connection->clientClosed = true;
    connection->held.push_back({handle, 0, 0});
    PacketDecision decision;
    decision.action = PacketAction::hold;
    return decision;
  }
  switch (connection->state) {
    case Connection::State::allowed:
      return acceptPacket(ConnectionMark::allowed);
    case Connection::State::dropped: {
      PacketDecision decision;
      decision.action = PacketAction::drop;
      decision.update.mark = ConnectionMark::dropped;
      return decision;
    }
    case Connection::State::deciding:  // never unowned; kept for completeness
    case Connection::State::inspecting:
    case Connection::State::naming:
      break;
  }
  PacketDecision decision = inspectedPacket(handle, packet, connection, now, lock);
  if (lock.owns_lock()) lock.unlock();
  if (observer_ && decision.update.flow && decision.update.settlement != Settlement::pending) {
    observer_->settled(decision.update.flow, decision.update.settlement);
  }
  return decision;
}

namespace {

FlowRef makeFlow(const ConnectionKey& key, std::optional<URL> url) {
  NEFilterSocketFlow::Attributes attributes;
  attributes.url = std::move(url);
  attributes.remoteEndpoint =
      NWHostEndpoint::endpointWithHostname(key.remote.text(), std::to_string(key.remotePort));
  attributes.socketProtocol = key.protocol;
  return std::make_shared<NEFilterSocketFlow>(UUID::random(), std::move(attributes));
}

}  // namespace

PacketDecision FlowEngine::newConnection(PacketHandle handle, const ParsedPacket& packet,
                                         const ConnectionKey& key, EngineTime now,
                                         std::unique_lock<std::mutex>& lock) {
  if (table_.size() >= options_.maxConnections) {
    ++counters_.tableFull;
    PacketDecision decision = acceptPacket(ConnectionMark::allowed);
    decision.update.key = key;
    decision.update.settlement = Settlement::tableFull;
    return decision;
  }
  auto connection = std::make_shared<Connection>();
  connection->key = key;
  connection->owned = true;
  connection->lastProgress = now;
  if (packet.isTCP() && packet.hasFlag(kTcpSyn) && !packet.hasFlag(kTcpAck)) {
    connection->streamKnown = true;
    connection->initialSequence = packet.tcpSequence;
  } else if (packet.isTCP() && !packet.hasFlag(kTcpSyn)) {
    // Picked up without its SYN (the queue's fail-open let the SYN pass while it overflowed):
    // the handshake's ACK, or the first data, carries the stream's first sequence number. If it
    // was in fact mid-stream, the bytes read are no handshake and the flow is allowed as such.
    connection->streamKnown = true;
    connection->initialSequence = packet.tcpSequence - 1u;
  }
  std::uint64_t end = 0;
  if (connection->streamKnown && !packet.payload.empty()) {
    // Data on the SYN (fast open), or the first data of a connection picked up, starts the
    // stream.
    connection->stream.insert(0, packet.payload);
    end = packet.payload.size();
  }
  connection->held.push_back({handle, end, packet.payload.size()});
  connection->heldBytes = packet.payload.size();
  if (packet.isTCP() && packet.hasFlag(kTcpFin | kTcpRst)) connection->clientClosed = true;
  table_[key] = connection;

  ConnectionUpdate update;
  update.key = key;
  bool reportNow = false;
  if (options_.nameHttpFlows && connection->streamKnown && key.remotePort == 80) {
    connection->state = Connection::State::naming;
    connection->http = std::make_unique<HttpRequestHeadReader>(options_.httpHeadLimit);
    ++namingNow_;
    update.mark = ConnectionMark::inspect;
    advanceNaming(connection, std::nullopt, update, now, lock);
  } else {
    connection->flow = makeFlow(key, std::nullopt);
    reportNow = askNewFlow(connection, true, update, now, lock);
  }
  finishOwnership(connection, update, lock);
  if (reportNow) {
    lock.unlock();
    reportClosed(connection);
    lock.lock();
  }
  return decisionFor(handle, std::move(update));
}

bool FlowEngine::askNewFlow(const ConnectionRef& connection, bool firstPacket,
                            ConnectionUpdate& update, EngineTime now,
                            std::unique_lock<std::mutex>& lock) {
  const ConnectionKey& key = connection->key;
  const FlowRef flow = connection->flow;
  byFlow_[flow->identifier()] = connection;
  ++counters_.newFlows;
  update.flow = flow;

  const auto observer = observer_;
  lock.unlock();
  NewFlowVerdictRef verdict = provider_->handleNewFlow(flow);
  if (!verdict) verdict = NEFilterNewFlowVerdict::allowVerdict();
  if (observer) observer->newFlow(key, flow, *verdict, now);
  lock.lock();

  connection->shouldReport = verdict->shouldReport();
  bool reportNow = false;
  if (connection->dropRequested) {
    settle(connection, ConnectionMark::dropped, Settlement::updateFlowDrop, update);
    return false;
  }
  switch (verdict->kind()) {
    case NEFilterNewFlowVerdict::Kind::allow:
      ++counters_.newFlowsAllowed;
      settle(connection, ConnectionMark::allowed, Settlement::newFlowAllow, update);
      break;
    case NEFilterNewFlowVerdict::Kind::drop:
      ++counters_.newFlowsDropped;
      if (key.protocol == kIpProtocolUDP && key.remotePort == 443) ++counters_.udp443Drops;
      settle(connection, ConnectionMark::dropped, Settlement::newFlowDrop, update);
      if (firstPacket) {
        // The connection never opens, so no destroy event will come for it: we report.
        if (connection->shouldReport && !connection->reported && !connection->destroyRequested) {
          connection->reported = true;
          reportNow = true;
        }
        connection->lingerUntil = now + options_.droppedLinger;
      }
      break;
    case NEFilterNewFlowVerdict::Kind::filterData: {
      if (!verdict->filterOutbound()) {
        ++counters_.newFlowsAllowed;
        settle(connection, ConnectionMark::allowed, Settlement::newFlowAllow, update);
        break;
      }
      Settlement failOpen = Settlement::pending;
      if (key.protocol != kIpProtocolTCP || !connection->streamKnown) {
        failOpen = Settlement::noHandshake;
      } else if (inspectedNow_ >= options_.maxInspectedConnections &&
                 (evictIdleInspections(now) == 0 ||
                  inspectedNow_ >= options_.maxInspectedConnections)) {
        failOpen = Settlement::limitReached;
      }
      ++counters_.inspections;
      if (failOpen != Settlement::pending) {
        // Nothing to read the stream from: end inspection before it starts.
        ++counters_.failOpenEvents;
        lock.unlock();
        provider_->handleOutboundDataCompleteForFlow(flow);
        lock.lock();
        settle(connection, ConnectionMark::allowed, failOpen, update);
        break;
      }
      connection->state = Connection::State::inspecting;
      ++inspectedNow_;
      update.mark = ConnectionMark::inspect;
      drive(connection, update, now, lock);
      break;
    }
  }
  return reportNow;
}

void FlowEngine::advanceNaming(const ConnectionRef& connection,
                               std::optional<HttpUnnamedReason> end, ConnectionUpdate& update,
                               EngineTime now, std::unique_lock<std::mutex>& lock) {
  if (connection->stream.conflicted()) {
    ++counters_.conflictingStreams;
    --namingNow_;
    connection->http.reset();
    settle(connection, ConnectionMark::dropped, Settlement::conflictingData, update);
    return;
  }
  HttpRequestHeadReader& reader = *connection->http;
  if (reader.result().status == HttpHeadStatus::needMore) {
    const std::vector<std::uint8_t> fresh = connection->stream.peek(reader.fed());
    if (!fresh.empty()) reader.feed(fresh);
  }
  HttpHeadResult result = reader.result();
  if (result.status == HttpHeadStatus::needMore) {
    if (!end && connection->clientClosed) end = HttpUnnamedReason::closedFirst;
    if (!end && (connection->held.size() > options_.maxHeldPacketsPerConnection ||
                 connection->heldBytes > options_.maxHeldBytesPerConnection)) {
      end = HttpUnnamedReason::headTooLarge;
    }
    if (!end) {
      // The server cannot answer a request whose head is incomplete: let the read packets go.
      for (auto it = connection->held.begin(); it != connection->held.end();) {
        if (it->end <= reader.fed()) {
          update.release.push_back(it->handle);
          connection->heldBytes -= it->bytes;
          it = connection->held.erase(it);
        } else {
          ++it;
        }
      }
      return;
    }
    result.status = HttpHeadStatus::unnamed;
    result.reason = *end;
  }
  std::optional<URL> url;
  if (result.status == HttpHeadStatus::named) {
    ++counters_.httpNamed;
    url = URL{result.url, result.host};
  } else {
    ++counters_.httpUnnamed[static_cast<std::size_t>(result.reason)];
  }
  --namingNow_;
  connection->state = Connection::State::deciding;
  connection->http.reset();
  connection->flow = makeFlow(connection->key, std::move(url));
  askNewFlow(connection, false, update, now, lock);
}

PacketDecision FlowEngine::inspectedPacket(PacketHandle handle, const ParsedPacket& packet,
                                           const ConnectionRef& connection, EngineTime now,
                                           std::unique_lock<std::mutex>& lock) {
  ConnectionUpdate update;
  update.key = connection->key;
  update.flow = connection->flow;
  const bool closing = packet.isTCP() && packet.hasFlag(kTcpFin | kTcpRst);
  if (!packet.isTCP() || !connection->streamKnown) return acceptPacket();

  if (packet.payload.empty()) {
    if (!closing) return acceptPacket();  // pure ACKs pass, never held
    connection->clientClosed = true;
    if (connection->owned) return acceptPacket();
    connection->owned = true;
    if (connection->state == Connection::State::naming) {
      advanceNaming(connection, std::nullopt, update, now, lock);
    } else {
      drive(connection, update, now, lock);
    }
    finishOwnership(connection, update, lock);
    PacketDecision decision = decisionFor(handle, std::move(update));
    decision.action = PacketAction::accept;
    return decision;
  }

  const std::int64_t offset = streamOffset(connection->initialSequence, packet.tcpSequence);
  const std::size_t before = connection->stream.buffered();
  const bool inWindow = connection->stream.insert(offset, packet.payload);
  if (connection->stream.buffered() != before) connection->lastProgress = now;
  const std::int64_t endSigned = offset + static_cast<std::int64_t>(packet.payload.size());
  const std::uint64_t end = endSigned < 0 ? 0 : static_cast<std::uint64_t>(endSigned);
  if (closing) connection->clientClosed = true;
  connection->held.push_back({handle, end, packet.payload.size()});
  connection->heldBytes += packet.payload.size();
  if (connection->owned) {
    PacketDecision decision;
    decision.action = PacketAction::hold;
    return decision;
  }
  connection->owned = true;
  if (connection->state == Connection::State::naming) {
    advanceNaming(connection,
                  inWindow ? std::nullopt : std::optional(HttpUnnamedReason::headTooLarge), update,
                  now, lock);
  } else if (!inWindow) {
    ++counters_.failOpenEvents;
    lock.unlock();
    provider_->handleOutboundDataCompleteForFlow(connection->flow);
    lock.lock();
    settle(connection, ConnectionMark::allowed, Settlement::limitReached, update);
  } else {
    drive(connection, update, now, lock);
  }
  finishOwnership(connection, update, lock);
  return decisionFor(handle, std::move(update));
}

void FlowEngine::drive(const ConnectionRef& connection, ConnectionUpdate& update, EngineTime now,
                       std::unique_lock<std::mutex>& lock) {
  const auto observer = observer_;
  for (;;) {
    if (connection->destroyRequested || connection->state != Connection::State::inspecting) {
      return;
    }
    if (connection->dropRequested) {
      settle(connection, ConnectionMark::dropped, Settlement::updateFlowDrop, update);
      return;
    }
    if (connection->stream.conflicted()) {
      ++counters_.conflictingStreams;
      settle(connection, ConnectionMark::dropped, Settlement::conflictingData, update);
      return;
    }
    std::vector<std::uint8_t> bytes = connection->stream.take();
    if (bytes.empty()) {
      // Everything deliverable is with the provider and it still wants more: let the delivered
      // packets go so the client keeps sending; keep only what lies beyond a gap.
      while (!connection->held.empty()) {
        auto it = std::find_if(
            connection->held.begin(), connection->held.end(),
            [&](const Connection::Held& h) { return h.end <= connection->stream.taken(); });
        if (it == connection->held.end()) break;
        update.release.push_back(it->handle);
        connection->heldBytes -= it->bytes;
        connection->held.erase(it);
      }
      Settlement failOpen = Settlement::pending;
      if (connection->clientClosed) {
        failOpen = Settlement::clientClosed;
      } else if (connection->held.size() > options_.maxHeldPacketsPerConnection ||
                 connection->heldBytes > options_.maxHeldBytesPerConnection) {
        failOpen = Settlement::limitReached;
        ++counters_.failOpenEvents;
      }
      if (failOpen == Settlement::pending) return;
      lock.unlock();
      provider_->handleOutboundDataCompleteForFlow(connection->flow);
      lock.lock();
      ++counters_.inspectionsAllowed;
      settle(connection, ConnectionMark::allowed, failOpen, update);
      return;
    }
    const std::uint64_t offset = connection->stream.taken() - bytes.size();
    connection->lastProgress = now;
    lock.unlock();
    DataVerdictRef verdict = provider_->handleOutboundDataFromFlow(connection->flow, offset, bytes);
    if (!verdict) verdict = NEFilterDataVerdict::allowVerdict();
    if (observer) observer->outboundData(connection->flow, offset, bytes, *verdict);
    lock.lock();
    switch (verdict->kind()) {
      case NEFilterDataVerdict::Kind::allow:
        ++counters_.inspectionsAllowed;
        settle(connection, ConnectionMark::allowed, Settlement::dataAllow, update);
        return;
      case NEFilterDataVerdict::Kind::drop:
        ++counters_.inspectionsDropped;
        settle(connection, ConnectionMark::dropped, Settlement::dataDrop, update);
        return;
      case NEFilterDataVerdict::Kind::data:
        break;  // it wants more: deliver what arrived meanwhile, then wait
    }
  }
}

void FlowEngine::settle(const ConnectionRef& connection, ConnectionMark mark, Settlement why,
                        ConnectionUpdate& update) {
  if (connection->state == Connection::State::inspecting) --inspectedNow_;
  const bool drop = mark == ConnectionMark::dropped;
  connection->state = drop ? Connection::State::dropped : Connection::State::allowed;
  connection->settlement = why;
  ++counters_.settlements[static_cast<std::size_t>(why)];
  for (const auto& held : connection->held) {
    (drop ? update.discard : update.release).push_back(held.handle);
  }
  connection->held.clear();
  connection->heldBytes = 0;
  connection->stream = StreamReassembler();
  update.mark = mark;
  update.reset = drop && connection->key.protocol == kIpProtocolTCP;
  update.settlement = why;
}

void FlowEngine::finishOwnership(const ConnectionRef& connection, ConnectionUpdate& update,
                                 std::unique_lock<std::mutex>& lock) {
  connection->owned = false;
  if (update.mark == ConnectionMark::none) update.mark = connection->mark();
  if (!connection->destroyRequested) return;
  eraseLocked(connection);  // a flow made after the destroy event was registered meanwhile
  if (connection->state == Connection::State::inspecting) --inspectedNow_;
  if (connection->state != Connection::State::dropped) {
    for (const auto& held : connection->held) update.release.push_back(held.handle);
  } else {
    for (const auto& held : connection->held) update.discard.push_back(held.handle);
  }
  connection->held.clear();
  connection->heldBytes = 0;
  if (connection->state == Connection::State::deciding ||
      connection->state == Connection::State::inspecting) {
    connection->state = Connection::State::allowed;
  }
  if (connection->shouldReport && !connection->reported) {
    connection->reported = true;
    lock.unlock();
    reportClosed(connection);
    lock.lock();
  }
}

void FlowEngine::eraseLocked(const ConnectionRef& connection) {
  if (auto it = table_.find(connection->key); it != table_.end() && it->second == connection) {
    table_.erase(it);
  }
  if (!connection->flow) return;  // a port-80 connection not named yet
  if (auto it = byFlow_.find(connection->flow->identifier());
      it != byFlow_.end() && it->second == connection) {
    byFlow_.erase(it);
  }
}

void FlowEngine::reportClosed(const ConnectionRef& connection) {
  NEFilterReport report;
  report.event = static_cast<std::int64_t>(NEFilterReportEvent::flowClosed);
  report.flow = connection->flow;
  provider_->handleReport(report);
  {
    std::lock_guard lock(mutex_);
    ++counters_.closedReports;
  }
  if (observer_) observer_->closed(connection->flow);
}

std::size_t FlowEngine::evictIdleInspections(EngineTime now) {
  std::vector<ConnectionRef> idle;
  for (const auto& [key, connection] : table_) {
    if (!connection->owned && connection->state == Connection::State::inspecting &&
        connection->lastProgress < now) {
      idle.push_back(connection);
    }
  }
  // The longest idle eighth at once, so a full table is scanned once per many newcomers.
  const std::size_t count = std::min(idle.size(), std::max<std::size_t>(1, idle.size() / 8));
  std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(count), idle.end(),
                    [](const ConnectionRef& a, const ConnectionRef& b) {
                      return a->lastProgress < b->lastProgress;
                    });
  for (std::size_t i = 0; i < count; ++i) {
    ConnectionUpdate update;
    update.key = idle[i]->key;
    update.flow = idle[i]->flow;
    settle(idle[i], ConnectionMark::dropped, Settlement::evicted, update);
    pendingUpdates_.push_back(std::move(update));
    ++counters_.evictions;
  }
  return count;
}

std::vector<ConnectionUpdate> FlowEngine::tick(EngineTime now) {
  std::unique_lock lock(mutex_);
  std::vector<ConnectionUpdate> updates = std::move(pendingUpdates_);
  pendingUpdates_.clear();
  std::vector<ConnectionRef> expired;
  std::vector<ConnectionRef> lingering;
  std::vector<ConnectionRef> unnamed;
  for (const auto& [key, connection] : table_) {
    if (connection->owned) continue;
    if (connection->state == Connection::State::naming) {
      if (now - connection->lastProgress >= options_.holdTimeout) unnamed.push_back(connection);
    } else if (connection->state == Connection::State::inspecting && !connection->held.empty() &&
               now - connection->lastProgress >= options_.holdTimeout) {
      expired.push_back(connection);
    } else if (connection->lingerUntil && *connection->lingerUntil <= now) {
      lingering.push_back(connection);
    }
  }
  for (const auto& connection : lingering) eraseLocked(connection);
  for (const auto& connection : unnamed) {
    // Another thread may have judged it while the lock was given up for an earlier one.
    if (connection->owned || connection->state != Connection::State::naming) continue;
    connection->owned = true;
    ConnectionUpdate update;
    update.key = connection->key;
    advanceNaming(connection, HttpUnnamedReason::timedOut, update, now, lock);
    finishOwnership(connection, update, lock);
    updates.push_back(std::move(update));
  }
  for (const auto& connection : expired) {
    if (connection->owned || connection->state != Connection::State::inspecting) continue;
    connection->owned = true;
    ++counters_.failOpenEvents;
    ConnectionUpdate update;
    update.key = connection->key;
    update.flow = connection->flow;
    lock.unlock();
    provider_->handleOutboundDataCompleteForFlow(connection->flow);
    lock.lock();
    if (connection->state == Connection::State::inspecting) {
      ++counters_.inspectionsAllowed;
      settle(connection, ConnectionMark::allowed, Settlement::holdExpired, update);
    }
    finishOwnership(connection, update, lock);
    updates.push_back(std::move(update));
  }
  lock.unlock();
  if (observer_) {
    for (const auto& update : updates) {
      if (update.flow && update.settlement != Settlement::pending)
        observer_->settled(update.flow, update.settlement);
    }
  }
  return updates;
}

ConnectionUpdate FlowEngine::onConnectionDestroyed(const ConnectionKey& key) {
  ConnectionUpdate update;
  update.key = key;
  std::unique_lock lock(mutex_);
  auto it = table_.find(key);
  if (it == table_.end()) return update;
  ConnectionRef connection = it->second;
  update.flow = connection->flow;
  eraseLocked(connection);
  if (connection->owned) {
    connection->destroyRequested = true;
    return update;
  }
  if (connection->state == Connection::State::naming) {
    // Gone before its request named it: judged without a name, then reported like any flow.
    connection->owned = true;
    connection->destroyRequested = true;
    advanceNaming(connection, HttpUnnamedReason::closedFirst, update, EngineTime{}, lock);
    finishOwnership(connection, update, lock);
    return update;
  }
  if (connection->state == Connection::State::inspecting) --inspectedNow_;
  for (const auto& held : connection->held) update.release.push_back(held.handle);
  connection->held.clear();
  connection->heldBytes = 0;
  const bool report = connection->shouldReport && !connection->reported;
  connection->reported = true;
  lock.unlock();
  if (report) reportClosed(connection);
  return update;
}

std::optional<ConnectionUpdate> FlowEngine::dropFlow(const UUID& identifier) {
  std::unique_lock lock(mutex_);
  auto it = byFlow_.find(identifier);
  if (it == byFlow_.end()) return std::nullopt;
  ConnectionRef connection = it->second;
  ConnectionUpdate update;
  update.key = connection->key;
  update.flow = connection->flow;
  update.mark = ConnectionMark::dropped;
  update.reset = connection->key.protocol == kIpProtocolTCP;
  if (connection->owned) {
    connection->dropRequested = true;
    return update;
  }
  settle(connection, ConnectionMark::dropped, Settlement::updateFlowDrop, update);
  lock.unlock();
  if (observer_) observer_->settled(update.flow, update.settlement);
  return update;
}

std::optional<ConnectionKey> FlowEngine::connectionForFlow(const UUID& identifier) const {
  std::lock_guard lock(mutex_);
  auto it = byFlow_.find(identifier);
  if (it == byFlow_.end()) return std::nullopt;
  return it->second->key;
}

std::vector<ConnectionKey> FlowEngine::connections() const {
  std::lock_guard lock(mutex_);
  std::vector<ConnectionKey> keys;
  keys.reserve(table_.size());
  for (const auto& [key, connection] : table_) keys.push_back(key);
  return keys;
}

FlowEngineCounters FlowEngine::counters() const {
  std::lock_guard lock(mutex_);
  FlowEngineCounters counters = counters_;
  counters.connections = table_.size();
  counters.inspectedConnections = inspectedNow_;
  counters.httpWaiting = namingNow_;
  counters.heldPackets = 0;
  for (const auto& [key, connection] : table_) counters.heldPackets += connection->held.size();
  return counters;
}

}  // namespace quillnest::hosts
