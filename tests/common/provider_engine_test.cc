// The engine in front of the real provider: rules decide, the engine turns that into packets.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "hosts/common/flow_engine.h"
#include "provider/filter_data_provider.h"
#include "tests/common/packet_builder.h"
#include "tests/support/recording_host.h"

namespace quillnest::hosts {
namespace {

using testing::PacketLayout;

// Keeps the flows the engine hands to handleNewFlow (tests run the engine on one thread).
struct FlowRecorder : FlowEngineObserver {
  void newFlow(const ConnectionKey&, const FlowRef& flow, const NEFilterNewFlowVerdict&,
               EngineTime) override {
    flows.push_back(flow);
  }
  std::vector<FlowRef> flows;
};

class ProviderEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_shared<testing::RecordingHost>();
    provider = FilterDataProvider::init(host);
    host->setRulesJSON(testing::rulesJSON(true, {"blocked.example"}));
    provider->startFilterWithCompletionHandler([](ErrorRef) {});
    host->completeSettings(nullptr);
    host->clearRecords();
    makeEngine({});
  }
  void makeEngine(FlowEngineOptions options) {
    engine = std::make_unique<FlowEngine>(provider, options);
    engine->setObserver(observer);
  }
  std::vector<FlowRef> newFlows() const { return observer->flows; }
  void TearDown() override { EXPECT_EQ(host->lockViolations(), 0); }

  // corrupt: flip one payload byte after the checksum was computed.
  PacketDecision send(PacketLayout layout, bool checksumComplete = false, bool corrupt = false) {
    layout.sourcePort = clientPort;
    Bytes bytes = testing::buildPacket(layout);
    if (corrupt) bytes.back() ^= 0x20;
    return engine->onOutboundIpPacket(nextHandle++, bytes, now, checksumComplete);
  }
  PacketDecision syn(std::uint16_t port = 443) {
    serverPort = port;
    PacketLayout layout;
    layout.destinationPort = port;
    layout.flags = kTcpSyn;
    layout.sequence = isn;
    return send(layout);
  }
  PacketDecision segment(const Bytes& stream, std::size_t from, std::size_t to,
                         bool checksumComplete = false, bool corrupt = false) {
    PacketLayout layout;
    layout.destinationPort = serverPort;
    layout.sequence = static_cast<std::uint32_t>(isn + 1 + from);
    layout.flags = kTcpAck | kTcpPsh;
    layout.payload.assign(stream.begin() + static_cast<std::ptrdiff_t>(from),
                          stream.begin() + static_cast<std::ptrdiff_t>(to));
    return send(layout, checksumComplete, corrupt);
  }

  static Bytes head(std::string_view name) {
    const std::string text = "GET / HTTP/1.1\r\nHost: " + std::string(name) + "\r\n\r\n";
    return Bytes(text.begin(), text.end());
  }

