#include "hosts/common/flow_engine.h"

#include <algorithm>

namespace quillnest::hosts {
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

// Dropped without a mark: the connection's next packet is judged afresh.
PacketDecision dropPacket() {
  PacketDecision decision;
  decision.action = PacketAction::drop;
  return decision;
}

}  // namespace

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

FlowEngine::FlowEngine(std::shared_ptr<NEFilterDataProvider> provider, FlowEngineOptions options)
    : provider_(std::move(provider)), options_(options) {}

FlowEngine::~FlowEngine() = default;

void FlowEngine::setObserver(std::shared_ptr<FlowEngineObserver> observer) {
  std::lock_guard lock(mutex_);
  observer_ = std::move(observer);
}

PacketDecision FlowEngine::onOutboundIpPacket(PacketHandle handle,
                                              std::span<const std::uint8_t> bytes, EngineTime now,
                                              bool checksumComplete, std::uint32_t arrivedOn) {
  ParseResult parsed = parseIpPacket(bytes);
  parsed.packet.arrivedOn = arrivedOn;
  if (parsed.status != ParseStatus::ok) {
    std::lock_guard lock(mutex_);
    ++counters_.unparseablePackets;
    // A server takes a chain of extension headers of any length; no client sends one this long,
    // and its data must not pass unread.
    if (parsed.status == ParseStatus::tooManyExtensionHeaders) return dropPacket();
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
  ConnectionUpdate update;
  ConnectionRef connection;
  Step step;
  std::vector<Settled> settled;
  auto it = table_.find(key);
  if (it != table_.end() && it->second->reopenedBy(packet)) {
    // The old connection ends here, so that the new one is judged on its own bytes. It is
    // settled: nothing of it is held, and its mark is on conntrack's old entry.
    const ConnectionRef old = it->second;
    erase(old);
    ConnectionUpdate ended;
    run(old, old->destroyed(ended), ended, now, lock, settled);
    ++counters_.reopenedConnections;
    it = table_.find(key);  // the lock was let go for the closed report
    if (it == table_.end()) {
      connection = std::make_shared<Connection>(key, options_, counters_);
      connection->markReopened();
      table_[key] = connection;
      step = connection->open(handle, packet, now, update);
    } else {
      connection = it->second;
      step = connection->packet(handle, packet, now, update);
    }
  } else if (it != table_.end()) {
    connection = it->second;
    step = connection->packet(handle, packet, now, update);
  } else {
    // A stray reset for a connection we never saw opens nothing.
    if (packet.isTCP() && packet.hasFlag(kTcpRst)) return acceptPacket();
    // Nor does a segment without data: a late one of a connection just ended would open one
    // that waits for data never coming. Picked up later, the connection is read from its first
    // data, which the mark brings here.
    if (packet.isTCP() && packet.payload.empty() && !packet.hasFlag(kTcpSyn)) {
      return acceptPacket(ConnectionMark::inspect);
    }
    if (table_.size() >= options_.maxConnections) {
      ++counters_.tableFull;
      const bool web = key.remotePort == 443 || (key.remotePort == 80 && packet.isTCP());
      const Outcome why =
          options_.dropWebWhenFull && web ? Outcome::tableFullDrop : Outcome::tableFull;
      ++counters_.outcomes[static_cast<std::size_t>(why)];
      // Dropped, the client's next try is judged once there is room.
      PacketDecision decision =
          why == Outcome::tableFullDrop ? dropPacket() : acceptPacket(ConnectionMark::allowed);
      decision.update.key = key;
      decision.update.outcome = why;
      return decision;
    }
    connection = std::make_shared<Connection>(key, options_, counters_);
    table_[key] = connection;
    step = connection->open(handle, packet, now, update);
  }
  run(connection, std::move(step), update, now, lock, settled);
  lock.unlock();
  notify(settled);
  return decisionFor(handle, std::move(update));
}

void FlowEngine::run(const ConnectionRef& connection, Step step, ConnectionUpdate& update,
                     EngineTime now, std::unique_lock<std::mutex>& lock,
                     std::vector<Settled>& settled) {
  const auto observer = observer_;
  // Only an observer reads them: without one no list is built on the packet path.
  const auto note = [&] {
    if (!observer || update.outcome == Outcome::pending || !update.flow) return;
    if (!settled.empty() && settled.back().flow == update.flow &&
        settled.back().outcome == update.outcome) {
      return;
    }
    settled.push_back({update.flow, update.outcome});
  };
  note();
  while (step.ask != Ask::nothing) {
    switch (step.ask) {
      case Ask::newFlow: {
        byFlow_[step.flow->identifier()] = connection;
        lock.unlock();
        NewFlowVerdictRef verdict = provider_->handleNewFlow(step.flow);
        if (!verdict) verdict = NEFilterNewFlowVerdict::allowVerdict();
        if (observer) observer->newFlow(connection->key(), step.flow, *verdict, now);
        lock.lock();
        const bool wantsInspection = verdict->kind() == NEFilterNewFlowVerdict::Kind::filterData &&
                                     verdict->filterOutbound();
        const bool room = !wantsInspection || inspectionRoom(now);
        step = connection->newFlowAnswer(*verdict, room, now, update);
        break;
      }
      case Ask::outboundData: {
        lock.unlock();
        DataVerdictRef verdict =
            provider_->handleOutboundDataFromFlow(step.flow, step.offset, step.bytes);
        if (!verdict) verdict = NEFilterDataVerdict::allowVerdict();
        if (observer && !step.serverName.empty()) observer->serverName(step.flow, step.serverName);
        lock.lock();
        step = connection->dataAnswer(verdict->kind(), now, update);
        break;
      }
      case Ask::dataComplete:
        lock.unlock();
        provider_->handleOutboundDataCompleteForFlow(step.flow);
        lock.lock();
        step = connection->done(now, update);
        break;
      case Ask::closedReport: {
        const FlowRef flow = step.flow;
        lock.unlock();
        NEFilterReport report;
        report.event = static_cast<std::int64_t>(NEFilterReportEvent::flowClosed);
        report.flow = flow;
        provider_->handleReport(report);
        if (observer) observer->closed(flow);
        lock.lock();
        if (auto it = byFlow_.find(flow->identifier());
            it != byFlow_.end() && connection->flow() != flow) {
          byFlow_.erase(it);
        }
        step = connection->done(now, update);
        break;
      }
      case Ask::nothing:
        break;
    }
    note();
  }
  if (update.mark == ConnectionMark::none && !connection->busy()) {
    update.mark = connection->mark();
  }
  // A body pass that the same step ended (the connection settled) asks the host for nothing.
  if (update.mark != ConnectionMark::bodyPass) update.bodyPass.reset();
  afterStep(connection);
}

void FlowEngine::afterStep(const ConnectionRef& connection) {
  if (connection->gone()) {
    erase(connection);
    return;
  }
  const std::optional<EngineTime> deadline = connection->deadline();
  if (!deadline) return;
  auto [it, fresh] = scheduled_.try_emplace(connection.get(), *deadline);
  if (!fresh) {
    if (it->second <= *deadline) return;  // the earlier entry will look again when it comes up
    it->second = *deadline;
  }
  deadlines_.schedule(*deadline, connection);
}

void FlowEngine::erase(const ConnectionRef& connection) {
  if (auto it = table_.find(connection->key()); it != table_.end() && it->second == connection) {
    table_.erase(it);
  }
  scheduled_.erase(connection.get());
  if (!connection->flow()) return;  // a port-80 connection not named yet
  if (auto it = byFlow_.find(connection->flow()->identifier()); it != byFlow_.end()) {
    const auto owner = it->second.lock();
    if (!owner || owner == connection) byFlow_.erase(it);
  }
}

void FlowEngine::notify(const std::vector<Settled>& settled) const {
  if (!observer_) return;
  for (const auto& entry : settled) observer_->settled(entry.flow, entry.outcome);
}

bool FlowEngine::inspectionRoom(EngineTime now) {
  if (counters_.inspectedConnections < options_.maxInspectedConnections) return true;
  std::vector<ConnectionRef> idle;
  for (const auto& [key, connection] : table_) {
    if (!connection->busy() && connection->inspecting() && connection->lastProgress() < now) {
      idle.push_back(connection);
    }
  }
  // The longest idle eighth at once, so a full table is scanned once per many newcomers. Their
  // updates wait for the next tick.
  const std::size_t count = std::min(idle.size(), std::max<std::size_t>(1, idle.size() / 8));
  std::partial_sort(idle.begin(), idle.begin() + static_cast<std::ptrdiff_t>(count), idle.end(),
                    [](const ConnectionRef& a, const ConnectionRef& b) {
                      return a->lastProgress() < b->lastProgress();
                    });
  for (std::size_t i = 0; i < count; ++i) {
    ConnectionUpdate update;
    idle[i]->evict(update);
    pendingUpdates_.push_back(std::move(update));
    afterStep(idle[i]);
  }
  return counters_.inspectedConnections < options_.maxInspectedConnections;
}

std::vector<ConnectionUpdate> FlowEngine::tick(EngineTime now) {
  std::unique_lock lock(mutex_);
  std::vector<ConnectionUpdate> updates = std::move(pendingUpdates_);
  pendingUpdates_.clear();
  std::vector<Settled> settled;
  for (const auto& update : updates) {
    if (update.flow && update.outcome != Outcome::pending) {
      settled.push_back({update.flow, update.outcome});
    }
  }
  for (auto& [at, connection] : deadlines_.due(now)) {
    const auto it = scheduled_.find(connection.get());
    if (it == scheduled_.end() || it->second != at) continue;  // replaced by an earlier entry
    scheduled_.erase(it);
    const auto row = table_.find(connection->key());
    if (row == table_.end() || row->second != connection) continue;
    if (connection->busy()) continue;  // its owner schedules it again when done
    ConnectionUpdate update;
    Step step = connection->expire(now, update);
    run(connection, std::move(step), update, now, lock, settled);
    if (!update.release.empty() || !update.discard.empty() || update.reset ||
        update.outcome != Outcome::pending) {
      updates.push_back(std::move(update));
    }
  }
  lock.unlock();
  notify(settled);
  return updates;
}

ConnectionUpdate FlowEngine::onConnectionDestroyed(const ConnectionKey& key) {
  return end(key, false);
}

ConnectionUpdate FlowEngine::onConntrackEnd(const ConnectionKey& key) { return end(key, true); }

ConnectionUpdate FlowEngine::end(const ConnectionKey& key, bool mayBeStale) {
  ConnectionUpdate update;
  update.key = key;
  std::unique_lock lock(mutex_);
  auto it = table_.find(key);
  if (it == table_.end()) return update;
  if (mayBeStale && it->second->reopenedAndUnsettled()) return update;
  ConnectionRef connection = it->second;
  erase(connection);
  Step step = connection->destroyed(update);
  std::vector<Settled> settled;
  run(connection, std::move(step), update, EngineTime{}, lock, settled);
  lock.unlock();
  notify(settled);
  return update;
}

std::optional<ConnectionUpdate> FlowEngine::dropFlow(const UUID& identifier) {
  std::unique_lock lock(mutex_);
  auto it = byFlow_.find(identifier);
  if (it == byFlow_.end()) return std::nullopt;
  ConnectionRef connection = it->second.lock();
  if (!connection || !connection->flow() || connection->flow()->identifier() != identifier) {
    byFlow_.erase(it);
    return std::nullopt;
  }
  ConnectionUpdate update;
  Step step = connection->dropRequested(update);
  std::vector<Settled> settled;
  run(connection, std::move(step), update, EngineTime{}, lock, settled);
  update.mark = ConnectionMark::dropped;
  update.reset = connection->key().protocol == kIpProtocolTCP;
  lock.unlock();
  notify(settled);
  return update;
}

void FlowEngine::onObservedIpPacket(std::span<const std::uint8_t> bytes) {
  const ParseResult parsed = parseIpHeaders(bytes);
  if (parsed.status == ParseStatus::ok) onObservedPacket(parsed.packet, parsed.missing);
}

void FlowEngine::onObservedPacket(const ParsedPacket& packet, std::size_t missing) {
  if (!packet.isTCP()) return;
  const ConnectionKey key = ConnectionKey::outboundOf(packet);
  std::lock_guard lock(mutex_);
  if (auto it = table_.find(key); it != table_.end()) it->second->observed(packet, missing);
}

std::optional<ConnectionUpdate> FlowEngine::onObservedReplyIpPacket(
    std::span<const std::uint8_t> bytes, std::uint32_t arrivedOn) {
  ParseResult parsed = parseIpHeaders(bytes);
  parsed.packet.arrivedOn = arrivedOn;
  if (parsed.status != ParseStatus::ok) return std::nullopt;
  return onObservedReplyPacket(parsed.packet, parsed.missing);
}

std::optional<ConnectionUpdate> FlowEngine::onObservedReplyPacket(const ParsedPacket& packet,
                                                                  std::size_t missing) {
  if (!packet.isTCP()) return std::nullopt;
  const ConnectionKey key = ConnectionKey::inboundOf(packet);
  std::lock_guard lock(mutex_);
  auto it = table_.find(key);
  if (it == table_.end() || !it->second->observedReply(packet, missing)) return std::nullopt;
  ConnectionUpdate update;
  update.key = key;
  update.flow = it->second->flow();
  update.mark = ConnectionMark::responsePass;
  return update;
}

bool FlowEngine::passingResponse(const ConnectionKey& key) const {
  std::lock_guard lock(mutex_);
  auto it = table_.find(key);
  return it != table_.end() && it->second->mark() == ConnectionMark::responsePass;
}

std::vector<ConnectionUpdate> FlowEngine::observationsLost(EngineTime now) {
  std::unique_lock lock(mutex_);
  std::vector<ConnectionRef> observed;
  for (const auto& [key, connection] : table_)
    if (connection->acksObserved()) observed.push_back(connection);
  std::vector<ConnectionUpdate> updates;
  std::vector<Settled> settled;
  for (const auto& connection : observed) {
    if (!connection->acksObserved()) continue;  // settled while the lock was let go
    ConnectionUpdate update;
    Step step = connection->dropRequested(update, Outcome::observationLost);
    run(connection, std::move(step), update, now, lock, settled);
    update.mark = ConnectionMark::dropped;
    update.reset = true;
    updates.push_back(std::move(update));
  }
  lock.unlock();
  notify(settled);
  return updates;
}

std::optional<ConnectionKey> FlowEngine::connectionForFlow(const UUID& identifier) const {
  std::lock_guard lock(mutex_);
  auto it = byFlow_.find(identifier);
  if (it == byFlow_.end()) return std::nullopt;
  const ConnectionRef connection = it->second.lock();
  if (!connection) return std::nullopt;
  return connection->key();
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
  counters.heldPackets = 0;
  for (const auto& [key, connection] : table_) counters.heldPackets += connection->heldPackets();
  return counters;
}

}  // namespace quillnest::hosts
