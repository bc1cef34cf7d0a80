#include "hosts/common/flow_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "tests/common/fake_provider.h"
#include "tests/common/packet_builder.h"

namespace quillnest::hosts {
namespace {

using namespace std::chrono_literals;
using testing::FakeProvider;
using testing::PacketLayout;

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

class EngineTest : public ::testing::Test {
 protected:
  void make(FlowEngineOptions options = {}) {
    engine = std::make_unique<FlowEngine>(provider, options);
  }
  void SetUp() override { make(); }

  PacketLayout base(std::uint16_t port = 443, std::uint8_t protocol = kIpProtocolTCP) {
    PacketLayout layout;
    layout.destinationPort = port;
    layout.protocol = protocol;
    layout.sourcePort = clientPort;
    return layout;
  }
  PacketDecision send(const PacketLayout& layout, PacketHandle* handle = nullptr) {
    const Bytes bytes = testing::buildPacket(layout);
    const PacketHandle h = nextHandle++;
    if (handle) *handle = h;
    return engine->onOutboundIpPacket(h, bytes, now);
  }
  PacketDecision syn(std::uint16_t port = 443) {
    PacketLayout layout = base(port);
    layout.flags = kTcpSyn;
    layout.sequence = isn;
    return send(layout);
  }
  PacketDecision data(std::uint64_t offset, const Bytes& payload, PacketHandle* handle = nullptr,
                      std::uint8_t flags = kTcpAck | kTcpPsh) {
    PacketLayout layout = base();
    layout.flags = flags;
    layout.sequence = static_cast<std::uint32_t>(isn + 1 + offset);
    layout.payload = payload;
    return send(layout, handle);
  }
  PacketDecision data(std::uint64_t offset, std::string_view payload,
                      PacketHandle* handle = nullptr) {
    return data(offset, text(payload), handle);
  }
  ConnectionKey key(std::uint16_t port = 443) const {
    ConnectionKey k;
    k.protocol = kIpProtocolTCP;
    IpAddress::parse("10.0.0.1", k.local);
    IpAddress::parse("198.51.100.2", k.remote);
    k.localPort = clientPort;
    k.remotePort = port;
    return k;
  }
  std::string delivered() {
    return provider->locked([&] {
      std::string out;
      for (const auto& d : provider->deliveries) out.append(d.bytes.begin(), d.bytes.end());
      return out;
    });
  }

  std::shared_ptr<FakeProvider> provider = std::make_shared<FakeProvider>();
  std::unique_ptr<FlowEngine> engine;
  PacketHandle nextHandle = 1;
  std::uint32_t isn = 1000;
  std::uint16_t clientPort = 40000;
  EngineTime now{};
};

TEST_F(EngineTest, NewFlowCarriesTheRemoteEndpointAsText) {
  const PacketDecision d = syn(8080);
  EXPECT_EQ(d.action, PacketAction::accept);
  EXPECT_EQ(d.update.mark, ConnectionMark::allowed);
  ASSERT_EQ(provider->newFlows.size(), 1u);
  const auto& flow = static_cast<const NEFilterSocketFlow&>(*provider->newFlows[0]);
  auto endpoint = std::dynamic_pointer_cast<const NWHostEndpoint>(flow.remoteEndpoint());
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->hostname(), "198.51.100.2");
  EXPECT_EQ(endpoint->port(), "8080");
  EXPECT_EQ(flow.socketProtocol(), kProtocolTCP);
  EXPECT_FALSE(flow.URL().has_value());
  EXPECT_FALSE(flow.remoteHostname().has_value());
  EXPECT_EQ(engine->connectionForFlow(flow.identifier()), key(8080));

