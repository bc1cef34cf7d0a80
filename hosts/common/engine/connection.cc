#include "hosts/common/engine/connection.h"

#include <algorithm>
#include <array>
#include <limits>
#include <span>

#include "hosts/common/client_hello_ech.h"
#include "inspection/server_name.h"

namespace quillnest::hosts {
namespace {

FlowRef makeFlow(const ConnectionKey& key, std::optional<URL> url) {
  NEFilterSocketFlow::Attributes attributes;
  attributes.url = std::move(url);
  attributes.remoteEndpoint =
      NWHostEndpoint::endpointWithHostname(key.remote.text(), std::to_string(key.remotePort));
  attributes.socketProtocol = key.protocol;
  return std::make_shared<NEFilterSocketFlow>(UUID::random(), std::move(attributes));
}

// Heads a server reads as requests but the reader cannot name: refused, with this outcome.
std::optional<Outcome> refusalOf(HttpUnnamedReason reason) {
  switch (reason) {
    case HttpUnnamedReason::headTooLarge:
      return Outcome::httpHeadTooLarge;
    case HttpUnnamedReason::unknownMethod:
      return Outcome::httpUnknownMethod;
    case HttpUnnamedReason::malformed:
      return Outcome::httpMalformed;
    default:
      return std::nullopt;
  }
}

constexpr std::uint8_t kTlsChangeCipherSpec = 20;
constexpr std::uint8_t kTlsAlert = 21;
constexpr std::uint8_t kTlsHandshake = 22;
// A ServerHello with this random is a HelloRetryRequest (RFC 8446 4.1.3).
constexpr std::array<std::uint8_t, 32> kHelloRetryRandom = {
    0xCF, 0x21, 0xAD, 0x74, 0xE5, 0x9A, 0x61, 0x11, 0xBE, 0x1D, 0x8C, 0x02, 0x1E, 0x65, 0xB8, 0x91,
    0xC2, 0xA2, 0x11, 0x16, 0x7A, 0xBB, 0x8C, 0x5E, 0x07, 0x9E, 0x09, 0xE2, 0xC8, 0xA8, 0x33, 0x9C};
constexpr std::size_t kReadStep = 1024;

// The fragment length a TLS record header at bytes[at] gives (its fourth and fifth bytes).
std::size_t recordLength(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::size_t>(bytes[at + 3]) << 8 | bytes[at + 4];
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
    case ConnectionMark::bodyPass:
      return "bodyPass";
    case ConnectionMark::responsePass:
      return "responsePass";
  }
  return "unknown";
}

FlowEngineCounters& operator+=(FlowEngineCounters& total, const FlowEngineCounters& part) {
  // Every member is a count or an array of counts: one added here per member.
  static_assert(sizeof(FlowEngineCounters) ==
                sizeof(std::uint64_t) *
                    (28 + kSegmentRefusalCount + kOutcomeCount + kHttpUnnamedReasonCount));
  const auto add = [](auto& to, const auto& from) {
    for (std::size_t i = 0; i < to.size(); ++i) to[i] += from[i];
  };
  total.packets += part.packets;
  total.newFlows += part.newFlows;
  total.newFlowsAllowed += part.newFlowsAllowed;
  total.newFlowsDropped += part.newFlowsDropped;
  total.udp443Drops += part.udp443Drops;
  total.inspections += part.inspections;
  total.inspectionsAllowed += part.inspectionsAllowed;
  total.inspectionsDropped += part.inspectionsDropped;
  total.failOpenEvents += part.failOpenEvents;
  total.closedReports += part.closedReports;
  total.tableFull += part.tableFull;
  total.unparseablePackets += part.unparseablePackets;
  total.badChecksums += part.badChecksums;
  total.conflictingStreams += part.conflictingStreams;
  total.evictions += part.evictions;
  total.reopenedConnections += part.reopenedConnections;
  total.observedPackets += part.observedPackets;
  total.bodyPasses += part.bodyPasses;
  total.responsePasses += part.responsePasses;
  total.repliesFromClientSide += part.repliesFromClientSide;
  add(total.refusedSegments, part.refusedSegments);
  total.prefaceRecordsSkipped += part.prefaceRecordsSkipped;
  total.helloRetries += part.helloRetries;
  total.echClientHellos += part.echClientHellos;
  add(total.outcomes, part.outcomes);
  total.httpNamed += part.httpNamed;
  add(total.httpUnnamed, part.httpUnnamed);
  total.connections += part.connections;
  total.inspectedConnections += part.inspectedConnections;
  total.heldPackets += part.heldPackets;
  total.httpWaiting += part.httpWaiting;
  return total;
}

Connection::Connection(const ConnectionKey& key, const FlowEngineOptions& options,
                       FlowEngineCounters& counters)
    : key_(key), options_(options), counters_(counters) {}

Connection::~Connection() = default;

ConnectionMark Connection::mark() const {
  switch (phase_) {
    case Phase::allowed:
      return ConnectionMark::allowed;
    case Phase::dropped:
      return ConnectionMark::dropped;
    case Phase::naming:
      if (passOpen_) return ConnectionMark::bodyPass;
      return responsePass_ ? ConnectionMark::responsePass : ConnectionMark::inspect;
    case Phase::inspecting:
    case Phase::confirming:
      return ConnectionMark::inspect;
    case Phase::deciding:
      break;
  }
  return ConnectionMark::none;
}

std::optional<EngineTime> Connection::deadline() const {
  switch (phase_) {
    case Phase::dropped:
      return lingerUntil_;
    case Phase::naming:
      if (!flow_ || !held_.empty()) return lastProgress_ + options_.holdTimeout;
      return std::nullopt;
    case Phase::inspecting:
    case Phase::confirming:
      if (!held_.empty()) return lastProgress_ + options_.holdTimeout;
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

Step Connection::ask(Ask what, ConnectionUpdate& out) {
  awaiting_ = what;
  Step step;
  step.ask = what;
  step.flow = what == Ask::closedReport && closingFlow_ ? closingFlow_ : flow_;
  if (what != Ask::closedReport) out.flow = flow_;
  return step;
}

Step Connection::askNewFlow(std::optional<URL> url, ConnectionUpdate& out) {
  flow_ = makeFlow(key_, std::move(url));
  shouldReport_ = false;
  reported_ = false;
  ++counters_.newFlows;
  return ask(Ask::newFlow, out);
}

Step Connection::open(PacketHandle handle, const ParsedPacket& packet, EngineTime now,
                      ConnectionUpdate& out) {
  out.key = key_;
  lastProgress_ = now;
  clientSide_ = packet.arrivedOn;
  if (packet.isTCP() && packet.hasFlag(kTcpSyn) && !packet.hasFlag(kTcpAck)) {
    streamKnown_ = true;
    initialSequence_ = packet.tcpSequence;
  } else if (packet.isTCP() && !packet.hasFlag(kTcpSyn)) {
    pastHandshake_ = true;
    // Picked up without its SYN (the queue's fail-open let the SYN pass while it overflowed):
    // the handshake's ACK, or the first data, carries the stream's first sequence number. If it
    // was in fact mid-stream, the bytes read are no handshake and the flow is allowed as such.
    streamKnown_ = true;
    initialSequence_ = packet.tcpSequence - 1u;
  }
  if (streamKnown_) {
    receiver_.start(packet);
    passed_.start(packet);
  }
  if (packet.isTCP() && packet.hasFlag(kTcpFin | kTcpRst)) clientClosed_ = sawClose_ = true;
  std::uint64_t end = 0;
  if (streamKnown_ && !packet.payload.empty()) {
    stream_.insert(0, packet.payload);
    end = packet.payload.size();
    clientEnd_ = end;
    if (packet.hasFlag(kTcpSyn)) {
      synData_.assign(packet.payload.begin(), packet.payload.end());
      synDataConfirmed_ = false;
    }
  }
  held_.push_back({handle, end, packet.payload.size()});
  if (end > 0) {
    held_.back().segment = SegmentFields::of(packet);
    held_.back().inOrder = true;
  }
  heldBytes_ = packet.payload.size();
  if (options_.nameHttpFlows && streamKnown_ && key_.remotePort == 80) {
    phase_ = Phase::naming;
    http_ = std::make_unique<HttpRequestReader>(options_.httpHeadLimit);
    ++counters_.httpWaiting;
    out.mark = ConnectionMark::inspect;
    firstPacket_ = false;
    return advanceNaming(now, out);
  }
  return askNewFlow(std::nullopt, out);
}

bool Connection::checkSynData(std::int64_t offset, std::span<const std::uint8_t> bytes,
                              bool confirms) {
  if (synDataConfirmed_ || synData_.empty()) return true;
  const auto length = static_cast<std::int64_t>(synData_.size());
  const std::int64_t from = std::max<std::int64_t>(offset, 0);
  const std::int64_t to = std::min(offset + static_cast<std::int64_t>(bytes.size()), length);
  if (offset + static_cast<std::int64_t>(bytes.size()) >=
      length + static_cast<std::int64_t>(options_.synDataConfirmDistance)) {
    synDataConfirmed_ = true;  // no receiver keeps data that far past a hole
  }
  if (!agreesWith(synData_, 0, offset, bytes)) return false;
  if (from >= to) return true;
  // Confirmed once the same bytes have come again from the first one on, where the server's
  // ACKs are not shown: two copies may both die on the way, so where they are, only an ACK does.
  if (confirms && from <= synDataSeenAgain_ && !receiver_.serverShown()) {
    synDataSeenAgain_ = std::max(synDataSeenAgain_, to);
    if (synDataSeenAgain_ == length) synDataConfirmed_ = true;
  }
  if (synDataConfirmed_) confirmSynData();
  return true;
}

Step Connection::packet(PacketHandle handle, const ParsedPacket& packet, EngineTime now,
                        ConnectionUpdate& out) {
  out.key = key_;
  out.flow = flow_;
  if (packet.isTCP()) {
    if (!packet.hasFlag(kTcpSyn)) pastHandshake_ = true;
    if (packet.hasFlag(kTcpFin | kTcpRst)) sawClose_ = true;
  }
  if (phase_ == Phase::allowed) {
    out.mark = ConnectionMark::allowed;
    out.release.push_back(handle);
    return {};
  }
  if (phase_ == Phase::dropped) {
    out.mark = ConnectionMark::dropped;
    out.discard.push_back(handle);
    return {};
  }
  const bool closing = packet.isTCP() && packet.hasFlag(kTcpFin | kTcpRst);
  if (responsePass_) {
    // The server's packets are shown again before this one reaches it: what it acknowledges
    // of this packet is seen.
    responsePass_ = false;
    out.mark = ConnectionMark::inspect;
  }
  responseBytes_ = 0;
  if (!packet.isTCP() || !streamKnown_) {
    // Only the new-flow call can be out; its answer covers this packet too.
    if (busy() && held_.size() < options_.maxHeldPacketsPerConnection) {
      if (closing) clientClosed_ = true;
      held_.push_back({handle, 0, 0});
      return {};
    }
    out.release.push_back(handle);
    return {};
  }
  if (inPassingBody(packet)) {
    closePassNear(offsetOf(packet.tcpSequence), packet.payload.size(), out);
    // Nothing reads it, so the server may take it or not; if it does, its view moves.
    if (receiver_.judge(packet) == SegmentRefusal::none) {
      receiver_.accepted(packet, true);
      passed_.accepted(packet, true);
    }
    out.release.push_back(handle);
    return {};
  }
  SegmentRefusal refusal = receiver_.judge(packet);
  if (refusal == SegmentRefusal::none && packet.hasFlag(kTcpSyn) && pastHandshake_ &&
      !packet.payload.empty()) {
    refusal = SegmentRefusal::lateSyn;
  }
  if (refusal != SegmentRefusal::none) {
    ++counters_.refusedSegments[static_cast<std::size_t>(refusal)];
    out.discard.push_back(handle);
    return {};
  }
  // The server hands a reset's data to no reader: it is no stream data either.
  if (packet.payload.empty() || packet.hasFlag(kTcpRst)) {
    const bool inOrder = reachesInOrder(packet);
    receiver_.accepted(packet, inOrder);
    passed_.accepted(packet, inOrder);
    out.release.push_back(handle);  // pure ACKs, FINs and RSTs pass, never held
    if (phase_ == Phase::confirming && verdictConfirmed() && !retryOpen() && !closing) {
      confirmed(out);
      return {};
    }
    if (!closing) return {};
    noteClose(packet);
    if (!clientClosed_ || busy() || phase_ == Phase::confirming) return {};
    return advance(now, out);
  }

  const bool syn = packet.hasFlag(kTcpSyn);
  if (!syn && receiver_.beyondServerWindow(packet.tcpSequence)) {
    ++counters_.refusedSegments[static_cast<std::size_t>(SegmentRefusal::beyondWindow)];
    out.discard.push_back(handle);
    return {};
  }
  const std::int64_t offset = offsetOf(packet.tcpSequence) + (syn ? 1 : 0);
  const bool inOrder = offset <= static_cast<std::int64_t>(nextExpected());
  const std::int64_t endSigned = offset + static_cast<std::int64_t>(packet.payload.size());
  closePassNear(offset, packet.payload.size(), out);
  if (phase_ != Phase::confirming && !fitsInHold(offset, packet.payload.size(), inOrder)) {
    ++counters_.refusedSegments[static_cast<std::size_t>(SegmentRefusal::beyondHold)];
    out.discard.push_back(handle);
    return {};
  }
  receiver_.accepted(packet, inOrder);
  if (!checkSynData(offset, packet.payload, !syn)) synConflict_ = true;
  // Bytes already read, in another copy: the server took one of the two, and which one the
  // engine cannot know (the first may have died on the way), so neither verdict would hold.
  if (!agreesWithRead(offset, packet.payload)) synConflict_ = true;
  if (closing) noteClose(packet);

  if (phase_ == Phase::confirming) {
    if (synConflict_ || overtaken_) {
      held_.push_back({handle, 0, packet.payload.size()});
      return settle(synConflict_ ? Outcome::conflictingData : Outcome::ackOvertook, out);
    }
    if (retry_ == Retry::awaited && endSigned > static_cast<std::int64_t>(retryFrom_)) {
      return readRetry(handle, packet, offset, inOrder, now, out);
    }
    if (endSigned > 0) clientEnd_ = std::max(clientEnd_, static_cast<std::uint64_t>(endSigned));
    out.release.push_back(handle);
    passed_.accepted(packet, inOrder);
    if (offset >= 0) sent(static_cast<std::uint64_t>(offset), SegmentFields::of(packet));
    if (verdictConfirmed() && !retryOpen()) confirmed(out);
    return {};
  }

  const std::size_t before = stream_.buffered();
  stream_.insert(offset, packet.payload);  // it fits: checked above
  if (closeAt_ && nextExpected() >= *closeAt_) clientClosed_ = true;
  if (stream_.buffered() != before) lastProgress_ = now;
  const std::uint64_t end = endSigned < 0 ? 0 : static_cast<std::uint64_t>(endSigned);
  clientEnd_ = std::max(clientEnd_, end);
  held_.push_back({handle, end, packet.payload.size(), SegmentFields::of(packet), inOrder});
  heldBytes_ += packet.payload.size();
  if (busy()) return {};  // the thread waiting on the provider answers for it
  return advance(now, out);
}

Step Connection::advance(EngineTime now, ConnectionUpdate& out) {
  if (phase_ == Phase::naming) return advanceNaming(now, out);
  if (phase_ == Phase::inspecting) return advanceInspection(now, out);
  return {};
}

bool Connection::agreesWithRead(std::int64_t offset, std::span<const std::uint8_t> bytes) const {
  switch (phase_) {
    case Phase::inspecting:
      return agreesWith(judged_, 0, offset, bytes);
    case Phase::naming:
      return unacknowledged_.agrees(offset, bytes) &&
             agreesWith(httpPending_, static_cast<std::int64_t>(httpRead_), offset, bytes);
    case Phase::confirming:
      return unacknowledged_.agrees(offset, bytes);
    default:
      return true;
  }
}

void Connection::confirmed(ConnectionUpdate& out) {
  phase_ = Phase::allowed;
  unacknowledged_.clear();
  record(confirmOutcome_, confirmEndsInspection_, confirmCounts_);
  out.mark = ConnectionMark::allowed;
  out.outcome = confirmOutcome_;
}

// The server ends its stream at a FIN once every byte before it has come (a FIN beyond a gap
// waits, and what lies past it is thrown away), and takes a reset only at the next byte it
// expects (RFC 5961 3.2): one anywhere else ends nothing, here or there.
void Connection::noteClose(const ParsedPacket& packet) {
  if (packet.hasFlag(kTcpRst)) {
    std::uint64_t delivered = nextExpected();
    for (const Held& held : held_) {
      if (held.bytes > 0) delivered = std::min(delivered, held.start());
    }
    if (packet.tcpSequence == sequenceAt(delivered)) clientClosed_ = true;
    return;
  }
  const std::int64_t end = offsetOf(packet.tcpSequence) + (packet.hasFlag(kTcpSyn) ? 1 : 0) +
                           static_cast<std::int64_t>(packet.payload.size());
  const std::uint64_t at = end < 0 ? 0 : static_cast<std::uint64_t>(end);
  if (!closeAt_ || at < *closeAt_) closeAt_ = at;
  if (nextExpected() >= *closeAt_) clientClosed_ = true;
}

bool Connection::passHeld(std::uint64_t end) {
  if (overtaken_) return false;
  TcpReceiverView view = passed_;
  for (const Held& held : held_) {
    if (held.end > end || !held.segment) continue;
    if (view.judge(*held.segment) != SegmentRefusal::none ||
        view.beyondServerWindow(sequenceAt(held.start()))) {
      return false;
    }
    view.accepted(*held.segment, held.inOrder);
  }
  passed_ = view;
  for (const Held& held : held_) {
    if (held.end <= end && held.segment) {
      sent(held.start(), *held.segment);
    }
  }
  return true;
}

void Connection::sent(std::uint64_t start, const SegmentFields& segment) {
  if (!segment.hasTimestamp || !acksObserved()) return;
  // Unread body bytes: the server may drop them, as nothing rests on them.
  if (pass_ && start >= pass_->from && start < pass_->end) return;
  if (sent_.size() == kSentKept) {
    const Sent& first = sent_.front();
    if (!sentBefore_) {
      sentBefore_ = first;
    } else {
      sentBefore_->start = std::max(sentBefore_->start, first.start);
      if (static_cast<std::int32_t>(first.timestamp - sentBefore_->timestamp) < 0) {
        sentBefore_->timestamp = first.timestamp;
      }
    }
    sent_.erase(sent_.begin());
  }
  sent_.push_back({start, segment.timestamp});
}

bool Connection::overtakes(const ParsedPacket& ack) const {
  if (!ack.tcpHasTimestamp) return false;
  const std::int64_t at = offsetOf(ack.tcpSequence);
  const auto older = [&](const Sent& data) {
    return at <= static_cast<std::int64_t>(data.start) &&
           static_cast<std::int32_t>(ack.tcpTimestamp - data.timestamp) > 1;
  };
  return (sentBefore_ && older(*sentBefore_)) || std::any_of(sent_.begin(), sent_.end(), older);
}

bool Connection::reachesInOrder(const ParsedPacket& segment) const {
  std::uint64_t passedEnd = nextExpected();
  for (const Held& held : held_) {
    if (held.segment) passedEnd = std::min(passedEnd, held.start());
  }
  return offsetOf(segment.tcpSequence) <= static_cast<std::int64_t>(passedEnd);
}

bool Connection::releaseThrough(std::uint64_t end, ConnectionUpdate& out) {
  if (!passHeld(end)) return false;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->end <= end) {
      out.release.push_back(it->handle);
      heldBytes_ -= it->bytes;
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  return true;
}

bool Connection::fitsInHold(std::int64_t offset, std::size_t size, bool inOrder) const {
  if (offset + static_cast<std::int64_t>(size) <= static_cast<std::int64_t>(stream_.taken())) {
    return true;  // nothing new
  }
  if (!stream_.fits(offset, size)) return false;
  // A segment that fills the gap is always taken: refusing it would keep the gap open.
  if (inOrder && !busy()) return true;
  return held_.size() < options_.maxHeldPacketsPerConnection &&
         heldBytes_ + size <= options_.maxHeldBytesPerConnection;
}

void Connection::forgetBeyondGap(ConnectionUpdate& out) {
  const std::uint64_t expected = nextExpected();
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->bytes > 0 && it->start() > expected) {
      ++counters_.refusedSegments[static_cast<std::size_t>(SegmentRefusal::beyondHold)];
      out.discard.push_back(it->handle);
      heldBytes_ -= it->bytes;
      it = held_.erase(it);
    } else {
      ++it;
    }
  }
  stream_.forgetFrom(expected);
}

bool Connection::holdOverLimit() const {
  return held_.size() > options_.maxHeldPacketsPerConnection ||
         heldBytes_ > options_.maxHeldBytesPerConnection;
}

Step Connection::judgeHead(const HttpHeadResult& head, ConnectionUpdate& out) {
  if (!flow_) --counters_.httpWaiting;
  std::optional<URL> url;
  if (head.status == HttpHeadStatus::named) {
    ++counters_.httpNamed;
    url = URL{head.url, head.host};
  } else {
    ++counters_.httpUnnamed[static_cast<std::size_t>(head.reason)];
  }
  if (flow_ && shouldReport_ && !reported_) {
    // The previous request's flow is over: its report goes first.
    reported_ = true;
    closingFlow_ = flow_;
    nextRequest_.emplace(std::move(url));
    return ask(Ask::closedReport, out);
  }
  return askNewFlow(std::move(url), out);
}

Step Connection::refuseUnnamedHead(HttpUnnamedReason reason, ConnectionUpdate& out) {
  ++counters_.httpUnnamed[static_cast<std::size_t>(reason)];
  httpEnded_ = true;
  return settle(*refusalOf(reason), out);
}

Step Connection::advanceNaming(EngineTime now, ConnectionUpdate& out) {
  if (dropRequested_) return settle(dropOutcome_, out);
  if (destroyRequested_) return finishDestroyed(out);
  if (stream_.conflicted() || synConflict_) return settle(Outcome::conflictingData, out);
  std::vector<std::uint8_t> fresh = stream_.take();
  if (!fresh.empty()) {
    lastProgress_ = now;
    if (httpPending_.empty()) {
      httpPending_ = std::move(fresh);  // request bodies pass here: no copy
    } else {
      httpPending_.insert(httpPending_.end(), fresh.begin(), fresh.end());
    }
  }
  // Read from httpPending_ on from `at`; what was read leaves it once, on the way out.
  std::size_t at = 0;
  const auto dropRead = [&] {
    httpPending_.erase(httpPending_.begin(),
                       httpPending_.begin() + static_cast<std::ptrdiff_t>(at));
  };
  const bool keep = receiver_.serverShown();
  while ((at < httpPending_.size() || http_->answersWaiting()) && !http_->ended()) {
    const auto rest = std::span<const std::uint8_t>(httpPending_).subspan(at);
    const std::uint64_t unreadBody = http_->unreadBodyLeft();
    // Where bytes are kept, read in steps, so a body the reader stops needing is kept no further.
    const auto feed = keep && unreadBody == 0 ? rest.first(std::min(rest.size(), kReadStep)) : rest;
    HttpRequestReader::Read read = http_->read(feed);
    if (read.consumed == 0 && !read.head && feed.size() < rest.size()) read = http_->read(rest);
    if (keep) {
      // What the reading rests on, till the server acknowledges it; an unread body's bytes
      // decide nothing.
      const auto skip =
          static_cast<std::size_t>(std::min<std::uint64_t>(unreadBody, read.consumed));
      unacknowledged_.keep(httpRead_ + skip, rest.subspan(skip, read.consumed - skip));
    }
    at += read.consumed;
    httpRead_ += read.consumed;
    if (read.head) {
      dropRead();
      if (read.head->status == HttpHeadStatus::unnamed && refusalOf(read.head->reason)) {
        return refuseUnnamedHead(read.head->reason, out);
      }
      return judgeHead(*read.head, out);
    }
    if (read.consumed == 0) break;
  }
  dropRead();
  if (http_->ended() || httpEnded_) {
    // No more requests to read (another protocol, or not HTTP): the connection is let go.
    return settle(Outcome::newFlowAllow, out, false);
  }
  startBodyPass(out);
  // The server acts on no request before its head is complete: the read packets go.
  if (!releaseThrough(httpRead_, out)) return settle(refusedRelease(), out);
  if (!flow_) {
    if (clientClosed_) return judgeHead(httpHeadUnnamed(HttpUnnamedReason::closedFirst), out);
    if (holdOverLimit()) return refuseUnnamedHead(HttpUnnamedReason::headTooLarge, out);
  } else if (clientClosed_) {
    return settle(Outcome::newFlowAllow, out, false);  // no request can follow a FIN
  } else if (holdOverLimit()) {
    return settle(Outcome::limitReached, out);
  }
  return {};
}

bool Connection::inPassingBody(const ParsedPacket& packet) const {
  if (!pass_ || packet.payload.empty() || packet.hasFlag(kTcpSyn | kTcpFin | kTcpRst | kTcpUrg)) {
    return false;
  }
  const std::int64_t start = offsetOf(packet.tcpSequence);
  return start >= static_cast<std::int64_t>(pass_->from) &&
         start + static_cast<std::int64_t>(packet.payload.size()) <=
             static_cast<std::int64_t>(pass_->end);
}

void Connection::closePassNear(std::int64_t offset, std::size_t size, ConnectionUpdate& out) {
  if (!passOpen_ ||
      offset + static_cast<std::int64_t>(size) <= static_cast<std::int64_t>(pass_->to))
    return;
  // The body's last bytes: from here every segment is queued again.
  passOpen_ = false;
  out.mark = ConnectionMark::inspect;
}

void Connection::startBodyPass(ConnectionUpdate& out) {
  if (options_.bodyPassMinimum == 0 || passOpen_ || busy() || !flow_ || !httpPending_.empty())
    return;
  const std::uint64_t left = http_->unreadBodyLeft();
  if (left < options_.bodyPassMinimum) return;
  const std::uint64_t span = std::min(left, options_.bodyPassSpan);
  if (span <= options_.bodyPassMargin) return;
  const std::uint64_t from = nextExpected();
  const std::uint64_t end = httpRead_ + span;
  http_->skipBody(span);
  httpRead_ = end;
  stream_.skipTo(end);
  pass_ = BodyPass{from, end - options_.bodyPassMargin, end};
  passOpen_ = true;
  // The server's packets with only ACK set are not shown while the body passes.
  receiver_.serverUnseenUntil(sequenceAt(pass_->to));
  passed_.serverUnseenUntil(sequenceAt(pass_->to));
  ++counters_.bodyPasses;
  out.mark = ConnectionMark::bodyPass;
  out.bodyPass = SequenceRange{sequenceAt(from), sequenceAt(pass_->to)};
  out.bodyPassShown = !receiver_.serverShown();
  if (!out.bodyPassShown) {
    receiver_.clientUnseen();
    passed_.clientUnseen();
  }
}

std::vector<std::uint8_t> Connection::skipPrefaceRecords(std::vector<std::uint8_t> bytes) {
  if (prefaceDone_) return bytes;
  if (prefaceHeader_.empty() && prefaceSkip_ == 0 && !bytes.empty() &&
      bytes[0] != kTlsChangeCipherSpec && bytes[0] != kTlsAlert) {
    prefaceDone_ = true;  // the usual start: the handshake record itself, passed on uncopied
    return bytes;
  }
  std::size_t at = 0;
  while (!prefaceDone_ && at < bytes.size()) {
    if (prefaceSkip_ > 0) {
      const std::uint64_t n = std::min<std::uint64_t>(prefaceSkip_, bytes.size() - at);
      at += static_cast<std::size_t>(n);
      prefaceSkip_ -= n;
      continue;
    }
    prefaceHeader_.push_back(bytes[at++]);
    const std::uint8_t type = prefaceHeader_[0];
    if ((type != kTlsChangeCipherSpec && type != kTlsAlert) ||
        (prefaceHeader_.size() >= 2 && prefaceHeader_[1] != 3)) {
      prefaceDone_ = true;
      break;
    }
    if (prefaceHeader_.size() < 5) continue;
    ++prefaceRecords_;
    ++counters_.prefaceRecordsSkipped;
    prefaceSkip_ = recordLength(prefaceHeader_, 0);
    prefaceHeader_.clear();
  }
  if (!prefaceDone_) return {};
  std::vector<std::uint8_t> rest = std::move(prefaceHeader_);
  prefaceHeader_.clear();
  rest.insert(rest.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
  return rest;
}

namespace {

// Whether the ClientHello that these bytes begin (handshake records from the stream's first
// byte on) ends past the bytes the provider reads (kMaxServerNameTotal): exactly where its end
// has come, else at least as far as the rest of its message reaches past them.
bool helloEndsPastReach(std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, 4> header{};  // the handshake header, over records if need be
  std::size_t headerBytes = 0;
  std::optional<std::uint64_t> message;
  std::uint64_t payload = 0;
  for (std::size_t p = 0; p + 5 <= bytes.size();) {
    if (bytes[p] != kTlsHandshake) return false;
    const std::size_t length = recordLength(bytes, p);
    const std::size_t present = std::min(length, bytes.size() - p - 5);
    for (std::size_t i = 0; i < present && headerBytes < 4; ++i)
      header[headerBytes++] = bytes[p + 5 + i];
    if (!message && headerBytes == 4) {
      if (header[0] != 1) return false;
      message = (std::uint64_t{header[1]} << 16 | std::uint64_t{header[2]} << 8 | header[3]) + 4;
    }
    if (message && payload + present >= *message) {
      return p + 5 + (*message - payload) > kMaxServerNameTotal;
    }
    payload += present;
    p += 5 + length;
  }
  return message && bytes.size() + (*message - payload) > kMaxServerNameTotal;
}

}  // namespace

std::string Connection::readHello(const std::vector<std::uint8_t>& bytes) {
  if (helloRead_) return {};
  // A hello usually comes whole in one delivery: read in place, kept only while incomplete.
  std::span<const std::uint8_t> hello = bytes;
  if (!helloBytes_.empty()) {
    helloBytes_.insert(helloBytes_.end(), bytes.begin(), bytes.end());
    hello = helloBytes_;
  }
  if (helloEndsPastReach(hello)) {
    helloTooLarge_ = true;
    return {};
  }
  // The provider's own reading decides; this one tells hosts the name it judged. It asks for
  // no more than the provider holds (kMaxServerNameTotal), which bounds what is kept here.
  const ServerNameResult name = extractServerName(hello);
  if (name.kind() == ServerNameResult::Kind::needMore) {
    if (helloBytes_.empty()) helloBytes_ = bytes;
    return {};
  }
  helloRead_ = true;
  if (clientHelloEchOffer(hello) == EchOffer::present) ++counters_.echClientHellos;
  helloBytes_ = {};
  return name.kind() == ServerNameResult::Kind::found ? name.hostName() : std::string();
}

Step Connection::advanceInspection(EngineTime now, ConnectionUpdate& out) {
  if (dropRequested_) return settle(dropOutcome_, out);
  if (destroyRequested_) return finishDestroyed(out);
  if (stream_.conflicted() || synConflict_) return settle(Outcome::conflictingData, out);
  const std::uint64_t takenFrom = stream_.taken();
  std::vector<std::uint8_t> bytes = stream_.take();
  if (!bytes.empty()) {
    lastProgress_ = now;
    if (judgedWhole_ && takenFrom == judged_.size() &&
        judged_.size() + bytes.size() <= kMaxJudgedBytes) {
      judged_.insert(judged_.end(), bytes.begin(), bytes.end());
    } else {
      judgedWhole_ = false;
    }
    bytes = skipPrefaceRecords(std::move(bytes));
    if (prefaceRecords_ > kMaxPrefaceRecords) return settle(Outcome::tlsPrefaceRecords, out);
  }
  if (!bytes.empty()) {
    std::string serverName = readHello(bytes);
    if (helloTooLarge_) return settle(Outcome::tlsHelloTooLarge, out);
    if (!serverName.empty()) helloName_ = serverName;
    Step step = ask(Ask::outboundData, out);
    step.serverName = std::move(serverName);
    step.offset = delivered_;
    delivered_ += bytes.size();
    step.bytes = std::move(bytes);
    return step;
  }
  // Everything deliverable is with the provider and it still wants more: let the delivered
  // packets go so the client keeps sending; keep only what lies beyond a gap.
  if (!releaseThrough(stream_.taken(), out)) return settle(refusedRelease(), out);
  if (clientClosed_) return completeAndSettle(Outcome::clientClosed, out);
  if (holdOverLimit()) return completeAndSettle(Outcome::limitReached, out);
  return {};
}

Step Connection::completeAndSettle(Outcome why, ConnectionUpdate& out) {
  pendingOutcome_ = why;
  return ask(Ask::dataComplete, out);
}

void Connection::leavePhase() {
  if (phase_ == Phase::inspecting) --counters_.inspectedConnections;
  if (phase_ == Phase::naming && !flow_ && http_) --counters_.httpWaiting;
}

void Connection::record(Outcome why, bool endsInspection, bool count) {
  const OutcomeRow& row = outcomeRow(why);
  if (endsInspection && !row.dropped) ++counters_.inspectionsAllowed;
  if (count) ++counters_.outcomes[static_cast<std::size_t>(why)];
  if (row.failOpen) ++counters_.failOpenEvents;
  if (why == Outcome::conflictingData) ++counters_.conflictingStreams;
  if (why == Outcome::evicted) ++counters_.evictions;
}

Step Connection::settle(Outcome why, ConnectionUpdate& out, bool count) {
  if (!outcomeRow(why).dropped && !passHeld(std::numeric_limits<std::uint64_t>::max())) {
    // Fail closed rather than allow on bytes the server drops. An honest client gets here only
    // when a newer timestamp of its own went first by more than PAWS allows: an ACK or data sent
    // while earlier segments wait on a lost one, which is rare.
    why = refusedRelease();
    count = true;
  }
  const OutcomeRow& row = outcomeRow(why);
  const bool wasInspecting = phase_ == Phase::inspecting;
  const bool readStream = wasInspecting || phase_ == Phase::naming;
  const std::uint64_t readTo = nextExpected();
  leavePhase();
  http_.reset();
  httpPending_.clear();
  stream_ = StreamReassembler();
  if (!row.dropped && wasInspecting && synDataConfirmed_ && judgedWhole_ && !judged_.empty() &&
      receiver_.serverShown()) {
    // The same watch as for SYN data, over what the verdict read; the server's ACK ends it.
    synData_ = std::move(judged_);
    synDataConfirmed_ = false;
    synDataSeenAgain_ = 0;
  }
  judged_ = {};
  if (row.dropped) unacknowledged_.clear();
  // Allowed on a ClientHello the server may yet ask to be sent again.
  helloWatch_ = !row.dropped && wasInspecting && helloRead_ && receiver_.serverShown();
  if (!row.dropped && (!verdictConfirmed() || helloWatch_) && readStream) {
    // Allowed on bytes the server may have thrown away: watch for another copy of them.
    phase_ = Phase::confirming;
    confirmOutcome_ = why;
    confirmEndsInspection_ = wasInspecting;
    confirmCounts_ = count;
    // Sequence numbers are still read from where the stream stands.
    if (!unacknowledged_.empty()) stream_.skipTo(readTo);
    for (const auto& held : held_) out.release.push_back(held.handle);
    held_.clear();
    heldBytes_ = 0;
    out.mark = ConnectionMark::inspect;
    if (destroyRequested_) return finishDestroyed(out);
    return {};
  }
  phase_ = row.dropped ? Phase::dropped : Phase::allowed;
  record(why, wasInspecting, count);
  for (const auto& held : held_) (row.dropped ? out.discard : out.release).push_back(held.handle);
  held_.clear();
  heldBytes_ = 0;
  confirmSynData();
  out.flow = flow_;
  out.mark = row.dropped ? ConnectionMark::dropped : ConnectionMark::allowed;
  out.reset = row.dropped && key_.protocol == kIpProtocolTCP;
  out.outcome = why;
  if (destroyRequested_) return finishDestroyed(out);
  return {};
}

Step Connection::finishDestroyed(ConnectionUpdate& out) {
  gone_ = true;
  // Gone before the server acknowledged what the verdict rests on: the verdict stands.
  if (phase_ == Phase::confirming) record(confirmOutcome_, confirmEndsInspection_, confirmCounts_);
  if (phase_ != Phase::allowed && phase_ != Phase::dropped) {
    leavePhase();
    phase_ = Phase::allowed;
  }
  for (const auto& held : held_) {
    (phase_ == Phase::dropped ? out.discard : out.release).push_back(held.handle);
  }
  held_.clear();
  heldBytes_ = 0;
  if (flow_ && shouldReport_ && !reported_) {
    reported_ = true;
    return ask(Ask::closedReport, out);
  }
  return {};
}

Step Connection::newFlowAnswer(const NEFilterNewFlowVerdict& verdict, bool inspectionRoom,
                               EngineTime now, ConnectionUpdate& out) {
  awaiting_ = Ask::nothing;
  shouldReport_ = verdict.shouldReport();
  out.flow = flow_;
  if (dropRequested_) return settle(dropOutcome_, out);
  using Kind = NEFilterNewFlowVerdict::Kind;
  if (phase_ == Phase::naming) {
    if (verdict.kind() == Kind::drop) {
      ++counters_.newFlowsDropped;
      return settle(http_ && http_->heads() > 1 ? Outcome::httpRequestDrop : Outcome::newFlowDrop,
                    out);
    }
    // A request's URL decides it; inspecting its bytes as TLS would read nothing.
    ++counters_.newFlowsAllowed;
    ++counters_.outcomes[static_cast<std::size_t>(Outcome::newFlowAllow)];
    out.outcome = Outcome::newFlowAllow;
    if (verdict.kind() == Kind::filterData) {
      pendingOutcome_ = Outcome::pending;
      return ask(Ask::dataComplete, out);
    }
    return advanceNaming(now, out);
  }
  switch (verdict.kind()) {
    case Kind::allow:
      ++counters_.newFlowsAllowed;
      return settle(Outcome::newFlowAllow, out);
    case Kind::drop: {
      ++counters_.newFlowsDropped;
      if (key_.protocol == kIpProtocolUDP && key_.remotePort == 443) ++counters_.udp443Drops;
      Step step = settle(Outcome::newFlowDrop, out);
      if (firstPacket_ && !gone_) {
        // The connection never opens, so no destroy event will come for it: we report.
        lingerUntil_ = now + options_.droppedLinger;
        if (shouldReport_ && !reported_) {
          reported_ = true;
          return ask(Ask::closedReport, out);
        }
      }
      return step;
    }
    case Kind::filterData:
      break;
  }
  if (!verdict.filterOutbound()) {
    ++counters_.newFlowsAllowed;
    return settle(Outcome::newFlowAllow, out);
  }
  ++counters_.inspections;
  if (key_.protocol != kIpProtocolTCP || !streamKnown_) {
    return completeAndSettle(Outcome::noHandshake, out);
  }
  if (!inspectionRoom) return completeAndSettle(Outcome::limitReached, out);
  phase_ = Phase::inspecting;
  ++counters_.inspectedConnections;
  out.mark = ConnectionMark::inspect;
  return advanceInspection(now, out);
}

Step Connection::dataAnswer(NEFilterDataVerdict::Kind verdict, EngineTime now,
                            ConnectionUpdate& out) {
  awaiting_ = Ask::nothing;
  if (dropRequested_) return settle(dropOutcome_, out);
  switch (verdict) {
    case NEFilterDataVerdict::Kind::allow:
      if (synConflict_ || stream_.conflicted()) return settle(Outcome::conflictingData, out);
      return settle(Outcome::dataAllow, out);
    case NEFilterDataVerdict::Kind::drop:
      ++counters_.inspectionsDropped;
      return settle(Outcome::dataDrop, out);
    case NEFilterDataVerdict::Kind::data:
      break;  // it wants more: deliver what arrived meanwhile, then wait
  }
  return advanceInspection(now, out);
}

Step Connection::done(EngineTime now, ConnectionUpdate& out) {
  const Ask answered = awaiting_;
  awaiting_ = Ask::nothing;
  if (answered == Ask::closedReport) {
    ++counters_.closedReports;
    if (closingFlow_) {
      closingFlow_.reset();
      if (nextRequest_) {
        std::optional<URL> url = std::move(*nextRequest_);
        nextRequest_.reset();
        if (dropRequested_ || destroyRequested_ || phase_ != Phase::naming) {
          return advance(now, out);
        }
        return askNewFlow(std::move(url), out);
      }
    }
    return {};
  }
  // The dataComplete call.
  if (phase_ == Phase::naming) return advanceNaming(now, out);
  if (dropRequested_) return settle(dropOutcome_, out);
  return settle(pendingOutcome_, out);
}

Step Connection::expire(EngineTime now, ConnectionUpdate& out) {
  out.key = key_;
  out.flow = flow_;
  if (busy()) return {};
  if (phase_ == Phase::dropped) {
    if (lingerUntil_ && *lingerUntil_ <= now) gone_ = true;
    return {};
  }
  if (now - lastProgress_ < options_.holdTimeout) return {};
  if (phase_ == Phase::naming && !flow_) {
    // No name in time: judged without one. The head is still read on: a name that comes later
    // is judged too.
    return judgeHead(httpHeadUnnamed(HttpUnnamedReason::timedOut), out);
  }
  if (phase_ == Phase::confirming && !held_.empty()) {
    // A second ClientHello not whole in time: dropped unread, to be read again when the client
    // sends it again.
    for (const Held& held : held_) out.discard.push_back(held.handle);
    held_.clear();
    heldBytes_ = 0;
    retryBytes_.clear();
    lastProgress_ = now;
    return {};
  }
  if ((phase_ == Phase::naming || phase_ == Phase::inspecting) && !held_.empty()) {
    // A gap the client did not fill in time: what lies beyond it is dropped unread (the client
    // sends it again) and the reading goes on. Allowing here would pass the rest unread.
    forgetBeyondGap(out);
    lastProgress_ = now;
  }
  return {};
}

bool Connection::reopenedBy(const ParsedPacket& packet) const {
  if (!packet.isTCP() || !packet.hasFlag(kTcpSyn) || packet.hasFlag(kTcpAck)) return false;
  // Confirming, it is allowed but for the server's ACK, which a closed connection never sends.
  if (phase_ != Phase::allowed && phase_ != Phase::dropped && phase_ != Phase::confirming) {
    return false;
  }
  if (busy() || !held_.empty()) return false;
  return sawClose_ || pastHandshake_ || !streamKnown_ || packet.tcpSequence != initialSequence_;
}

Step Connection::destroyed(ConnectionUpdate& out) {
  out.key = key_;
  out.flow = flow_;
  destroyRequested_ = true;
  if (busy()) return {};
  if (phase_ == Phase::naming && !flow_) {
    // Gone before its request named it: judged without a name, then reported like any flow.
    return judgeHead(httpHeadUnnamed(HttpUnnamedReason::closedFirst), out);
  }
  return finishDestroyed(out);
}

Step Connection::dropRequested(ConnectionUpdate& out, Outcome why) {
  out.key = key_;
  out.flow = flow_;
  if (busy()) {
    dropRequested_ = true;
    dropOutcome_ = why;
    return {};
  }
  return settle(why, out);
}

bool Connection::acksObserved() const {
  return key_.protocol == kIpProtocolTCP && key_.remotePort == 80 && streamKnown_ &&
         (phase_ == Phase::naming || phase_ == Phase::confirming);
}

void Connection::observed(const ParsedPacket& packet, std::size_t missing) {
  if (!packet.isTCP() || !streamKnown_ || packet.firstFragment ||
      packet.hasFlag(kTcpSyn | kTcpFin | kTcpRst) || !packet.hasFlag(kTcpAck)) {
    return;
  }
  if (!packet.payload.empty() || missing > 0) {
    // Only a body pass lets data by, and only where it starts inside the pass (before the engine
    // queues its segments again, an unqueued one may still be in the log).
    const std::int64_t start = offsetOf(packet.tcpSequence);
    if (!pass_ || start < static_cast<std::int64_t>(pass_->from) ||
        start >= static_cast<std::int64_t>(pass_->to)) {
      return;
    }
    // No segment is as long as the margin; one that reached the body's end anyway would have
    // given the server bytes never read.
    if (missing == ParseResult::kUnknownLength ||
        static_cast<std::uint64_t>(start) + packet.payload.size() + missing > pass_->end) {
      ++counters_.observedPackets;
      overtaken_ = true;
      return;
    }
  }
  ++counters_.observedPackets;
  pastHandshake_ = true;
  // The server took its urgent pointer: the stream read here may no longer be the server's.
  if (packet.hasFlag(kTcpUrg)) {
    overtaken_ = true;
    return;
  }
  // An ACK the server refuses moves nothing, as when it is queued; passing it changes nothing
  // either, since the server drops it.
  const SegmentRefusal refusal = receiver_.judge(packet);
  if (refusal != SegmentRefusal::none) {
    ++counters_.refusedSegments[static_cast<std::size_t>(refusal)];
    return;
  }
  const bool inOrder = reachesInOrder(packet);
  receiver_.accepted(packet, inOrder);
  passed_.accepted(packet, inOrder);
  if (overtakes(packet)) overtaken_ = true;
}

bool Connection::observedReply(const ParsedPacket& packet, std::size_t missing) {
  if (!packet.isTCP() || !streamKnown_ || packet.firstFragment) return false;
  if (clientSide_ != 0 && packet.arrivedOn == clientSide_) {
    // The server is never where the client is: the client (a gateway's client may send any
    // packet) made it, to look like the server acknowledging bytes that never reached it.
    ++counters_.repliesFromClientSide;
    return false;
  }
  ++counters_.observedPackets;
  const std::optional<std::size_t> length =
      missing == ParseResult::kUnknownLength
          ? std::nullopt
          : std::optional<std::size_t>(packet.payload.size() + missing);
  receiver_.serverSent(packet, length);
  passed_.serverSent(packet, length);
  if (packet.hasFlag(kTcpSyn)) {
    serverFirst_ = packet.tcpSequence + 1u;
  } else if (helloWatch_ && !serverAnswered_ && phase_ == Phase::confirming &&
             length.value_or(1) > 0) {
    serverAnswered(packet, missing);
  }
  if (!packet.hasFlag(kTcpAck) || packet.hasFlag(kTcpRst)) return false;
  unacknowledged_.acknowledged(offsetOf(packet.tcpAcknowledgment));
  // The server holds every byte the verdict rests on: no other copy can take their place.
  if (phase_ == Phase::confirming && !synDataConfirmed_ &&
      static_cast<std::int32_t>(packet.tcpAcknowledgment - sequenceAt(synData_.size())) >= 0) {
    confirmSynData();
  }
  return startResponsePass(length);
}

bool Connection::startResponsePass(std::optional<std::size_t> replyLength) {
  // Not after a body passed: its rule shares the mark, and one the host failed to delete would
  // pass the client's data again once the sequence numbers come round.
  if (options_.responsePassMinimum == 0 || phase_ != Phase::naming || pass_ || responsePass_) {
    return false;
  }
  responseBytes_ += replyLength.value_or(options_.responsePassMinimum);
  // Nothing of the client's may wait on the server: bytes it has not acknowledged, held or
  // unread ones, a request still being judged.
  if (responseBytes_ < options_.responsePassMinimum || !flow_ || busy() || !held_.empty() ||
      !unacknowledged_.empty() || !httpPending_.empty() || stream_.buffered() > 0 ||
      http_->answersWaiting() || overtaken_ || sawClose_ || dropRequested_ || destroyRequested_) {
    return false;
  }
  responsePass_ = true;
  // Unshown, the server's packets bound nothing, until it acknowledges what the client sends
  // next (shown again by then).
  receiver_.serverUnseenUntil(sequenceAt(nextExpected()));
  passed_.serverUnseenUntil(sequenceAt(nextExpected()));
  ++counters_.responsePasses;
  return true;
}

void Connection::serverAnswered(const ParsedPacket& reply, std::size_t missing) {
  // The record header, the handshake header, the version, then the random: read over segments,
  // as a client that announces a small MSS gets the server's bytes in small pieces.
  constexpr std::size_t kRandomAt = 11;
  constexpr std::size_t kNeeded = kRandomAt + kHelloRetryRandom.size();
  const std::int64_t at =
      serverFirst_ ? static_cast<std::int32_t>(reply.tcpSequence - *serverFirst_) : -1;
  bool known = at >= 0 && static_cast<std::size_t>(at) <= answer_.size();
  if (known) {
    const auto& bytes = reply.payload;
    const std::size_t skip = answer_.size() - static_cast<std::size_t>(at);
    if (skip < bytes.size()) {
      const std::size_t take = std::min(bytes.size() - skip, kNeeded - answer_.size());
      answer_.insert(answer_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(skip),
                     bytes.begin() + static_cast<std::ptrdiff_t>(skip + take));
    }
    if (answer_.size() < kNeeded) {
      if (missing == 0) return;  // the rest comes in the server's next segments
      known = false;             // the copy ended short of what the server sent
    }
  }
  serverAnswered_ = true;
  const bool retry =
      known && answer_[0] == kTlsHandshake && answer_[5] == 2 &&
      std::equal(kHelloRetryRandom.begin(), kHelloRetryRandom.end(), answer_.begin() + kRandomAt);
  answer_ = {};
  if (known && !retry) return;
  // A retry, or bytes that cannot tell (the first ones not shown): what the client sends next is
  // read before anything of it reaches the server.
  if (retry) ++counters_.helloRetries;
  retryKnown_ = retry;
  retry_ = Retry::awaited;
  retryFrom_ = clientEnd_;
}

Step Connection::readRetry(PacketHandle handle, const ParsedPacket& packet, std::int64_t offset,
                           bool inOrder, EngineTime now, ConnectionUpdate& out) {
  const std::uint64_t have = retryFrom_ + retryBytes_.size();
  if (offset < 0 || offset > static_cast<std::int64_t>(have)) {  // the client sends it again
    ++counters_.refusedSegments[static_cast<std::size_t>(SegmentRefusal::beyondHold)];
    out.discard.push_back(handle);
    return {};
  }
  if (!agreesWith(retryBytes_, static_cast<std::int64_t>(retryFrom_), offset, packet.payload)) {
    held_.push_back({handle, 0, packet.payload.size()});
    return settle(Outcome::conflictingData, out);
  }
  // Within the hold's bounds, as inspection: a hello in a thousand pieces would keep the queue
  // full. Past them, pieces are dropped unread, and the client sends them again.
  if (held_.size() >= options_.maxHeldPacketsPerConnection ||
      heldBytes_ + packet.payload.size() > options_.maxHeldBytesPerConnection) {
    ++counters_.refusedSegments[static_cast<std::size_t>(SegmentRefusal::beyondHold)];
    out.discard.push_back(handle);
    return {};
  }
  const std::uint64_t end = static_cast<std::uint64_t>(offset) + packet.payload.size();
  clientEnd_ = std::max(clientEnd_, end);
  if (end > have) {
    retryBytes_.insert(retryBytes_.end(),
                       packet.payload.begin() +
                           static_cast<std::ptrdiff_t>(have - static_cast<std::uint64_t>(offset)),
                       packet.payload.end());
  }
  held_.push_back({handle, end, packet.payload.size(), SegmentFields::of(packet), inOrder});
  heldBytes_ += packet.payload.size();
  lastProgress_ = now;

  // ChangeCipherSpec records (compatibility mode) come first, and alerts a lenient server reads
  // past; then the handshake record.
  std::size_t at = 0;
  unsigned skipped = 0;
  while (at + 5 <= retryBytes_.size() &&
         (retryBytes_[at] == kTlsChangeCipherSpec || retryBytes_[at] == kTlsAlert)) {
    at += 5 + recordLength(retryBytes_, at);
    if (++skipped > kMaxPrefaceRecords) return settle(Outcome::tlsPrefaceRecords, out);
  }
  const std::span<const std::uint8_t> rest =
      at < retryBytes_.size() ? std::span<const std::uint8_t>(retryBytes_).subspan(at)
                              : std::span<const std::uint8_t>();
  if (rest.size() < 6) {  // the next record's header, and its handshake type, still to come
    if (retryBytes_.size() > kMaxServerNameTotal) return settle(Outcome::tlsHelloTooLarge, out);
    return {};
  }
  // Anything but a ClientHello is no retry; the server ends a handshake that goes on so.
  if (rest[0] == kTlsHandshake && rest[5] == 1) {
    // Where the server's answer could not be read this may be no retry at all (an encrypted
    // Finished may begin so): only a name found and different tells then.
    if (helloEndsPastReach(rest)) {
      if (retryKnown_) return settle(Outcome::tlsHelloTooLarge, out);
      return letRetryGo(out);
    }
    const ServerNameResult name = extractServerName(rest);
    if (name.kind() == ServerNameResult::Kind::needMore) {
      // Nor a record whose hello goes on past it: browsers send theirs in one.
      const std::size_t record = 5 + recordLength(rest, 0);
      return retryKnown_ || rest.size() < record ? Step{} : letRetryGo(out);
    }
    const std::string second =
        name.kind() == ServerNameResult::Kind::found ? name.hostName() : std::string();
    const bool differs = name.kind() == ServerNameResult::Kind::found || retryKnown_;
    if (differs && !equalsIgnoringAsciiCase(second, helloName_)) {
      return settle(Outcome::tlsRetryNameChanged, out);
    }
  }
  return letRetryGo(out);
}

Step Connection::letRetryGo(ConnectionUpdate& out) {
  retry_ = Retry::read;
  retryBytes_ = {};
  if (!releaseThrough(std::numeric_limits<std::uint64_t>::max(), out)) {
    return settle(refusedRelease(), out);
  }
  if (verdictConfirmed() && !retryOpen()) confirmed(out);
  return {};
}

void Connection::evict(ConnectionUpdate& out) {
  out.key = key_;
  out.flow = flow_;
  settle(Outcome::evicted, out);
}

}  // namespace quillnest::hosts