  std::shared_ptr<testing::RecordingHost> host;
  std::shared_ptr<FilterDataProvider> provider;
  std::shared_ptr<FlowRecorder> observer = std::make_shared<FlowRecorder>();
  std::unique_ptr<FlowEngine> engine;
  PacketHandle nextHandle = 1;
  std::uint32_t isn = 0x7ffffff0u;
  std::uint16_t clientPort = 40000;
  std::uint16_t serverPort = 443;  // of the last syn()
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

TEST_F(ProviderEngineTest, Udp443DroppedOtherPortsAllowed) {
  PacketLayout quic;
  quic.protocol = kIpProtocolUDP;
  quic.payload = Bytes(1200, 0xc0);
  EXPECT_EQ(send(quic).action, PacketAction::drop);
  clientPort = 40001;
  EXPECT_EQ(syn(8443).update.mark, ConnectionMark::allowed);
  EXPECT_EQ(engine->counters().udp443Drops, 1u);
  // The UDP flow was reported closed at once; a web flow waits for its destroy event.
  clientPort = 40002;
  syn(80);
  EXPECT_EQ(segment(head("www.example.org"), 0, head("www.example.org").size()).update.mark,
            ConnectionMark::inspect);
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);
  for (const auto& key : engine->connections()) engine->onConnectionDestroyed(key);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

TEST_F(ProviderEngineTest, NonTlsBytesOn443AreAllowed) {
  syn();
  Bytes request{'G', 'E', 'T', ' ', '/', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '1'};
  PacketLayout layout;
  layout.sequence = isn + 1;
  layout.payload = request;
  const PacketDecision d = send(layout);
  EXPECT_EQ(d.action, PacketAction::accept);
  EXPECT_EQ(d.update.outcome, Outcome::dataAllow);
}

TEST_F(ProviderEngineTest, RulesChangeDropThroughUpdateFlow) {
  syn(80);
  const Bytes request = head("www.example.org");
  segment(request, 0, request.size());
  const auto flows = engine->connections();
  ASSERT_EQ(flows.size(), 1u);
  host->changeRulesJSON(testing::rulesJSON(true, {"example.org"}));
  const auto updates = host->updates();
  ASSERT_EQ(updates.size(), 1u);
  const auto update = engine->dropFlow(updates[0].flow->identifier());
  ASSERT_TRUE(update);
  EXPECT_EQ(update->key, flows[0]);
  EXPECT_TRUE(update->reset);
}

// Port-80 connections: the request head names the flow before it is judged.
struct HttpCase {
  const char* name;
  std::string stream;
  // Segments as [from, to) of the stream, in the order sent; the last one settles the flow.
  std::vector<std::pair<std::size_t, std::size_t>> segments;
  PacketAction last;         // the settling segment's own action
  ConnectionMark mark;       // the connection's mark after it
  std::string urlHost;       // the flow's URL host; empty: judged without a URL
  std::size_t released = 0;  // earlier held segments released (or discarded) with it
  std::optional<HttpUnnamedReason> reason = std::nullopt;
};

std::string request(std::string_view host) {
  return "GET /page?q=1 HTTP/1.1\r\nHost: " + std::string(host) +
         "\r\nUser-Agent: test\r\nAccept: */*\r\n\r\n";
}

const std::vector<HttpCase>& httpCases() {
  using enum PacketAction;
  using M = ConnectionMark;
  using R = HttpUnnamedReason;
  static const std::string blocked = request("blocked.example");
  static const std::string sub = request("WWW.Blocked.Example.");
  static const std::string allowed = request("www.example.org");
  static const std::string big =
      "GET / HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\nHost: blocked.example\r\n\r\n";
  static const std::vector<HttpCase> cases = {
      {"blocked_one_segment", blocked, {{0, blocked.size()}}, drop, M::dropped, "blocked.example"},
      {"subdomain_upper_case_trailing_dot",
       sub,
       {{0, sub.size()}},
       drop,
       M::dropped,
       "WWW.Blocked.Example."},
      // An allowed request leaves the connection inspected: later requests are judged too.
      {"allowed", allowed, {{0, allowed.size()}}, accept, M::inspect, "www.example.org"},
      // The first piece is read and let go; the piece that completes Host is judged.
      {"split_at_host",
       blocked,
       {{0, 20}, {20, 40}, {40, blocked.size()}},
       drop,
       M::dropped,
       "blocked.example"},
      // The second half waits behind the gap; the first fills it and both are judged.
      {"out_of_order",
       blocked,
       {{30, blocked.size()}, {0, 30}},
       drop,
       M::dropped,
       "blocked.example",
       1},
      {"out_of_order_allowed",
       allowed,
       {{30, allowed.size()}, {0, 30}},
       accept,
       M::inspect,
       "www.example.org",
       1},
      // A retransmission of read bytes changes nothing.
      {"retransmitted_piece",
       blocked,
       {{0, 30}, {0, 30}, {30, blocked.size()}},
       drop,
       M::dropped,
       "blocked.example"},
      {"http10_without_host",
       "GET / HTTP/1.0\r\n\r\n",
       {{0, 18}},
       accept,
       M::inspect,
       "",
       0,
       R::missingHost},
      {"not_http",
       std::string("\x16\x03\x01\x00\x05hello", 10),
       {{0, 10}},
       accept,
       M::allowed,
       "",
       0,
       R::notHttp},
      {"http2_prior_knowledge",
       "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n",
       {{0, 24}},
       accept,
       M::allowed,
       "",
       0,
       R::http2PriorKnowledge},
      {"oversize_head",
       big,
       {{0, 1400}, {1400, 2800}, {2800, 4200}, {4200, 5600}, {5600, 7000}, {7000, big.size()}},
       accept,
       M::allowed,
       "",
       0,
       R::headTooLarge},
  };
  return cases;
}

class HttpEngineTest : public ProviderEngineTest, public ::testing::WithParamInterface<HttpCase> {};

TEST_P(HttpEngineTest, RequestHeadNamesTheFlow) {
  const HttpCase& c = GetParam();
  const Bytes stream(c.stream.begin(), c.stream.end());
  const PacketDecision opened = syn(80);
  EXPECT_EQ(opened.action, PacketAction::accept);
  EXPECT_EQ(opened.update.mark, ConnectionMark::inspect);
  EXPECT_TRUE(newFlows().empty()) << "judged before its request";
  PacketDecision d;
  for (std::size_t i = 0; i < c.segments.size(); ++i) {
    d = segment(stream, c.segments[i].first, c.segments[i].second);
    if (i + 1 < c.segments.size()) {
      EXPECT_NE(d.update.mark, ConnectionMark::allowed) << "settled early at segment " << i;
      EXPECT_NE(d.update.mark, ConnectionMark::dropped) << "settled early at segment " << i;
    }
  }
  EXPECT_EQ(d.action, c.last);
  EXPECT_EQ(d.update.mark, c.mark);
  EXPECT_EQ(d.update.reset, c.mark == ConnectionMark::dropped);
  EXPECT_EQ(d.update.release.size() + d.update.discard.size(), c.released);
  if (c.mark == ConnectionMark::dropped) {
    EXPECT_EQ(d.update.release.size(), 0u);
  }

  const auto flows = newFlows();
  ASSERT_EQ(flows.size(), 1u);
  const auto& url = flows[0]->URL();
  if (c.urlHost.empty()) {
    EXPECT_FALSE(url.has_value());
    const auto counters = engine->counters();
    EXPECT_EQ(counters.httpNamed, 0u);
    EXPECT_EQ(counters.httpUnnamed[static_cast<std::size_t>(*c.reason)], 1u);
  } else {
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->host, c.urlHost);
    EXPECT_EQ(url->absoluteString, "http://" + c.urlHost + "/page?q=1");
    EXPECT_EQ(engine->counters().httpNamed, 1u);
  }
  EXPECT_EQ(engine->counters().httpWaiting, 0u);
  // The flow is a web flow like any other: it stays until its connection is gone.
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);
  engine->onConnectionDestroyed(engine->connections().at(0));
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_TRUE(engine->connections().empty());
}