  // Later packets of the connection are answered from the table.
  PacketLayout more = base(8080);
  more.payload = text("GET / HTTP/1.1\r\n");
  EXPECT_EQ(send(more).action, PacketAction::accept);
  EXPECT_EQ(provider->newFlows.size(), 1u);
}

TEST_F(EngineTest, Ipv6EndpointHasNoBrackets) {
  PacketLayout layout = base(443, kIpProtocolUDP);
  layout.family = IpFamily::v6;
  layout.source = "2001:db8::1";
  layout.destination = "2001:db8::443";
  send(layout);
  ASSERT_EQ(provider->newFlows.size(), 1u);
  const auto& flow = static_cast<const NEFilterSocketFlow&>(*provider->newFlows[0]);
  auto endpoint = std::dynamic_pointer_cast<const NWHostEndpoint>(flow.remoteEndpoint());
  EXPECT_EQ(endpoint->hostname(), "2001:db8::443");
  EXPECT_EQ(flow.socketProtocol(), kProtocolUDP);
}

TEST_F(EngineTest, DroppedNewFlowIsReportedClosedOnceAndLingers) {
  const PacketDecision d = send(base(443, kIpProtocolUDP));
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_EQ(d.update.mark, ConnectionMark::dropped);
  EXPECT_FALSE(d.update.reset);  // nothing to reset on UDP
  ASSERT_EQ(provider->reports.size(), 1u);
  EXPECT_EQ(provider->reports[0].first, 3);
  EXPECT_EQ(engine->counters().udp443Drops, 1u);

  // A retry of the same datagram is dropped without a second flow.
  EXPECT_EQ(send(base(443, kIpProtocolUDP)).action, PacketAction::drop);
  EXPECT_EQ(provider->newFlows.size(), 1u);
  ConnectionKey udpKey = key();
  udpKey.protocol = kIpProtocolUDP;
  engine->onConnectionDestroyed(udpKey);
  EXPECT_EQ(provider->reports.size(), 1u);

  // Without a destroy event the entry leaves after the linger time.
  clientPort = 40001;
  send(base(443, kIpProtocolUDP));
  EXPECT_EQ(engine->counters().connections, 1u);
  now += 29s;
  engine->tick(now);
  EXPECT_EQ(engine->counters().connections, 1u);
  now += 1s;
  engine->tick(now);
  EXPECT_EQ(engine->counters().connections, 0u);
  EXPECT_EQ(provider->reports.size(), 2u);
}

TEST_F(EngineTest, DroppedTcpFlowWantsAReset) {
  provider->newFlowVerdict = [](const NEFilterSocketFlow&) {
    auto v = NEFilterNewFlowVerdict::dropVerdict();
    v->setShouldReport(false);
    return v;
  };
  const PacketDecision d = syn();
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_TRUE(d.update.reset);
  EXPECT_TRUE(provider->reports.empty());  // it did not ask for reports
}

TEST_F(EngineTest, InspectedFlowDeliversAndDrops) {
  const PacketDecision s = syn();
  EXPECT_EQ(s.action, PacketAction::accept);
  EXPECT_EQ(s.update.mark, ConnectionMark::inspect);
  const PacketDecision d = data(0, "hello blocked world!!");
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_TRUE(d.update.reset);
  EXPECT_EQ(d.update.mark, ConnectionMark::dropped);
  EXPECT_EQ(d.update.outcome, Outcome::dataDrop);
  ASSERT_EQ(provider->deliveries.size(), 1u);
  EXPECT_EQ(provider->deliveries[0].offset, 0u);
  EXPECT_EQ(engine->counters().inspectionsDropped, 1u);
  EXPECT_EQ(data(21, "more").action, PacketAction::drop);
}

// The hold policy: delivered bytes that leave the message incomplete are let go at once; the
// packet that completes it carries the verdict.
TEST_F(EngineTest, DeliveredPacketsOfAnIncompleteMessageAreReleased) {
  syn();
  for (std::uint64_t offset : {0, 5, 10}) {
    const PacketDecision d = data(offset, "aaaaa");
    EXPECT_EQ(d.action, PacketAction::accept) << offset;
    EXPECT_EQ(d.update.mark, ConnectionMark::inspect);
  }
  EXPECT_EQ(engine->counters().heldPackets, 0u);
  const PacketDecision last = data(15, "bbbbb");
  EXPECT_EQ(last.action, PacketAction::accept);
  EXPECT_EQ(last.update.mark, ConnectionMark::allowed);
  EXPECT_EQ(provider->orderViolations, 0);
  EXPECT_EQ(provider->deliveries.size(), 4u);
}

TEST_F(EngineTest, SegmentsBeyondAGapWaitForIt) {
  for (bool blocked : {false, true}) {
    clientPort = blocked ? 40001 : 40002;
    syn();
    PacketHandle held1 = 0, held2 = 0;
    EXPECT_EQ(data(10, blocked ? "blockedxxx" : "0123456789", &held1).action, PacketAction::hold);
    EXPECT_EQ(data(20, "tail", &held2).action, PacketAction::hold);
    EXPECT_EQ(engine->counters().heldPackets, 2u);
    const std::size_t before = provider->deliveries.size();
    const PacketDecision d = data(0, "abcdefghij");
    ASSERT_EQ(provider->deliveries.size(), before + 1);  // one delivery of all 24 bytes
    EXPECT_EQ(provider->deliveries.back().bytes.size(), 24u);
    if (blocked) {
      EXPECT_EQ(d.action, PacketAction::drop);
      EXPECT_EQ(d.update.discard, (std::vector<PacketHandle>{held1, held2}));
      EXPECT_TRUE(d.update.release.empty());
    } else {
      EXPECT_EQ(d.action, PacketAction::accept);
      EXPECT_EQ(d.update.release, (std::vector<PacketHandle>{held1, held2}));
    }
    EXPECT_EQ(engine->counters().heldPackets, 0u);
  }
}

TEST_F(EngineTest, OverlapsKeepTheFirstBytesAndRetransmitsPass) {
  provider->need = 100;
  syn();
  EXPECT_EQ(data(0, "abcde").action, PacketAction::accept);
  // A retransmission of delivered bytes goes out at once and reaches no one.
  EXPECT_EQ(data(0, "abcde").action, PacketAction::accept);
  EXPECT_EQ(data(3, "ZZfgh").action, PacketAction::accept);
  EXPECT_EQ(delivered(), "abcdefgh");
  EXPECT_EQ(provider->deliveries.back().offset, 5u);
  EXPECT_EQ(provider->orderViolations, 0);
}

TEST_F(EngineTest, SequenceWrapAround) {
  isn = 0xfffffff8u;
  syn();
  PacketHandle held = 0;
  EXPECT_EQ(data(10, "0123456789", &held).action, PacketAction::hold);  // sequence wrapped
  const PacketDecision d = data(0, "blocked!!!");
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_EQ(delivered(), "blocked!!!0123456789");
}

TEST_F(EngineTest, HoldExpiresAndFailsOpen) {
  syn();
  PacketHandle held = 0;
  EXPECT_EQ(data(10, "later", &held).action, PacketAction::hold);
  now += 1s;
  EXPECT_EQ(data(20, "more!").action, PacketAction::hold);  // new bytes: the bound restarts
  now += 1900ms;
  EXPECT_TRUE(engine->tick(now).empty());
  now += 100ms;
  const auto updates = engine->tick(now);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].release.size(), 2u);
  EXPECT_EQ(updates[0].release[0], held);
  EXPECT_EQ(updates[0].mark, ConnectionMark::allowed);
  EXPECT_EQ(updates[0].outcome, Outcome::holdExpired);
  EXPECT_EQ(provider->completes.size(), 1u);
  EXPECT_EQ(engine->counters().failOpenEvents, 1u);
  EXPECT_EQ(data(0, "blocked!!!!!!!!!!!!!!!").action, PacketAction::accept);
}

