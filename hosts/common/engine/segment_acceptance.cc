#include "hosts/common/engine/segment_acceptance.h"

#include <algorithm>

namespace quillnest::hosts {
namespace {

// An ACK this far ahead acknowledges bytes no window let the server send.
constexpr std::int64_t kAckSpace = std::int64_t{1} << 30;
constexpr std::uint8_t kMaxWindowShift = 14;  // RFC 7323 2.3; larger offers count as 14

std::int64_t distance(std::uint32_t from, std::uint32_t to) {
  return static_cast<std::int32_t>(to - from);
}

}  // namespace

std::string_view segmentRefusalName(SegmentRefusal refusal) {
  switch (refusal) {
    case SegmentRefusal::none:
      return "none";
    case SegmentRefusal::noAck:
      return "noAck";
    case SegmentRefusal::badAck:
      return "badAck";
    case SegmentRefusal::oldAck:
      return "oldAck";
    case SegmentRefusal::oldTimestamp:
      return "oldTimestamp";
    case SegmentRefusal::signatureMismatch:
      return "signatureMismatch";
    case SegmentRefusal::unsentAck:
      return "unsentAck";
    case SegmentRefusal::urgent:
      return "urgent";
    case SegmentRefusal::lowHopLimit:
      return "lowHopLimit";
    case SegmentRefusal::ipExtras:
      return "ipExtras";
    case SegmentRefusal::beyondWindow:
      return "beyondWindow";
    case SegmentRefusal::lateSyn:
      return "lateSyn";
    case SegmentRefusal::beyondHold:
      return "beyondHold";
    case SegmentRefusal::count_:
      break;
  }
  return "unknown";
}

SegmentFields SegmentFields::of(const ParsedPacket& segment) {
  return {segment.tcpFlags,        segment.tcpAcknowledgment, segment.tcpWindow,
          segment.tcpHasTimestamp, segment.tcpTimestamp,      segment.tcpSignature,
          segment.hopLimit,        segment.ipExtras};
}

void TcpReceiverView::start(const ParsedPacket& first) {
  timestamps_ = first.tcpHasTimestamp;
  signature_ = first.tcpSignature;
  hopLimit_ = first.hopLimit;
  if (first.tcpHasTimestamp) lastTimestamp_ = first.tcpTimestamp;
  if (first.hasFlag(kTcpAck)) highestAck_ = first.tcpAcknowledgment;
  // The shift the client's SYN offers, which the server applies unless its SYN-ACK refuses
  // scaling (serverSent). Picked up without the SYN, the shift is unknown: the largest.
  const bool syn = first.hasFlag(kTcpSyn);
  clientOffersScaling_ = syn && first.tcpWindowScale.has_value();
  windowShift_ =
      syn ? std::min(first.tcpWindowScale.value_or(0), kMaxWindowShift) : kMaxWindowShift;
  maxWindow_ = syn ? first.tcpWindow : std::uint32_t{first.tcpWindow} << windowShift_;
}

SegmentRefusal TcpReceiverView::judge(const SegmentFields& segment) const {
  // Resets too: one that never reaches the server must not end the reading.
  if (segment.ipExtras) return SegmentRefusal::ipExtras;
  if (segment.hopLimit < hopLimit_) return SegmentRefusal::lowHopLimit;
  if (segment.hasFlag(kTcpRst) || segment.hasFlag(kTcpSyn)) return SegmentRefusal::none;
  if (segment.hasFlag(kTcpUrg)) return SegmentRefusal::urgent;
  if (segment.signature != signature_) return SegmentRefusal::signatureMismatch;
  if (!segment.hasFlag(kTcpAck)) return SegmentRefusal::noAck;
  if (highestAck_ && !clientUnseen_ && distance(*highestAck_, segment.acknowledgment) > kAckSpace) {
    return SegmentRefusal::badAck;
  }
  // The server discards a segment that acknowledges what it never sent (Linux's tcp_ack). Where
  // the host shows nothing the server sent (or stopped showing it for a while), only the bound
  // above holds.
  if (serverNext_ && !unseenUntil_ && distance(*serverNext_, segment.acknowledgment) > 0) {
    return SegmentRefusal::unsentAck;
  }
  // The server discards the data of a segment whose ACK is older than its unacknowledged data
  // by more than the largest window the client advertised (Linux's tcp_ack). A refused segment
  // is discarded, not passed unread: a bound above the server's costs only segments a client's
  // TCP never sends (each carries its current ACK, older only by what arrived while it waited
  // in the queue, within the window); one below would let the engine read a copy the server
  // drops. The highest ACK seen is at or above the server's, since one seen may yet be lost.
  if (highestAck_ &&
      distance(*highestAck_, segment.acknowledgment) < -static_cast<std::int64_t>(maxWindow_)) {
    return SegmentRefusal::oldAck;
  }
  // PAWS allows one tick of disorder (the kernel's TCP_PAWS_WINDOW).
  if (timestamps_ && segment.hasTimestamp && lastTimestamp_ &&
      distance(segment.timestamp, *lastTimestamp_) > 1) {
    return SegmentRefusal::oldTimestamp;
  }
  return SegmentRefusal::none;
}

void TcpReceiverView::accepted(const SegmentFields& segment, bool inOrder) {
  if (segment.hasFlag(kTcpAck) &&
      (!highestAck_ || clientUnseen_ || distance(*highestAck_, segment.acknowledgment) > 0)) {
    highestAck_ = segment.acknowledgment;
    clientUnseen_ = false;
  }
  if (segment.hasFlag(kTcpAck) && !segment.hasFlag(kTcpSyn | kTcpRst)) {
    maxWindow_ = std::max(maxWindow_, std::uint32_t{segment.window} << windowShift_);
  }
  if (timestamps_ && segment.hasTimestamp && inOrder &&
      (!lastTimestamp_ || distance(*lastTimestamp_, segment.timestamp) > 0)) {
    lastTimestamp_ = segment.timestamp;
  }
}

void TcpReceiverView::serverSent(const ParsedPacket& reply,
                                 std::optional<std::size_t> payloadLength) {
  // A reset carries no bytes, and one from elsewhere must not move the bound.
  if (reply.hasFlag(kTcpRst)) return;
  serverShown_ = true;
  const bool synAck = reply.hasFlag(kTcpSyn) && reply.hasFlag(kTcpAck);
  if (reply.hasFlag(kTcpAck)) {
    if (unseenUntil_ && distance(*unseenUntil_, reply.tcpAcknowledgment) > 0) {
      unseenUntil_.reset();
    }
    // A SYN's window is never scaled (RFC 7323 2.2). The edge never moves left: a server does
    // not shrink its window, and an older packet may be shown after a newer one.
    const std::uint32_t edge =
        reply.tcpAcknowledgment + (std::uint32_t{reply.tcpWindow} << (synAck ? 0 : serverShift_));
    if (!unseenUntil_ && (!serverEdge_ || distance(*serverEdge_, edge) > 0)) {
      serverEdge_ = edge;
    }
  }
  if (synAck) {
    serverShift_ = clientOffersScaling_ && reply.tcpWindowScale
                       ? std::min(*reply.tcpWindowScale, kMaxWindowShift)
                       : std::uint8_t{0};
  }
  if (serverNextUnknown_) return;
  if (!payloadLength) {
    // The client may acknowledge bytes the bound never saw: an honest client must not be
    // refused, so only the loose bound holds from here on.
    serverNextUnknown_ = true;
    serverNext_.reset();
    return;
  }
  const std::uint32_t end = reply.tcpSequence + static_cast<std::uint32_t>(*payloadLength) +
                            (reply.hasFlag(kTcpSyn) ? 1u : 0u) + (reply.hasFlag(kTcpFin) ? 1u : 0u);
  if (!serverNext_ || distance(*serverNext_, end) > 0) serverNext_ = end;
  // Scaling holds only when both SYNs carry the option (RFC 7323 2.2); without it the client's
  // windows are taken as they stand.
  if (reply.hasFlag(kTcpSyn) && reply.hasFlag(kTcpAck) && !reply.tcpWindowScale) windowShift_ = 0;
}

bool TcpReceiverView::beyondServerWindow(std::uint32_t sequence) const {
  return serverEdge_ && !unseenUntil_ && distance(*serverEdge_, sequence) >= 0;
}

void TcpReceiverView::serverUnseenUntil(std::uint32_t sequence) {
  unseenUntil_ = sequence;
  serverEdge_.reset();
}

}  // namespace quillnest::hosts
