#include "hosts/linux/dns/answer_packet.h"

#include <algorithm>

#include "hosts/common/packet.h"

namespace quillnest::linuxhost::dns {
namespace {

void put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  bytes[at] = static_cast<std::uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<std::uint8_t>(value);
}

std::uint32_t sum16(std::span<const std::uint8_t> bytes, std::uint32_t sum = 0) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
    sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  if (bytes.size() % 2) sum += static_cast<std::uint32_t>(bytes.back() << 8);
  return sum;
}

std::uint16_t folded(std::uint32_t sum) {
  while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
  return static_cast<std::uint16_t>(~sum);
}

// The transport header starts at transport; its checksum field at checksumAt (both offsets in
// packet). Zero is sent as 0xffff: for UDP zero means no checksum.
void setTransportChecksum(std::vector<std::uint8_t>& packet, const hosts::ParsedPacket& parsed,
                          std::size_t transport, std::size_t checksumAt) {
  put16(packet, checksumAt, 0);
  const std::size_t addressBytes = parsed.family == hosts::IpFamily::v4 ? 4 : 16;
  const std::size_t length = packet.size() - transport;
  std::uint32_t sum = sum16(std::span(parsed.source.bytes).first(addressBytes));
  sum = sum16(std::span(parsed.destination.bytes).first(addressBytes), sum);
  sum += parsed.protocol + (length & 0xffff) + (length >> 16);
  sum = sum16(std::span(packet).subspan(transport), sum);
  const std::uint16_t checksum = folded(sum);
  put16(packet, checksumAt, checksum == 0 ? 0xffff : checksum);
}

}  // namespace

PacketEdit rewriteAnswerPacket(std::span<const std::uint8_t> ipPacket, const AnswerPolicy& policy,
                               TcpAnswerStreams* streams, TcpAnswerStreams::Clock::time_point now) {
  PacketEdit edit;
  const hosts::ParseResult parsed = hosts::parseIpPacket(ipPacket);
  if (parsed.status != hosts::ParseStatus::ok || parsed.packet.firstFragment) {
    // Not a whole packet to read (conntrack reassembles fragments before our chains).
    edit.unparsed = 1;
    return edit;
  }
  const hosts::ParsedPacket& packet = parsed.packet;
  const std::size_t payloadAt = static_cast<std::size_t>(packet.payload.data() - ipPacket.data());

  if (packet.isTCP()) {
    // Followed connections are read across segments, others one segment at a time.
    std::vector<std::uint8_t> payload(packet.payload.begin(), packet.payload.end());
    StreamCounts& counts = edit;
    const auto fate = streams != nullptr ? streams->onSegment(packet, payload, policy, now, counts)
                                         : TcpAnswerStreams::Fate::untracked;
    bool changed = false;
    if (fate == TcpAnswerStreams::Fate::untracked) {
      StreamEdit stream = rewriteTcpPayload(packet.payload, policy);
      counts = stream;
      changed = stream.outcome == AnswerOutcome::rewritten;
      if (changed) payload = std::move(stream.payload);
    } else {
      edit.drop = fate == TcpAnswerStreams::Fate::drop;
      changed = !edit.drop && !std::equal(payload.begin(), payload.end(), packet.payload.begin());
    }
    if (!changed) return edit;
    const std::size_t tcpAt = static_cast<std::size_t>(packet.tcpSegment.data() - ipPacket.data());
    edit.packet.assign(ipPacket.begin(), ipPacket.begin() + payloadAt);
    edit.packet.insert(edit.packet.end(), payload.begin(), payload.end());
    setTransportChecksum(edit.packet, packet, tcpAt, tcpAt + 16);
    edit.rewritten = true;
    return edit;
  }

  AnswerPolicy udp = policy;
  udp.keepLength = false;
  AnswerEdit answer = rewriteAnswer(packet.payload, udp);
  if (answer.outcome == AnswerOutcome::unparsed) edit.unparsed = 1;
  if (answer.outcome == AnswerOutcome::unparsed || answer.outcome == AnswerOutcome::notAnAnswer)
    return edit;
  edit.answersRead = 1;
  edit.echRemoved = answer.echRemoved;
  edit.portsRewritten = answer.portsRewritten;
  edit.canariesAnswered = answer.canaryAnswered ? 1 : 0;
  if (answer.outcome != AnswerOutcome::rewritten) return edit;

  // The UDP header is the 8 bytes before the payload; IP headers (and IPv6 extension headers)
  // stay as they are, only their lengths change.
  const std::size_t udpAt = payloadAt - 8;
  edit.packet.assign(ipPacket.begin(), ipPacket.begin() + payloadAt);
  edit.packet.insert(edit.packet.end(), answer.message.begin(), answer.message.end());
  put16(edit.packet, udpAt + 4, static_cast<std::uint32_t>(edit.packet.size() - udpAt));
  if (packet.family == hosts::IpFamily::v4) {
    put16(edit.packet, 2, static_cast<std::uint32_t>(edit.packet.size()));
    const std::size_t headerBytes = (edit.packet[0] & 0x0f) * 4u;
    put16(edit.packet, 10, 0);
    put16(edit.packet, 10, folded(sum16(std::span(edit.packet).first(headerBytes))));
  } else {
    put16(edit.packet, 4, static_cast<std::uint32_t>(edit.packet.size() - 40));
  }
  setTransportChecksum(edit.packet, packet, udpAt, udpAt + 6);
  edit.rewritten = true;
  return edit;
}

}  // namespace quillnest::linuxhost::dns