INSTANTIATE_TEST_SUITE_P(Requests, HttpEngineTest, ::testing::ValuesIn(httpCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProviderEngineTest, SilentHttpClientIsJudgedWithoutANameAfterTheHoldBound) {
  syn(80);
  PacketLayout ack;
  ack.destinationPort = 80;
  ack.sequence = isn + 1;
  ack.flags = kTcpAck;
  EXPECT_EQ(send(ack).action, PacketAction::accept);  // the handshake's ACK is never held
  now += std::chrono::milliseconds(1999);
  EXPECT_TRUE(engine->tick(now).empty());
  now += std::chrono::milliseconds(1);
  const auto updates = engine->tick(now);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].mark, ConnectionMark::inspect);
  ASSERT_EQ(newFlows().size(), 1u);
  EXPECT_FALSE(newFlows()[0]->URL().has_value());
  EXPECT_EQ(engine->counters().httpUnnamed[static_cast<std::size_t>(HttpUnnamedReason::timedOut)],
            1u);
  // The request that comes after that is still read and judged.
  const Bytes late = head("blocked.example");
  EXPECT_EQ(segment(late, 0, late.size()).action, PacketAction::drop);
}

TEST_F(ProviderEngineTest, HttpConnectionEndedBeforeItsRequestIsStillAFlowAndReported) {
  syn(80);  // this one's connection goes away (destroy event)
  clientPort = 40001;
  syn(80);  // this one's client closes
  PacketLayout fin;
  fin.destinationPort = 80;
  fin.sequence = isn + 1;
  fin.flags = kTcpAck | kTcpFin;
  const PacketDecision closed = send(fin);
  EXPECT_EQ(closed.action, PacketAction::accept);
  EXPECT_EQ(closed.update.mark, ConnectionMark::allowed);
  for (const auto& key : engine->connections()) {
    if (key.localPort == 40000) {
      EXPECT_TRUE(engine->onConnectionDestroyed(key).flow);
    }
  }
  EXPECT_EQ(newFlows().size(), 2u);
  EXPECT_EQ(
      engine->counters().httpUnnamed[static_cast<std::size_t>(HttpUnnamedReason::closedFirst)], 2u);
  EXPECT_EQ(provider->activeWebFlowCount(), 1u);  // the closed one waits for its destroy event
  for (const auto& key : engine->connections()) engine->onConnectionDestroyed(key);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_TRUE(engine->connections().empty());
}