TEST_F(EngineTest, RetransmitsAloneDoNotKeepAHoldAlive) {
  syn();
  data(10, "later");
  for (int i = 0; i < 4; ++i) {
    now += 600ms;
    EXPECT_EQ(data(10, "later").action, PacketAction::hold);
  }
  EXPECT_EQ(engine->tick(now).size(), 1u);
}

TEST_F(EngineTest, PureAcksPassAndClientCloseSettles) {
  syn();
  EXPECT_EQ(data(0, Bytes{}).action, PacketAction::accept);
  EXPECT_TRUE(provider->deliveries.empty());
  data(0, "short");
  PacketHandle held = 0;
  data(10, "gap", &held);
  const PacketDecision fin = data(5, Bytes{}, nullptr, kTcpFin | kTcpAck);
  EXPECT_EQ(fin.action, PacketAction::accept);
  EXPECT_EQ(fin.update.mark, ConnectionMark::allowed);
  EXPECT_EQ(fin.update.outcome, Outcome::clientClosed);
  EXPECT_EQ(fin.update.release, std::vector<PacketHandle>{held});
  EXPECT_EQ(provider->completes.size(), 1u);
}

TEST_F(EngineTest, LimitsFailOpen) {
  FlowEngineOptions options;
  options.maxHeldPacketsPerConnection = 3;
  options.maxInspectedConnections = 1;
  make(options);
  syn();
  for (std::uint64_t offset : {10, 20, 30}) {
    EXPECT_EQ(data(offset, "x").action, PacketAction::hold);
  }
  const PacketDecision d = data(40, "x");
  EXPECT_EQ(d.action, PacketAction::accept);
  EXPECT_EQ(d.update.release.size(), 3u);
  EXPECT_EQ(d.update.outcome, Outcome::limitReached);

  clientPort = 40001;
  syn();  // now the one inspected slot is taken by 40001
  clientPort = 40002;
  const PacketDecision over = syn();
  EXPECT_EQ(over.action, PacketAction::accept);
  EXPECT_EQ(over.update.mark, ConnectionMark::allowed);
  EXPECT_EQ(over.update.outcome, Outcome::limitReached);
  EXPECT_EQ(engine->counters().failOpenEvents, 2u);
  EXPECT_EQ(engine->counters().inspectedConnections, 1u);
}

