// What the daemon counts of DNS answers and encrypted DNS, for status. Updated from every queue
// thread at once.
#pragma once

#include <atomic>
#include <cstdint>

#include "hosts/linux/dns/answer_packet.h"

namespace quillnest::linuxhost::dns {

struct DnsCounters {
  std::atomic<std::uint64_t> answersRead{0};
  std::atomic<std::uint64_t> answersUnparsed{0};
  std::atomic<std::uint64_t> echRemoved{0};
  std::atomic<std::uint64_t> portsRewritten{0};
  std::atomic<std::uint64_t> canariesAnswered{0};
  std::atomic<std::uint64_t> encryptedDnsDrops{0};     // packets to port 853
  std::atomic<std::uint64_t> resolverAddressDrops{0};  // to port 443 of a resolver's address
  std::atomic<std::uint64_t> tcpSegmentsDropped{0};    // DNS-over-TCP, for the server to resend

  struct Snapshot {
    std::uint64_t answersRead = 0;
    std::uint64_t answersUnparsed = 0;
    std::uint64_t echRemoved = 0;
    std::uint64_t portsRewritten = 0;
    std::uint64_t canariesAnswered = 0;
    std::uint64_t encryptedDnsDrops = 0;
    std::uint64_t tcpSegmentsDropped = 0;
    std::uint64_t resolverAddressDrops = 0;
  };

  void add(const PacketEdit& edit) {
    constexpr auto relaxed = std::memory_order_relaxed;
    if (edit.answersRead) answersRead.fetch_add(edit.answersRead, relaxed);
    if (edit.unparsed) answersUnparsed.fetch_add(edit.unparsed, relaxed);
    if (edit.echRemoved) echRemoved.fetch_add(edit.echRemoved, relaxed);
    if (edit.portsRewritten) portsRewritten.fetch_add(edit.portsRewritten, relaxed);
    if (edit.canariesAnswered) canariesAnswered.fetch_add(edit.canariesAnswered, relaxed);
    if (edit.drop) tcpSegmentsDropped.fetch_add(1, relaxed);
  }

  Snapshot snapshot() const {
    constexpr auto relaxed = std::memory_order_relaxed;
    return {answersRead.load(relaxed),        answersUnparsed.load(relaxed),
            echRemoved.load(relaxed),         portsRewritten.load(relaxed),
            canariesAnswered.load(relaxed),   encryptedDnsDrops.load(relaxed),
            tcpSegmentsDropped.load(relaxed), resolverAddressDrops.load(relaxed)};
  }
};

}  // namespace quillnest::linuxhost::dns