// Evasion: a copy the server drops (bad checksum) or two different copies of the same bytes.
TEST_F(ProviderEngineTest, CopyWithABadChecksumIsNeverRead) {
  const Bytes decoy = testing::makeClientHello("www.example.org", 600);
  const Bytes real = testing::makeClientHello("www.blocked.example", 600);
  syn();
  // The whole allowed hello with a wrong checksum: the server's kernel drops it, so must we.
  const PacketDecision bad = segment(decoy, 0, decoy.size(), true, true);
  EXPECT_EQ(bad.action, PacketAction::accept);
  EXPECT_EQ(bad.update.mark, ConnectionMark::none);
  EXPECT_EQ(engine->counters().badChecksums, 1u);
  const PacketDecision good = segment(real, 0, real.size(), true);
  EXPECT_EQ(good.action, PacketAction::drop);
  EXPECT_EQ(good.update.outcome, Outcome::dataDrop);
  // Checksums left to offload (locally sent packets) are not checked.
  clientPort = 40001;
  syn();
  EXPECT_EQ(segment(real, 0, real.size(), false, true).action, PacketAction::drop);
}

TEST_F(ProviderEngineTest, DifferentCopiesOfHeldBytesDropTheConnection) {
  const Bytes first = testing::makeClientHello("www.example.org", 600);
  Bytes second = first;  // the same hello with other bytes where the held copy lies
  for (std::size_t i = 300; i < 400; ++i) second[i] ^= 0xff;
  syn();
  EXPECT_EQ(segment(first, 300, 400).action, PacketAction::hold);  // beyond the gap
  const PacketDecision d = segment(second, 250, 500);              // overlaps it, other bytes
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_TRUE(d.update.reset);
  EXPECT_EQ(d.update.mark, ConnectionMark::dropped);
  EXPECT_EQ(d.update.outcome, Outcome::conflictingData);
  EXPECT_EQ(d.update.discard.size(), 1u);
  EXPECT_EQ(engine->counters().conflictingStreams, 1u);
  // The same bytes again are an ordinary retransmission.
  clientPort = 40001;
  syn();
  EXPECT_EQ(segment(second, 300, 400).action, PacketAction::hold);
  EXPECT_EQ(segment(second, 250, 500).action, PacketAction::hold);
  EXPECT_EQ(segment(second, 0, 250).action, PacketAction::accept);
}

TEST_F(ProviderEngineTest, DifferentCopiesOfARequestHeadDropTheConnection) {
  const std::string allowed = "GET / HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
  const std::string blocked = "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n";
  syn(80);
  EXPECT_EQ(segment(Bytes(allowed.begin(), allowed.end()), 20, 30).action, PacketAction::hold);
  const PacketDecision d = segment(Bytes(blocked.begin(), blocked.end()), 16, blocked.size());
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_EQ(d.update.outcome, Outcome::conflictingData);
  EXPECT_EQ(engine->counters().httpWaiting, 0u);
}

