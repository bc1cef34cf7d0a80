// The daemon's queue workers feed one table of DNS-over-TCP connections at once. Under
// ThreadSanitizer a connection read or changed outside the table's lock fails the run; each
// worker checks that its answers came out edited as one reader alone would edit them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "hosts/linux/dns/tcp_answer_stream.h"
#include "tests/common/packet_builder.h"

namespace quillnest::linuxhost::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One framed answer: www.blocked.example HTTPS, one record whose ech value is 8 bytes of 0xee.
Bytes blockedAnswer() {
  Bytes name;
  for (const char* label : {"www", "blocked", "example"}) {
    name.push_back(static_cast<std::uint8_t>(std::strlen(label)));
    name.insert(name.end(), label, label + std::strlen(label));
  }
  name.push_back(0);
  Bytes message = {0x12, 0x34, 0x81, 0x80, 0, 1, 0, 1, 0, 0, 0, 0};
  message.insert(message.end(), name.begin(), name.end());
  message.insert(message.end(), {0, 65, 0, 1});
  message.insert(message.end(), {0xc0, 12, 0, 65, 0, 1, 0, 0, 1, 0x2c, 0, 15});
  message.insert(message.end(), {0, 1, 0, 0, 5, 0, 8});  // priority 1, target ".", ech
  message.insert(message.end(), 8, 0xee);
  Bytes framed = {0, static_cast<std::uint8_t>(message.size())};
  framed.insert(framed.end(), message.begin(), message.end());
  return framed;
}

TEST(DnsStreamsConcurrency, WorkersShareOneTable) {
  TcpAnswerStreams streams;
  AnswerPolicy policy;
  policy.isBlocked = [](std::string_view name) { return name.ends_with("blocked.example"); };
  const Bytes answer = blockedAnswer();
  Bytes wanted = answer;
  const Bytes unusable = unusableEchConfigList(8);
  std::copy(unusable.begin(), unusable.end(), wanted.end() - 8);
  constexpr int kWorkers = 2, kConnections = 200;
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  auto worker = [&](int index) {
    const auto start = TcpAnswerStreams::Clock::now();
    for (int c = 0; c < kConnections; ++c) {
      testing::PacketLayout layout;
      layout.source = "198.51.100.53";
      layout.destination = "10.0.0.2";
      layout.protocol = hosts::kIpProtocolTCP;
      layout.sourcePort = 53;
      layout.destinationPort = static_cast<std::uint16_t>(20000 + index * kConnections + c);
      auto feed = [&](std::uint8_t flags, std::uint32_t sequence, Bytes payload) {
        layout.flags = flags;
        layout.sequence = sequence;
        layout.payload = std::move(payload);
        const Bytes packet = testing::buildPacket(layout);
        const auto parsed = hosts::parseIpPacket(packet);
        Bytes bytes(parsed.packet.payload.begin(), parsed.packet.payload.end());
        StreamCounts counts;
        streams.onSegment(parsed.packet, bytes, policy, start + std::chrono::seconds(c), counts);
        return bytes;
      };
      feed(hosts::kTcpSyn | hosts::kTcpAck, 1000, {});
      Bytes got;
      for (std::size_t at = 0; at < answer.size(); at += 17) {
        const Bytes piece(answer.begin() + at, answer.begin() + std::min(at + 17, answer.size()));
        const Bytes out = feed(hosts::kTcpAck, 1001 + static_cast<std::uint32_t>(at), piece);
        got.insert(got.end(), out.begin(), out.end());
      }
      if (got != wanted) ++wrong;
      feed(hosts::kTcpRst | hosts::kTcpAck, 1001 + static_cast<std::uint32_t>(answer.size()), {});
    }
  };
  std::thread watcher([&] {
    while (!done) {
      EXPECT_LE(streams.size(), std::size_t{kWorkers});
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < kWorkers; ++i) threads.emplace_back(worker, i);
  for (auto& thread : threads) thread.join();
  done = true;
  watcher.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(streams.size(), 0u);
}

}  // namespace
}  // namespace quillnest::linuxhost::dns
