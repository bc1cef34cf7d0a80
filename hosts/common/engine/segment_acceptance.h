// Whether the server's TCP would take a client segment's data, judged from the client's side of
// the connection (the engine sees only outbound packets). A segment the receiver throws away must
// not be read as stream data: a copy of the stream it never sees would otherwise decide the
// verdict for the copy it does see.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "hosts/common/packet.h"

namespace quillnest::hosts {

enum class SegmentRefusal : std::uint8_t {
  none,
  noAck,              // data without the ACK flag: a synchronised receiver drops it
  badAck,             // an acknowledgment from another sequence space
  oldAck,             // older than the newest by more than the largest window (RFC 5961 5.2)
  oldTimestamp,       // older than the last one taken (PAWS, RFC 7323 5.3)
  signatureMismatch,  // an MD5 or TCP-AO option the handshake did not have, or the reverse
  unsentAck,          // acknowledges bytes the server has not sent (RFC 5961 5.2)
  // Urgent data: the server's TCP takes the byte at the urgent pointer out of the stream its
  // application reads (unless SO_OOBINLINE), so the bytes read here would not be the server's.
  // No web client sends it; the segment is dropped unread.
  urgent,
  // Below the hop limit the connection began with: a client's TCP sends all its segments with
  // one, and a copy sent with fewer hops than reach the server dies on the way.
  lowHopLimit,
  // IPv4 options or IPv6 extension headers: receivers drop many of them (source routes,
  // malformed or unknown options), and no client's TCP sends them.
  ipExtras,
  // Data starting at or past the right edge of the window the server last advertised: its TCP
  // drops it (a zero window drops even the next byte it waits for).
  beyondWindow,
  // A SYN with data after the handshake: the server answers it with a challenge ACK and drops
  // it (RFC 5961 4.2).
  lateSyn,
  // Not the server's refusal but the filter's: beyond what it holds past a gap (the reassembly
  // window, the hold limits), or held past the hold bound. The client sends it again.
  beyondHold,
  count_,
};
inline constexpr std::size_t kSegmentRefusalCount =
    static_cast<std::size_t>(SegmentRefusal::count_);
std::string_view segmentRefusalName(SegmentRefusal refusal);

// What the receiver checks of a segment before it takes the data: kept with a segment that is
// held, since the receiver's view may move on while it waits.
struct SegmentFields {
  std::uint8_t flags = 0;
  std::uint32_t acknowledgment = 0;
  std::uint16_t window = 0;
  bool hasTimestamp = false;
  std::uint32_t timestamp = 0;
  bool signature = false;
  std::uint8_t hopLimit = 0;
  bool ipExtras = false;

  static SegmentFields of(const ParsedPacket& segment);
  bool hasFlag(std::uint8_t flag) const { return (flags & flag) != 0; }
};

// What the receiver knows of the client's options and its last accepted segment.
class TcpReceiverView {
 public:
  // From the first packet seen (the SYN, or the first packet of a connection picked up later).
  void start(const ParsedPacket& first);
  // For a segment after the first; RSTs and the client's retransmitted SYNs are not judged.
  SegmentRefusal judge(const SegmentFields& segment) const;
  SegmentRefusal judge(const ParsedPacket& segment) const {
    return judge(SegmentFields::of(segment));
  }
  // A segment that was not refused; inOrder when it starts at or before the next expected byte
  // (only those update the timestamp, as in RFC 7323 4.3).
  void accepted(const SegmentFields& segment, bool inOrder);
  void accepted(const ParsedPacket& segment, bool inOrder) {
    accepted(SegmentFields::of(segment), inOrder);
  }
  // A packet the server sent, seen on its way to the client (so before the client can answer
  // it): how far the server's sequence space reaches, and whether its SYN-ACK took up the
  // window scaling the client offered.
  // payloadLength: its whole payload's (the host may have copied only the headers); unknown
  // (nullopt) ends the bound for good.
  void serverSent(const ParsedPacket& reply, std::optional<std::size_t> payloadLength);
  // Whether data starting at sequence lies at or past the right edge of the server's receive
  // window, as far as its packets were seen. False while no edge is known.
  bool beyondServerWindow(std::uint32_t sequence) const;
  // The server's packets stop being shown for a while (the host passes the client's bytes up to
  // sequence, or a long response, and shows none of the server's packets with only ACK set
  // meanwhile): neither the edge of its window nor how far its sequence space reaches is known
  // again until one of its packets acknowledges a byte past sequence, which it sends only after
  // the host shows its packets again. The bound is then the furthest any shown packet reached.
  void serverUnseenUntil(std::uint32_t sequence);
  // The client's packets stop being shown for a while (a body passes unshown): the ACKs it sent
  // meanwhile may have moved on by any amount (the server may have sent much), so the next
  // segment's ACK is not judged against the highest one seen and becomes it.
  void clientUnseen() { clientUnseen_ = true; }
  // Whether any packet of the server has been shown.
  bool serverShown() const { return serverShown_; }

 private:
  bool timestamps_ = false;
  bool signature_ = false;
  std::uint8_t hopLimit_ = 0;  // the first packet's
  std::optional<std::uint32_t> lastTimestamp_;
  std::optional<std::uint32_t> highestAck_;
  std::uint8_t windowShift_ = 0;
  std::uint32_t maxWindow_ = 0;              // the largest the client advertised, scaled
  std::optional<std::uint32_t> serverNext_;  // after the last byte (or SYN, FIN) the server sent
  bool serverNextUnknown_ = false;           // a packet of unknown length went by
  bool clientOffersScaling_ = false;         // the client's SYN carried the option
  std::uint8_t serverShift_ = 14;  // the server's own, from its SYN-ACK; unknown: the largest
  std::optional<std::uint32_t> serverEdge_;  // the right edge of its window, client sequence
  std::optional<std::uint32_t> unseenUntil_;
  bool serverShown_ = false;
  bool clientUnseen_ = false;
};

}  // namespace quillnest::hosts
