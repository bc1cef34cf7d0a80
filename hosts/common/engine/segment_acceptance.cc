#include "hosts/common/engine/segment_acceptance.h"

namespace quillnest::hosts {
namespace {

// The receiver drops ACKs older than its unacknowledged data by more than the largest window
// (RFC 9293 3.10.7.4); the client's own ACKs track that point. 2^30 is the largest scaled window.
constexpr std::int64_t kAckSpace = std::int64_t{1} << 30;

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
    case SegmentRefusal::oldTimestamp:
      return "oldTimestamp";
    case SegmentRefusal::signatureMismatch:
      return "signatureMismatch";
    case SegmentRefusal::count_:
      break;
  }
  return "unknown";
}

SegmentFields SegmentFields::of(const ParsedPacket& segment) {
  return {segment.tcpFlags, segment.tcpAcknowledgment, segment.tcpHasTimestamp,
          segment.tcpTimestamp, segment.tcpSignature};
}

void TcpReceiverView::start(const ParsedPacket& first) {
  timestamps_ = first.tcpHasTimestamp;
  signature_ = first.tcpSignature;
  if (first.tcpHasTimestamp) lastTimestamp_ = first.tcpTimestamp;
  if (first.hasFlag(kTcpAck)) highestAck_ = first.tcpAcknowledgment;
}

SegmentRefusal TcpReceiverView::judge(const SegmentFields& segment) const {
  if (segment.hasFlag(kTcpRst) || segment.hasFlag(kTcpSyn)) return SegmentRefusal::none;
  if (segment.signature != signature_) return SegmentRefusal::signatureMismatch;
  if (!segment.hasFlag(kTcpAck)) return SegmentRefusal::noAck;
  if (highestAck_ && (distance(*highestAck_, segment.acknowledgment) < -kAckSpace ||
                      distance(*highestAck_, segment.acknowledgment) > kAckSpace)) {
    return SegmentRefusal::badAck;
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
      (!highestAck_ || distance(*highestAck_, segment.acknowledgment) > 0)) {
    highestAck_ = segment.acknowledgment;
  }
  if (timestamps_ && segment.hasTimestamp && inOrder &&
      (!lastTimestamp_ || distance(*lastTimestamp_, segment.timestamp) > 0)) {
    lastTimestamp_ = segment.timestamp;
  }
}

}  // namespace quillnest::hosts