// Unfinished ClientHellos cannot keep the inspection table full: the longest idle make room.
TEST_F(ProviderEngineTest, LongestIdleInspectionsAreDroppedToMakeRoomAtTheCap) {
  FlowEngineOptions options;
  options.maxInspectedConnections = 16;
  makeEngine(options);
  const Bytes hello = testing::makeClientHello("www.example.org", 600);
  for (std::uint16_t i = 0; i < 16; ++i) {
    clientPort = static_cast<std::uint16_t>(40000 + i);
    syn();
    EXPECT_EQ(segment(hello, 0, 5).action, PacketAction::accept);  // a record header, no more
    now += std::chrono::milliseconds(10);
  }
  // The newcomer is read; the two that waited longest (an eighth) are reset at the next tick.
  clientPort = 41000;
  EXPECT_EQ(syn().update.mark, ConnectionMark::inspect);
  const auto updates = engine->tick(now);
  ASSERT_EQ(updates.size(), 2u);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].key.localPort, 40000 + i);
    EXPECT_EQ(updates[i].mark, ConnectionMark::dropped);
    EXPECT_TRUE(updates[i].reset);
    EXPECT_EQ(updates[i].outcome, Outcome::evicted);
  }
  EXPECT_EQ(engine->counters().evictions, 2u);
  EXPECT_EQ(engine->counters().inspectedConnections, 15u);
  const Bytes blocked = testing::makeClientHello("a.blocked.example", 600);
  const PacketDecision judged = segment(blocked, 0, blocked.size());
  EXPECT_EQ(judged.action, PacketAction::drop) << outcomeText(judged.update.outcome);
  // One that just got its bytes is not a candidate: with none idle, newcomers fail open.
  options.maxInspectedConnections = 1;
  makeEngine(options);
  clientPort = 42000;
  syn();
  segment(hello, 0, 5);
  clientPort = 42001;
  EXPECT_EQ(syn().update.outcome, Outcome::limitReached);
}

TEST_F(ProviderEngineTest, HttpPickedUpWithoutItsSynIsStillNamed) {
  serverPort = 80;
  const Bytes request = head("blocked.example");
  const PacketDecision d = segment(request, 0, request.size());
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_EQ(d.update.mark, ConnectionMark::dropped);
  EXPECT_EQ(engine->counters().httpNamed, 1u);
}

TEST_F(ProviderEngineTest, HttpNamingCanBeTurnedOff) {
  FlowEngineOptions options;
  options.nameHttpFlows = false;
  makeEngine(options);
  EXPECT_EQ(syn(80).update.mark, ConnectionMark::allowed);
}

// Packet tricks: each sends bytes the server's TCP takes differently from what a naive reader
// assumes. The blocked name must never get through, whatever came first.
struct Piece {
  enum Kind { allowedHello, blockedHello, changeCipherSpec, alert };
  Kind kind;
  std::int64_t offset = 0;  // stream offset of the piece's first byte
  std::uint8_t flags = kTcpAck | kTcpPsh;
  std::optional<std::uint32_t> timestamp = 120;
  bool md5 = false;
  bool onSyn = false;  // carried by the SYN itself
};

struct TrickCase {
  const char* name;
  std::vector<Piece> pieces;  // after a SYN with timestamp 100 (unless a piece rides on it)
  PacketAction last;          // the last piece's own action
  ConnectionMark mark;
  Outcome outcome;  // of the last piece's update
};

Bytes pieceBytes(Piece::Kind kind) {
  switch (kind) {
    case Piece::allowedHello:
      return testing::makeClientHello("www.example.org");
    case Piece::blockedHello:
      return testing::makeClientHello("www.blocked.example");
    case Piece::changeCipherSpec:
      return {20, 3, 3, 0, 1, 1};
    case Piece::alert:
      return {21, 3, 3, 0, 2, 1, 0};
  }
  return {};
}