TEST_F(EngineTest, SegmentFarBeyondTheStreamFailsOpen) {
  syn();
  const PacketDecision d = data(10'000'000, "far away");
  EXPECT_EQ(d.action, PacketAction::accept);
  EXPECT_EQ(d.update.outcome, Outcome::limitReached);
}

// The SYN passed unjudged (queue overflow): the connection is read from its handshake's ACK.
TEST_F(EngineTest, ConnectionWithoutItsSynIsPickedUpAtItsFirstPacket) {
  PacketLayout ack = base();
  ack.flags = kTcpAck;
  ack.sequence = isn + 1;
  EXPECT_EQ(send(ack).update.mark, ConnectionMark::inspect);
  data(0, "first bytes");
  data(11, " and more");
  ASSERT_EQ(provider->deliveries.size(), 2u);
  EXPECT_EQ(provider->deliveries[0].offset, 0u);
  EXPECT_EQ(delivered(), "first bytes and more");
  // Or from its first data, when that is the first packet seen.
  clientPort = 40001;
  data(0, "hello");
  ASSERT_EQ(provider->deliveries.size(), 3u);
  EXPECT_EQ(provider->deliveries[2].offset, 0u);
  EXPECT_EQ(engine->counters().failOpenEvents, 0u);
}

TEST_F(EngineTest, DestroyReportsReleasesAndForgets) {
  syn();
  PacketHandle held = 0;
  data(10, "x", &held);
  const UUID id = provider->newFlows[0]->identifier();
  const ConnectionUpdate update = engine->onConnectionDestroyed(key());
  EXPECT_EQ(update.release, std::vector<PacketHandle>{held});
  ASSERT_EQ(provider->reports.size(), 1u);
  EXPECT_EQ(provider->reports[0], std::make_pair(std::int64_t{3}, id));
  EXPECT_FALSE(engine->connectionForFlow(id));
  EXPECT_EQ(engine->counters().connections, 0u);
  EXPECT_EQ(engine->counters().inspectedConnections, 0u);
  EXPECT_TRUE(engine->onConnectionDestroyed(key()).empty());
  EXPECT_EQ(provider->reports.size(), 1u);
  // The same 5-tuple later is a new connection.
  syn();
  EXPECT_EQ(provider->newFlows.size(), 2u);
}

