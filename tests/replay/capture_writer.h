// Writes deterministic captures (classic pcap or pcapng) with known verdicts for replay tests:
// a client at 10.0.0.1 talking to servers under 198.51.100.0/24, with full TCP handshakes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "tests/common/packet_builder.h"

namespace quillnest::testing {

class CaptureWriter {
 public:
  static constexpr std::uint32_t kPktap = 258;
  // linkType: 101 (raw IP), 1 (Ethernet) or kPktap (Apple's header before Ethernet).
  explicit CaptureWriter(std::uint32_t linkType = 101) : linkType_(linkType) {}

  void add(const PacketBytes& ipPacket, std::uint64_t micros) {
    PacketBytes frame;
    if (linkType_ == kPktap) {
      // Its length, a packet follows, the packet's link type (Ethernet), the interface; the rest
      // (process, flags) zero.
      for (std::uint32_t v : {kPktapLength, 1u, 1u}) putLE(frame, v);
      frame.insert(frame.end(), {'e', 'n', '0'});
      frame.resize(kPktapLength);
    }
    if (linkType_ == 1 || linkType_ == kPktap) {  // two made-up MAC addresses and the EtherType
      const bool v6 = ipPacket[0] >> 4 == 6;
      frame.insert(frame.end(), {2, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 1});
      frame.push_back(v6 ? 0x86 : 0x08);
      frame.push_back(v6 ? 0xdd : 0x00);
    }
    frame.insert(frame.end(), ipPacket.begin(), ipPacket.end());
    records_.push_back({micros, std::move(frame)});
  }

  // A TCP connection from the client: handshake, the client's segments as given (already cut and
  // ordered by the caller), then FIN both ways. Returns the time after the last packet.
  struct Segment {
    std::size_t from, to;
  };
  std::uint64_t tcpConnection(std::uint16_t clientPort, const std::string& server,
                              std::uint16_t serverPort, const PacketBytes& stream,
                              const std::vector<Segment>& segments, std::uint64_t micros) {
    const std::uint32_t isn = 0x10000000u + clientPort, serverIsn = 0x20000000u + clientPort;
    PacketLayout out{
        .destination = server, .sourcePort = clientPort, .destinationPort = serverPort};
    PacketLayout in = out;
    std::swap(in.source, in.destination);
    std::swap(in.sourcePort, in.destinationPort);
    auto send = [&](PacketLayout layout, std::uint8_t flags, std::uint32_t sequence,
                    std::uint32_t acknowledgment, PacketBytes payload = {}) {
      layout.flags = flags;
      layout.sequence = sequence;
      layout.acknowledgment = acknowledgment;
      layout.payload = std::move(payload);
      add(buildPacket(layout), micros += 100);
    };
    using hosts::kTcpAck;
    send(out, hosts::kTcpSyn, isn, 0);
    send(in, hosts::kTcpSyn | kTcpAck, serverIsn, isn + 1);
    send(out, kTcpAck, isn + 1, serverIsn + 1);
    for (const Segment& s : segments) {
      send(out, kTcpAck | hosts::kTcpPsh, static_cast<std::uint32_t>(isn + 1 + s.from),
           serverIsn + 1,
           PacketBytes(stream.begin() + static_cast<std::ptrdiff_t>(s.from),
                       stream.begin() + static_cast<std::ptrdiff_t>(s.to)));
    }
    send(out, hosts::kTcpFin | kTcpAck, static_cast<std::uint32_t>(isn + 1 + stream.size()),
         serverIsn + 1);
    send(in, hosts::kTcpFin | kTcpAck, serverIsn + 1, isn + 1);
    return micros;
  }

  std::uint64_t udpDatagram(std::uint16_t clientPort, const std::string& server,
                            std::uint16_t serverPort, std::size_t size, std::uint64_t micros) {
    PacketLayout layout{.destination = server,
                        .protocol = hosts::kIpProtocolUDP,
                        .sourcePort = clientPort,
                        .destinationPort = serverPort,
                        .payload = PacketBytes(size, 0xc3)};
    add(buildPacket(layout), micros += 100);
    return micros;
  }

  // Keeps only the first snapLength bytes of each frame, as a capture with that snapshot length.
  void cutAt(std::uint32_t snapLength) { snapLength_ = snapLength; }

  // Gives the records these stamps in order, one each (microseconds, any 64-bit value).
  void restamp(const std::vector<std::uint64_t>& micros) {
    for (std::size_t i = 0; i < records_.size(); ++i) records_[i].micros = micros.at(i);
  }

  // Classic pcap (32-bit seconds from 2027 on), or pcapng, whose 64-bit stamps are taken as they
  // are.
  PacketBytes bytes(bool pcapng = false) const {
    PacketBytes out;
    if (pcapng) {
      const auto block = [&out](std::uint32_t type, PacketBytes body) {
        body.resize((body.size() + 3) / 4 * 4);
        for (std::uint32_t v : {type, static_cast<std::uint32_t>(body.size() + 12)}) putLE(out, v);
        out.insert(out.end(), body.begin(), body.end());
        putLE(out, static_cast<std::uint32_t>(body.size() + 12));
      };
      // The section (byte-order magic, version 1.0, length unknown), then one interface.
      block(0x0A0D0D0A,
            {0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
      PacketBytes description{static_cast<std::uint8_t>(linkType_),
                              static_cast<std::uint8_t>(linkType_ >> 8), 0, 0};
      putLE(description, snapLength_);
      block(1, std::move(description));
      for (const auto& [micros, frame] : records_) {
        PacketBytes body;
        const std::uint64_t n = frame.size(), kept = std::min<std::uint64_t>(n, snapLength_);
        for (std::uint64_t v : {std::uint64_t{0}, micros >> 32, micros & 0xFFFFFFFF, kept, n})
          putLE(body, static_cast<std::uint32_t>(v));
        body.insert(body.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(kept));
        block(6, std::move(body));
      }
      return out;
    }
    // Magic, version 2.4, time zone, accuracy, snap length, link type.
    for (std::uint32_t v : {0xa1b2c3d4u, 2u | 4u << 16, 0u, 0u, snapLength_, linkType_})
      putLE(out, v);
    for (const auto& [micros, frame] : records_) {
      const std::uint64_t n = frame.size(), seconds = 1'800'000'000 + micros / 1'000'000;
      const std::uint64_t kept = std::min<std::uint64_t>(n, snapLength_);
      for (std::uint64_t v : {seconds, micros % 1'000'000, kept, n})
        putLE(out, static_cast<std::uint32_t>(v));
      out.insert(out.end(), frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(kept));
    }
    return out;
  }

  void write(const std::string& path, bool pcapng = false) const {
    const PacketBytes data = bytes(pcapng);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
  }

 private:
  static void putLE(PacketBytes& out, std::uint32_t v) {  // little-endian files
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  struct Record {
    std::uint64_t micros;
    PacketBytes frame;
  };
  static constexpr std::uint32_t kPktapLength = 108;
  std::uint32_t linkType_;
  std::uint32_t snapLength_ = 262144;
  std::vector<Record> records_;
};

}  // namespace quillnest::testing