const std::vector<TrickCase>& trickCases() {
  using P = Piece;
  using enum PacketAction;
  using M = ConnectionMark;
  static const std::size_t ccs = pieceBytes(P::changeCipherSpec).size();
  static const std::size_t alert = pieceBytes(P::alert).size();
  static const std::vector<TrickCase> cases = {
      // SYN data to a server without Fast Open is thrown away; the client sends again.
      {"syn_data_allowed_then_blocked",
       {{P::allowedHello, 0, kTcpSyn, 100, false, true}, {P::blockedHello}},
       drop, M::dropped, Outcome::conflictingData},
      {"syn_data_allowed_confirmed_by_the_same_bytes",
       {{P::allowedHello, 0, kTcpSyn, 100, false, true}, {P::allowedHello}},
       accept, M::allowed, Outcome::dataAllow},
      {"syn_data_blocked", {{P::blockedHello, 0, kTcpSyn, 100, false, true}}, drop, M::dropped,
       Outcome::dataDrop},
      // Copies the server's TCP throws away are dropped unread; the real one is judged.
      {"md5_fake_then_real", {{P::allowedHello, 0, kTcpAck, 120, true}, {P::blockedHello}}, drop,
       M::dropped, Outcome::dataDrop},
      {"old_timestamp_fake_then_real",
       {{P::allowedHello, 0, kTcpAck, 50}, {P::blockedHello, 0, kTcpAck, 130}}, drop, M::dropped,
       Outcome::dataDrop},
      {"no_ack_fake_then_real", {{P::allowedHello, 0, kTcpPsh}, {P::blockedHello}}, drop,
       M::dropped, Outcome::dataDrop},
      // A timestamp one tick behind is still taken (PAWS allows that much disorder).
      {"timestamp_one_behind_is_read", {{P::blockedHello, 0, kTcpAck, 99}}, drop, M::dropped,
       Outcome::dataDrop},
      {"no_timestamp_after_timestamps_is_read", {{P::blockedHello, 0, kTcpAck, std::nullopt}},
       drop, M::dropped, Outcome::dataDrop},
      // Records a lenient server reads past before the ClientHello.
      {"change_cipher_spec_then_blocked",
       {{P::changeCipherSpec}, {P::blockedHello, std::int64_t(ccs)}}, drop, M::dropped,
       Outcome::dataDrop},
      {"alert_and_change_cipher_spec_then_allowed",
       {{P::alert}, {P::changeCipherSpec, std::int64_t(alert)},
        {P::allowedHello, std::int64_t(alert + ccs)}},
       accept, M::allowed, Outcome::dataAllow},
  };
  return cases;
}

class TrickTest : public ProviderEngineTest, public ::testing::WithParamInterface<TrickCase> {
 protected:
  PacketDecision sendPiece(const Piece& piece) {
    PacketLayout layout;
    layout.flags = piece.flags;
    layout.sequence = static_cast<std::uint32_t>(isn + (piece.onSyn ? 0 : 1) + piece.offset);
    layout.payload = pieceBytes(piece.kind);
    if (piece.timestamp) layout.tcpOptionBytes = testing::timestampOption(*piece.timestamp);
    if (piece.md5) {
      const Bytes md5 = testing::md5Option();
      layout.tcpOptionBytes.insert(layout.tcpOptionBytes.end(), md5.begin(), md5.end());
    }
    return send(layout);
  }
};

TEST_P(TrickTest, BlockedNameNeverPasses) {
  const TrickCase& c = GetParam();
  if (!c.pieces.front().onSyn) {
    PacketLayout layout;
    layout.flags = kTcpSyn;
    layout.sequence = isn;
    layout.tcpOptionBytes = testing::timestampOption(100);
    send(layout);
  }
  PacketDecision d;
  for (const Piece& piece : c.pieces) d = sendPiece(piece);
  EXPECT_EQ(d.action, c.last);
  EXPECT_EQ(d.update.mark, c.mark);
  EXPECT_EQ(d.update.outcome, c.outcome) << outcomeText(d.update.outcome);
  EXPECT_EQ(d.update.reset, c.mark == ConnectionMark::dropped);
}