TEST_F(EngineTest, DropFlowDiscardsHeldPackets) {
  syn();
  PacketHandle held = 0;
  data(10, "x", &held);
  const auto update = engine->dropFlow(provider->newFlows[0]->identifier());
  ASSERT_TRUE(update);
  EXPECT_EQ(update->discard, std::vector<PacketHandle>{held});
  EXPECT_TRUE(update->reset);
  EXPECT_EQ(update->mark, ConnectionMark::dropped);
  EXPECT_EQ(data(0, "abc").action, PacketAction::drop);
  EXPECT_FALSE(engine->dropFlow(UUID::random()));
}

TEST_F(EngineTest, UnparseablePacketsPass) {
  const Bytes junk{0x45, 0, 0};
  EXPECT_EQ(engine->onOutboundIpPacket(1, junk, now).action, PacketAction::accept);
  EXPECT_EQ(engine->counters().unparseablePackets, 1u);
  EXPECT_TRUE(provider->newFlows.empty());
}

// Several threads feed segments of the same connections in random order while the provider is
// slow: every packet ends with exactly one fate, the provider sees each stream in order, and the
// blocked streams end dropped.
TEST_F(EngineTest, ConcurrentPacketsOfOneConnection) {
  provider->delay = 200us;
  const std::string message = "client hello naming blocked.example, padded to some length";
  provider->need = message.size();
  constexpr int kConnections = 8;
  constexpr int kThreads = 4;
  constexpr std::size_t kPiece = 6;

  std::mutex fatesMutex;
  std::map<PacketHandle, int> fates;
  std::map<PacketHandle, PacketAction> finalAction;
  auto record = [&](PacketHandle h, const PacketDecision& d) {
    std::lock_guard lock(fatesMutex);
    if (d.action != PacketAction::hold) {
      ++fates[h];
      finalAction[h] = d.action;
    }
    for (auto r : d.update.release) ++fates[r], finalAction[r] = PacketAction::accept;
    for (auto r : d.update.discard) ++fates[r], finalAction[r] = PacketAction::drop;
  };
  for (int c = 0; c < kConnections; ++c) {
    clientPort = static_cast<std::uint16_t>(41000 + c);
    PacketHandle h = 0;
    PacketLayout layout = base();
    layout.flags = kTcpSyn;
    layout.sequence = isn;
    const PacketDecision d = send(layout, &h);
    record(h, d);
  }
  struct Job {
    PacketHandle handle;
    Bytes packet;
  };
  std::vector<Job> jobs;
  for (int c = 0; c < kConnections; ++c) {
    for (std::size_t at = 0; at < message.size(); at += kPiece) {
      PacketLayout layout = base();
      layout.sourcePort = static_cast<std::uint16_t>(41000 + c);
      layout.sequence = static_cast<std::uint32_t>(isn + 1 + at);
      layout.payload = text(message.substr(at, kPiece));
      jobs.push_back({nextHandle++, testing::buildPacket(layout)});
    }
  }
  std::shuffle(jobs.begin(), jobs.end(), std::mt19937(7));
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next.fetch_add(1)) < jobs.size();) {
        record(jobs[i].handle, engine->onOutboundIpPacket(jobs[i].handle, jobs[i].packet, now));
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& update : engine->tick(now + 10s)) {
    record(0, PacketDecision{PacketAction::hold, update});
  }
  for (PacketHandle h = 1; h < nextHandle; ++h) {
    EXPECT_EQ(fates[h], 1) << "handle " << h;
  }
  EXPECT_EQ(provider->orderViolations, 0);
  const auto counters = engine->counters();
  EXPECT_EQ(counters.inspectionsDropped, static_cast<std::uint64_t>(kConnections));
  EXPECT_EQ(counters.heldPackets, 0u);
  EXPECT_EQ(counters.failOpenEvents, 0u);
}

}  // namespace
}  // namespace quillnest::hosts
