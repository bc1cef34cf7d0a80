// The engine in front of the real provider: rules decide, the engine turns that into packets.
#include <gtest/gtest.h>

#include "hosts/common/flow_engine.h"
#include "provider/filter_data_provider.h"
#include "tests/common/packet_builder.h"
#include "tests/support/recording_host.h"

namespace quillnest::hosts {
namespace {

using testing::PacketSpec;

class ProviderEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_shared<testing::RecordingHost>();
    provider = FilterDataProvider::init(host);
    host->setRulesJSON(testing::rulesJSON(true, {"blocked.example"}));
    provider->startFilterWithCompletionHandler([](ErrorRef) {});
    host->completeSettings(nullptr);
    host->clearRecords();
    engine = std::make_unique<FlowEngine>(provider);
  }
  void TearDown() override { EXPECT_EQ(host->lockViolations(), 0); }

  PacketDecision send(PacketSpec layout) {
    layout.sourcePort = clientPort;
    const Bytes bytes = testing::buildPacket(layout);
    return engine->onOutboundIpPacket(nextHandle++, bytes, now);
  }
  PacketDecision syn(std::uint16_t port = 443) {
    PacketSpec layout;
    layout.destinationPort = port;
    layout.flags = kTcpSyn;
    layout.sequence = isn;
    return send(layout);
  }
  PacketDecision segment(const Bytes& stream, std::size_t from, std::size_t to) {
    PacketSpec layout;
    layout.sequence = static_cast<std::uint32_t>(isn + 1 + from);
    layout.flags = kTcpAck | kTcpPsh;
    layout.payload.assign(stream.begin() + static_cast<std::ptrdiff_t>(from),
                        stream.begin() + static_cast<std::ptrdiff_t>(to));
    return send(layout);
  }

  std::shared_ptr<testing::RecordingHost> host;
  std::shared_ptr<FilterDataProvider> provider;
  std::unique_ptr<FlowEngine> engine;
  PacketHandle nextHandle = 1;
  std::uint32_t isn = 0x7ffffff0u;
  std::uint16_t clientPort = 40000;
  EngineTime now{};
};

TEST_F(ProviderEngineTest, BlockedServerNameInTheSecondSegmentDropsAndResets) {
  const Bytes hello = testing::makeClientHello("www.blocked.example", 1500);
  EXPECT_EQ(syn().update.mark, ConnectionMark::inspect);
  const PacketDecision first = segment(hello, 0, 1400);
  EXPECT_EQ(first.action, PacketAction::accept);  // incomplete: let it go
  const PacketDecision second = segment(hello, 1400, hello.size());
  EXPECT_EQ(second.action, PacketAction::drop);
  EXPECT_TRUE(second.update.reset);
  EXPECT_EQ(second.update.mark, ConnectionMark::dropped);
  EXPECT_EQ(host->notifications(), std::vector<std::string>{"com.quillnest.mac.blocked"});
  EXPECT_EQ(provider->outboundBufferCount(), 0u);

  engine->onConnectionDestroyed(engine->connections().at(0));
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

TEST_F(ProviderEngineTest, AllowedServerNameReleasesHeldSegments) {
  const Bytes hello = testing::makeClientHello("www.example.org", 1500);
  syn();
  // Second half first: held behind the gap.
  EXPECT_EQ(segment(hello, 800, hello.size()).action, PacketAction::hold);
  const PacketDecision first = segment(hello, 0, 800);
  EXPECT_EQ(first.action, PacketAction::accept);
  EXPECT_EQ(first.update.release.size(), 1u);
  EXPECT_EQ(first.update.mark, ConnectionMark::allowed);
  EXPECT_TRUE(host->notifications().empty());
}

TEST_F(ProviderEngineTest, OneByteAtATimeIsNeverHeld) {
  const Bytes hello = testing::makeClientHello("a.blocked.example", 200);
  syn();
  for (std::size_t i = 0; i + 1 < hello.size(); ++i) {
    ASSERT_EQ(segment(hello, i, i + 1).action, PacketAction::accept) << i;
  }
  EXPECT_EQ(segment(hello, hello.size() - 1, hello.size()).action, PacketAction::drop);
  EXPECT_EQ(engine->counters().failOpenEvents, 0u);
}

TEST_F(ProviderEngineTest, Udp443DroppedPort80Allowed) {
  PacketSpec quic;
  quic.protocol = kIpProtocolUDP;
  quic.payload = Bytes(1200, 0xc0);
  EXPECT_EQ(send(quic).action, PacketAction::drop);
  clientPort = 40001;
  const PacketDecision http = syn(80);
  EXPECT_EQ(http.action, PacketAction::accept);
  EXPECT_EQ(http.update.mark, ConnectionMark::allowed);
  clientPort = 40002;
  EXPECT_EQ(syn(8443).update.mark, ConnectionMark::allowed);
  EXPECT_EQ(engine->counters().udp443Drops, 1u);
  // The UDP flow was reported closed at once; the port 80 one waits for its destroy event.
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);
  for (const auto& key : engine->connections()) engine->onConnectionDestroyed(key);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

TEST_F(ProviderEngineTest, NonTlsBytesOn443AreAllowed) {
  syn();
  Bytes request{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1'};
  PacketSpec layout;
  layout.sequence = isn + 1;
  layout.payload = request;
  const PacketDecision d = send(layout);
  EXPECT_EQ(d.action, PacketAction::accept);
  EXPECT_EQ(d.update.settlement, Settlement::dataAllow);
}

TEST_F(ProviderEngineTest, RulesChangeDropThroughUpdateFlow) {
  syn(80);
  const auto flows = engine->connections();
  ASSERT_EQ(flows.size(), 1u);
  host->changeRulesJSON(testing::rulesJSON(true, {"other.example"}));
  const auto updates = host->updates();
  ASSERT_EQ(updates.size(), 1u);
  const auto update = engine->dropFlow(updates[0].flow->identifier());
  ASSERT_TRUE(update);
  EXPECT_EQ(update->key, flows[0]);
  EXPECT_TRUE(update->reset);
}

}  // namespace
}  // namespace quillnest::hosts