INSTANTIATE_TEST_SUITE_P(Tricks, TrickTest, ::testing::ValuesIn(trickCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProviderEngineTest, TooManyRecordsBeforeTheClientHelloDropTheConnection) {
  syn();
  Bytes stream;
  for (unsigned i = 0; i <= kMaxPrefaceRecords; ++i) {
    const Bytes record = pieceBytes(Piece::changeCipherSpec);
    stream.insert(stream.end(), record.begin(), record.end());
  }
  const PacketDecision d = segment(stream, 0, stream.size());
  EXPECT_EQ(d.action, PacketAction::drop);
  EXPECT_EQ(d.update.outcome, Outcome::tlsPrefaceRecords);
}

TEST_F(ProviderEngineTest, RefusedSegmentsAreCountedByReason) {
  syn();
  const Bytes hello = testing::makeClientHello("www.example.org");
  PacketLayout layout;
  layout.sequence = isn + 1;
  layout.payload = hello;
  layout.flags = kTcpPsh;
  EXPECT_EQ(send(layout).action, PacketAction::drop);
  layout.flags = kTcpAck;
  layout.tcpOptionBytes = testing::md5Option();
  EXPECT_EQ(send(layout).action, PacketAction::drop);
  const auto counters = engine->counters();
  EXPECT_EQ(counters.refusedSegments[static_cast<std::size_t>(SegmentRefusal::noAck)], 1u);
  EXPECT_EQ(counters.refusedSegments[static_cast<std::size_t>(SegmentRefusal::signatureMismatch)],
            1u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);  // nothing of them was read
}

// Every request of a port-80 connection is judged.
struct KeepAliveCase {
  const char* name;
  std::vector<std::string> segments;  // sent in order, back to back in the stream
  PacketAction last;
  ConnectionMark mark;
  std::size_t flows;  // requests judged
};

const std::vector<KeepAliveCase>& keepAliveCases() {
  using enum PacketAction;
  using M = ConnectionMark;
  static const std::string a = request("www.example.org");
  static const std::string b = request("blocked.example");
  static const std::string post =
      "POST /up HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: 41\r\n\r\n"
      "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n";  // 41 bytes of body, not a request
  static const std::string chunked =
      "POST /up HTTP/1.1\r\nHost: www.example.org\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n0\r\n\r\n";
  static const std::vector<KeepAliveCase> cases = {
      {"second_request_blocked", {a, b}, drop, M::dropped, 2},
      {"pipelined_blocked", {a + b}, drop, M::dropped, 2},
      {"three_allowed", {a, a, a}, accept, M::inspect, 3},
      {"body_is_not_a_request", {post}, accept, M::inspect, 1},
      {"after_a_content_length_body", {post, b}, drop, M::dropped, 2},
      {"after_a_chunked_body", {chunked, b}, drop, M::dropped, 2},
      {"blocked_head_split_over_segments", {a, b.substr(0, 20), b.substr(20)}, drop, M::dropped,
       2},
  };
  return cases;
}

class KeepAliveTest : public ProviderEngineTest,
                      public ::testing::WithParamInterface<KeepAliveCase> {};

TEST_P(KeepAliveTest, EveryRequestIsJudged) {
  const KeepAliveCase& c = GetParam();
  syn(80);
  std::string stream;
  for (const auto& piece : c.segments) stream += piece;
  const Bytes bytes(stream.begin(), stream.end());
  PacketDecision d;
  std::size_t at = 0;
  for (const auto& piece : c.segments) {
    d = segment(bytes, at, at + piece.size());
    at += piece.size();
  }
  EXPECT_EQ(d.action, c.last);
  EXPECT_EQ(d.update.mark, c.mark);
  EXPECT_EQ(d.update.reset, c.mark == ConnectionMark::dropped);
  EXPECT_EQ(newFlows().size(), c.flows);
  if (c.mark == ConnectionMark::dropped) {
    EXPECT_EQ(d.update.outcome, Outcome::httpRequestDrop);
  }
  // Each finished request's flow was reported before the next one was asked about.
  for (const auto& key : engine->connections()) engine->onConnectionDestroyed(key);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Requests, KeepAliveTest, ::testing::ValuesIn(keepAliveCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillnest::hosts
