// The flow engine in front of the real provider (the rules decide), driven on one thread by
// scripts of packets, ticks and connection ends.
#include "hosts/common/flow_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "tests/common/packet_builder.h"
#include "tests/provider/provider_fixture.h"

namespace quillnest::hosts {
namespace {

using namespace std::chrono_literals;
using testing::PacketLayout;
using M = ConnectionMark;
using O = Outcome;
using enum PacketAction;

std::string hello(std::string_view name, std::size_t padding = 0) {
  const Bytes bytes = testing::makeClientHello(name, padding);
  return std::string(bytes.begin(), bytes.end());
}
std::string request(std::string_view host) {
  return "GET /page?q=1 HTTP/1.1\r\nHost: " + std::string(host) +
         "\r\nUser-Agent: test\r\nAccept: */*\r\n\r\n";
}
// A request to host with body as its Content-Length body: a GET, which a server may answer
// ignoring the body, or a POST.
std::string withBody(std::string_view host, const std::string& body,
                     std::string_view method = "GET") {
  return std::string(method) + " / HTTP/1.1\r\nHost: " + std::string(host) +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
const std::string kChunkedPost =
    "POST /up HTTP/1.1\r\nHost: www.example.org\r\nTransfer-Encoding: chunked\r\n\r\n";
// An HTTP/2 HEADERS frame for GET http://AUTHORITY/page?q=1: the static table's :method and
// :scheme, :path and :authority as literals not indexed.
std::string h2Request(std::uint32_t stream, std::string_view authority) {
  const std::string block = "\x82\x86\x04\x09/page?q=1\x01" +
                            std::string(1, char(authority.size())) + std::string(authority);
  return std::string{0, 0, char(block.size()), 1, 5, 0, 0, 0, char(stream)} + block;
}
std::string repeat(const std::string& text, std::size_t times) {
  std::string out;
  while (times--) out += text;
  return out;
}
const std::string kCcs("\x14\x03\x03\x00\x01\x01", 6);
const std::string kAlert("\x15\x03\x03\x00\x02\x01\x00", 7);

// One event of a script: a client packet (data, SYN, FIN), a tick, the connection's end, a
// pure ACK the host passed unqueued and shows afterwards (observe), or a packet of the server
// the host shows likewise (reply: offset is its raw sequence number).
struct Step {
  enum Kind : std::uint8_t { data, syn, tick, destroy, observe, reply } kind = data;
  std::int64_t offset = 0;  // stream offset of the first byte
  std::string bytes{};
  std::uint8_t flags = kTcpAck | kTcpPsh;
  std::optional<std::uint32_t> timestamp = std::nullopt;
  bool md5 = false;
  bool corrupt = false;  // one byte flipped after the checksum was computed
  bool checked = false;  // the host asks for the checksum to be verified (not left to offload)
  EngineTime wait{};
  std::uint32_t ack = 0;  // the acknowledgment number; a reply's: the client's stream offset
  std::optional<std::uint8_t> scale = std::nullopt;  // a SYN's window scale option
  bool bigGso = false;  // a reply whose IPv4 length is 0 (GSO above 64 KiB): its length unknown
  std::uint16_t window = 65535;
  std::uint8_t hopLimit = 64;
  std::size_t ipv4Options = 0;  // bytes of NOP options
  std::uint32_t arrivedOn = 0;  // the interface it came in on
};
Step at(std::int64_t offset, std::string bytes) { return {.offset = offset, .bytes = bytes}; }
Step cut(const std::string& stream, std::size_t from, std::size_t to) {
  return at(static_cast<std::int64_t>(from), stream.substr(from, to - from));
}
Step syn(std::optional<std::uint32_t> timestamp = std::nullopt) {
  return {.kind = Step::syn, .flags = kTcpSyn, .timestamp = timestamp};
}
Step ack() { return {.flags = kTcpAck}; }
Step fin(std::int64_t offset) { return {.offset = offset, .flags = kTcpFin | kTcpAck}; }
Step tick(EngineTime wait) { return {.kind = Step::tick, .wait = wait}; }
// Pieces of the trick rows: timestamps after the SYN's 100.
Step piece(std::int64_t offset, std::string bytes, std::uint8_t flags = kTcpAck | kTcpPsh,
           std::optional<std::uint32_t> timestamp = 120, bool md5 = false) {
  return {.offset = offset, .bytes = bytes, .flags = flags, .timestamp = timestamp, .md5 = md5};
}
Step observedAck(std::int64_t offset, std::uint32_t timestamp, bool md5 = false,
                 std::uint32_t ack = 0) {
  return {.kind = Step::observe,
          .offset = offset,
          .flags = kTcpAck,
          .timestamp = timestamp,
          .md5 = md5,
          .ack = ack};
}
// The server's SYN-ACK (sequence 999, so its data starts at 1000), with or without scaling.
Step synAck(bool scales) {
  Step s{.kind = Step::reply, .offset = 999, .flags = kTcpSyn | kTcpAck};
  if (scales) s.scale = 7;
  return s;
}
Step response(std::uint32_t from, std::size_t bytes) {
  return {.kind = Step::reply, .offset = from, .bytes = std::string(bytes, 'r')};
}
// The server's first record, acknowledging the client's bytes up to acked: a ServerHello, or a
// HelloRetryRequest (its random fixed by RFC 8446).
Step serverHello(std::uint32_t acked, bool retry) {
  std::string random(32, 'R');
  if (retry) {
    random = std::string(
        "\xCF\x21\xAD\x74\xE5\x9A\x61\x11\xBE\x1D\x8C\x02\x1E\x65\xB8\x91"
        "\xC2\xA2\x11\x16\x7A\xBB\x8C\x5E\x07\x9E\x09\xE2\xC8\xA8\x33\x9C",
        32);
  }
  const std::string body = std::string("\x03\x03", 2) + random + std::string("\x00\x13\x01\x00", 4);
  const std::string message = std::string("\x02\x00\x00", 3) + char(body.size()) + body;
  return {.kind = Step::reply,
          .offset = 1000,
          .bytes = std::string("\x16\x03\x03\x00", 4) + char(message.size()) + message,
          .ack = acked};
}
// A window the client fills: the server's edge stays where the SYN-ACK put it.
Step tightSynAck(std::size_t window) {
  Step s = synAck(false);
  s.window = static_cast<std::uint16_t>(window);
  return s;
}
// The server's pure ACK of the client's bytes up to offset, its window as it stands in the header.
Step windowAt(std::uint32_t offset, std::uint16_t window) {
  return {.kind = Step::reply, .offset = 1000, .flags = kTcpAck, .ack = offset, .window = window};
}
// The interface a packet came in on: the client's side (2) or the server's (3).
Step from(std::uint32_t side, Step s) {
  s.arrivedOn = side;
  return s;
}
Step synData(std::string bytes) {
  return {.kind = Step::syn, .bytes = bytes, .flags = kTcpSyn, .timestamp = 100};
}

// Keeps the flows the engine hands to handleNewFlow.
struct FlowRecorder : FlowEngineObserver {
  void newFlow(const ConnectionKey&, const FlowRef& flow, const NEFilterNewFlowVerdict&,
               EngineTime) override {
    flows.push_back(flow);
  }
  void serverName(const FlowRef&, const std::string& name) override { names.push_back(name); }
  std::vector<FlowRef> flows;
  std::vector<std::string> names;  // once per ClientHello, when it is whole
};

class EngineTest : public testing::ProviderTest {
 protected:
  void SetUp() override {
    ProviderTest::SetUp();
    startWith(true, {"blocked.example"});
    makeEngine({});
  }
  void makeEngine(FlowEngineOptions options) {
    engine = std::make_unique<FlowEngine>(provider, options);
    engine->setObserver(observer = std::make_shared<FlowRecorder>());
  }

  // The packet of layout as s's kind says: the client's, queued, or one the host shows.
  PacketDecision send(PacketLayout layout, const Step& s = {}, PacketHandle* handle = nullptr) {
    layout.sourcePort = clientPort;
    const bool reply = s.kind == Step::reply;
    if (reply) {
      std::swap(layout.source, layout.destination);
      std::swap(layout.sourcePort, layout.destinationPort);
    }
    Bytes bytes = testing::buildPacket(layout);
    if (s.corrupt) bytes.back() ^= 0x20;
    if (reply || s.kind == Step::observe) {
      bytes.resize(std::min<std::size_t>(bytes.size(), 128));  // the log copies the headers
      if (!reply) {
        engine->onObservedIpPacket(bytes);
        return {accept, {}};
      }
      if (s.bigGso) bytes[2] = bytes[3] = 0;
      return {accept,
              engine->onObservedReplyIpPacket(bytes, s.arrivedOn).value_or(ConnectionUpdate{})};
    }
    if (handle) *handle = nextHandle;
    return engine->onOutboundIpPacket(nextHandle++, bytes, now, s.checked, s.arrivedOn);
  }
  PacketDecision play(const Step& s, PacketHandle* handle = nullptr) {
    now += s.wait;
    if (s.kind == Step::tick) {
      const auto updates = engine->tick(now);
      EXPECT_LE(updates.size(), 1u);
      return {hold, updates.empty() ? ConnectionUpdate{} : updates.back()};
    }
    if (s.kind == Step::destroy) {
      const auto connections = engine->connections();
      return {accept, connections.empty() ? ConnectionUpdate{}
                                          : engine->onConnectionDestroyed(connections.back())};
    }
    const auto sequence =
        s.kind == Step::reply ? s.offset : isn + (s.kind == Step::syn ? 0 : 1) + s.offset;
    PacketLayout layout{.destinationPort = serverPort,
                        .flags = s.flags,
                        .sequence = static_cast<std::uint32_t>(sequence),
                        .acknowledgment = static_cast<std::uint32_t>(
                            s.kind == Step::reply ? isn + 1 + s.ack : s.ack),
                        .window = s.window,
                        .payload = Bytes(s.bytes.begin(), s.bytes.end()),
                        .ipv4Options = s.ipv4Options,
                        .hopLimit = s.hopLimit};
    if (s.timestamp) layout.tcpOptionBytes = testing::timestampOption(*s.timestamp);
    if (s.md5)
      layout.tcpOptionBytes = testing::concat({layout.tcpOptionBytes, testing::md5Option()});
    if (s.scale) layout.tcpOptionBytes.insert(layout.tcpOptionBytes.end(), {3, 3, *s.scale});
    return send(layout, s, handle);
  }
  // A fresh engine and a new connection on it, opened by a SYN (timestamp 100) and, where the
  // server's packets are shown, the server's SYN-ACK.
  void openFresh(const FlowEngineOptions& options, bool serverShown) {
    makeEngine(options);
    ++clientPort;
    play(syn(100));
    if (serverShown) play(synAck(true));
  }
  PacketDecision data(std::int64_t offset, std::string_view bytes, PacketHandle* handle = nullptr) {
    return play(at(offset, std::string(bytes)), handle);
  }

  std::shared_ptr<FlowRecorder> observer;
  std::unique_ptr<FlowEngine> engine;
  PacketHandle nextHandle = 1;
  std::uint32_t isn = 0x7ffffff0u;
  std::uint16_t clientPort = 40000;
  std::uint16_t serverPort = 443;
  EngineTime now{};
};

// A script and what its last event must answer. No earlier event settles the connection, and
// whatever happened, once the connection is gone the provider holds nothing of it.
struct Script {
  const char* name;
  std::uint16_t port;
  std::vector<Step> steps;
  PacketAction action;
  ConnectionMark mark;
  std::optional<Outcome> outcome = std::nullopt;
  std::size_t released = 0, discarded = 0;
  std::optional<int> held = std::nullopt;           // events answered `hold`
  std::optional<std::size_t> flows = std::nullopt;  // flows judged
  std::optional<std::string> url = std::nullopt;    // of the last flow; "": judged without a URL
  std::optional<HttpUnnamedReason> reason = std::nullopt;
  std::uint32_t isn = 0x7ffffff0u;
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.name; }

// Single bytes each beyond a gap.
std::vector<Step> beyondGaps(int count) {
  std::vector<Step> steps{syn()};
  for (int i = 1; i <= count; ++i) steps.push_back(at(10 * i, "x"));
  return steps;
}
std::vector<Step> bytewise(const std::string& stream) {
  std::vector<Step> steps{syn()};
  for (std::size_t i = 0; i < stream.size(); ++i) steps.push_back(cut(stream, i, i + 1));
  return steps;
}

const std::vector<Script>& scripts() {
  using R = HttpUnnamedReason;
  static const std::string B = hello("www.blocked.example", 1500),
                           A = hello("www.example.org", 1500);
  static const std::string b6 = hello("www.blocked.example", 600),
                           a6 = hello("www.example.org", 600);
  static const std::string a = hello("www.example.org"), b = hello("www.blocked.example");
  static const std::string altered = [] {
    std::string s = a6;  // other bytes where a held copy lies
    for (std::size_t i = 300; i < 400; ++i) s[i] ^= '\xff';
    return s;
  }();
  static const std::string getA = request("www.example.org"), getB = request("blocked.example");
  static const auto ga0 = static_cast<std::uint32_t>(A.size());
  // ClientHellos in records of 16 KiB with an extension of `pad` bytes before the name: servers
  // take them up to 128 KiB (OpenSSL), the reader up to 64 KiB.
  static const auto longHello = [](std::size_t pad, std::size_t suites) {
    testing::ClientHelloParts parts;
    parts.cipherSuites.insert(parts.cipherSuites.end(), 2 * suites, 0x2a);
    parts.extensions = testing::concat({testing::extension(0x3a3a, Bytes(pad, 0)),
                                        testing::serverNameExtension("www.blocked.example")});
    const Bytes flight = testing::handshakeRecords(testing::clientHelloMessage(parts));
    return std::string(flight.begin(), flight.end());
  };
  static const std::string pastReach = longHello(65000, 1000), inReach = longHello(65000, 0);
  static const std::string sub = request("WWW.Blocked.Example.");
  static const std::string padded =
      "GET / HTTP/1.1\r\nX-Pad: " + std::string(9000, 'a') + "\r\nHost: blocked.example\r\n\r\n";
  static const std::string big = "GET / HTTP/1.1\r\nX-Pad: " + std::string(kHttpHeadLimit, 'a') +
                                 "\r\nHost: blocked.example\r\n\r\n";
  static const std::string headA = "GET / HTTP/1.1\r\nHost: www.example.org\r\n\r\n";
  static const std::string headB = "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n";
  static const std::string post = withBody("www.example.org", std::string(41, 'a'), "POST");
  // Bodies a server ignoring them reads as the next request.
  static const std::string getWithBody = withBody("www.example.org", headB);
  static const std::string getWithOddBody =
      withBody("www.example.org", "GET / HTTP/1.1\r\nHost: blocked.example\r\nX\xff: y\r\n\r\n");
  static const std::string zeros = withBody("www.example.org", std::string(4000, '\0'), "POST");
  static const std::string bigChunk = kChunkedPost + "1000\r\n" + std::string(4096, '\0');
  static const std::string bigBody = withBody("www.example.org", std::string(70000, '\0'), "POST");
  static const std::string chunked = kChunkedPost + "5\r\nhello\r\n0\r\n\r\n";
  static const std::string upgrade =
      "GET /chat HTTP/1.1\r\nHost: www.example.org\r\nConnection: Upgrade\r\n"
      "Upgrade: websocket\r\n\r\n";
  // Bodies a server ignoring them reads as requests: every head in them, nested ones, and on
  // past the body's end where its last request runs longer.
  static const std::string twoInBody = withBody("www.example.org", headA + headB);
  static const auto nested = [](int levels, const std::string& inside) {
    std::string s = inside;
    for (int i = 0; i < levels; ++i) s = withBody("www.example.org", s);
    return s;
  };
  static const std::string deepestRead = nested(3, headB), tooDeep = nested(4, headA);
  static const std::string pastTheBody = [] {
    const std::string part = "GET / HTTP/1.1\r\nHost: www.example.org\r\nX: ";
    return withBody("www.example.org",
                    "GET / HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: " +
                        std::to_string(part.size()) + "\r\n\r\n") +
           part + "GET http://blocked.example/ HTTP/1.1\r\n\r\n";
  }();
  static const std::string bothLengths =
      "POST /up HTTP/1.1\r\nHost: www.example.org\r\nTransfer-Encoding: chunked\r\n"
      "Content-Length: 5\r\n\r\n0\r\n\r\n" +
      headB;
  static const std::string connect = "CONNECT www.example.org:443 HTTP/1.1\r\n\r\n";
  static const std::string h2A =
                               "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + h2Request(1, "www.example.org"),
                           h2B =
                               "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n" + h2Request(1, "blocked.example");
  const std::int64_t ccs = kCcs.size(), alert = kAlert.size();
  const std::size_t pb = post.size(), cb = chunked.size(), ga = getA.size(), ub = upgrade.size();
  // After a download of 10^6 bytes, acknowledged unqueued: the window is 65535, or 262140 when
  // the SYN offered a shift of 2.
  const Step synScaled{.kind = Step::syn, .flags = kTcpSyn, .scale = 2},
      handshake{.flags = kTcpAck, .ack = 1000}, first{.bytes = getA, .ack = 1000},
      downloaded{.kind = Step::observe,
                 .offset = static_cast<std::int64_t>(ga),
                 .flags = kTcpAck,
                 .ack = 1'001'000};
  // The server's packets shown: its SYN-ACK, then the client's first bytes acknowledging it.
  const auto shown = [&](const std::string& opening, std::vector<Step> rest) {
    rest.insert(rest.begin(), {syn(), synAck(true), handshake, {.bytes = opening, .ack = 1000}});
    return rest;
  };
  const auto second = [&](const std::string& head, std::uint32_t ack) {
    return Step{.offset = static_cast<std::int64_t>(ga), .bytes = head, .ack = ack};
  };
  // A websocket frame after an Upgrade, and a retry in pieces of 20 bytes.
  const Step frame{
      .offset = std::int64_t(ub), .bytes = "\x81\x85\x01\x02\x03\x04hello", .ack = 1000};
  const Step retry = serverHello(ga0, true);
  std::vector<Step> retryPieces(3, retry);  // of 20 bytes, the last one the rest
  for (std::size_t i = 0; i < 3; ++i) {
    retryPieces[i].offset += std::int64_t(20 * i);
    retryPieces[i].bytes = retry.bytes.substr(20 * i, i < 2 ? 20 : std::string::npos);
  }
  // A second hello after a retry, a byte a segment: no more are held than inspection holds.
  std::vector<Step> retryBytewise = shown(A, {serverHello(ga0, true)});
  for (std::size_t i = 0; i <= 64; ++i) {
    retryBytewise.push_back(
        {.offset = std::int64_t(ga0 + i), .bytes = (kCcs + b).substr(i, 1), .ack = 1000});
  }
  // clang-format off
  static const std::vector<Script> all = {
      // TLS: the name decides; incomplete bytes go, bytes beyond a gap wait for it.
      {"allowed_name_releases_the_held_segment", 443,
       {syn(), cut(A, 800, A.size()), cut(A, 0, 800)}, accept, M::allowed, O::dataAllow, 1, 0, 1},
      {"blocked_name_discards_the_held_segments", 443,
       {syn(), cut(B, 900, 1200), cut(B, 1200, B.size()), cut(B, 0, 900)}, drop, M::dropped,
       O::dataDrop, 0, 2, 2},
      {"one_byte_at_a_time_is_never_held", 443, bytewise(hello("a.blocked.example", 200)), drop,
       M::dropped, O::dataDrop, 0, 0, 0},
      {"sequence_wraps_inside_the_hello", 443, {syn(), cut(b6, 10, b6.size()), cut(b6, 0, 10)},
       drop, M::dropped, O::dataDrop, 0, 1, 1, {}, {}, {}, 0xfffffff8u},
      {"a_retransmit_of_read_bytes_changes_nothing", 443,
       {syn(), cut(b6, 0, 300), cut(b6, 0, 300), cut(b6, 200, b6.size())}, drop, M::dropped,
       O::dataDrop, 0, 0, 0},
      // Another copy of read bytes: the server took one of the two, which the engine cannot
      // know (the first may have died on the way).
      {"another_copy_of_read_bytes_is_a_conflict", 443,
       {syn(), cut(b6, 0, 300), at(200, std::string(100, 'Z') + b6.substr(300))}, drop,
       M::dropped, O::conflictingData},
      {"not_tls_on_443", 443, {syn(), at(0, "GET / HTTP/1.1")}, accept, M::allowed, O::dataAllow},
      {"picked_up_at_the_handshake_ack", 443, {ack(), cut(b6, 0, 100), cut(b6, 100, b6.size())}, drop,
       M::dropped, O::dataDrop},
      {"picked_up_at_its_first_data", 443, {cut(b6, 0, 100), cut(b6, 100, b6.size())}, drop,
       M::dropped, O::dataDrop},
      // Beyond what is held past a gap: dropped unread, the reading goes on (an allow would pass
      // the rest unread on the strength of one packet the server may throw away).
      {"too_many_held_packets_drop_the_newest", 443, beyondGaps(65), drop, M::inspect, {}, 0, 0, 64},
      {"far_beyond_the_stream_is_dropped_unread", 443, {syn(), at(10'000'000, "far away")}, drop,
       M::inspect},
      {"far_beyond_then_a_blocked_hello", 443, {syn(), ack(), at(50'000'000, "x"), cut(B, 0, B.size())},
       drop, M::dropped, O::dataDrop},
      {"gap_filler_taken_with_the_hold_full", 443,
       [] {
         std::vector<Step> steps = beyondGaps(70);
         steps.push_back(at(0, "\x16"));
         return steps;
       }(),
       accept, M::inspect},
      {"http_far_beyond_then_a_blocked_request", 80,
       {syn(), at(0, getA), at(ga + 50'000'000, "x"), at(ga, getB)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      {"pure_ack_passes_and_client_close_settles", 443,
       {syn(), ack(), cut(b6, 0, 100), cut(b6, 200, 300), fin(100)}, accept, M::allowed,
       O::clientClosed, 1, 0, 1},
      // Deadlines: the hold bound counts from the last new bytes, not from retransmits.
      {"hold_before_its_bound", 443, {syn(), cut(b6, 300, 400), tick(1999ms)}, hold, M::none},
      // Past it, what is held beyond the gap is dropped unread and the reading goes on.
      {"hold_expires_and_drops_what_is_held", 443, {syn(), cut(b6, 300, 400), tick(2s)}, hold,
       M::inspect, {}, 0, 1},
      {"new_bytes_restart_the_bound", 443,
       {syn(), cut(b6, 300, 400), {.offset = 500, .bytes = b6.substr(500, 50), .wait = 1s},
        tick(1900ms), tick(100ms)}, hold, M::inspect, {}, 0, 2},
      {"retransmits_do_not_restart_the_bound", 443,
       {syn(), cut(b6, 300, 400), {.offset = 300, .bytes = b6.substr(300, 100), .wait = 1500ms},
        tick(500ms)}, hold, M::inspect, {}, 0, 2},
      {"hold_expired_then_sent_again", 443,
       {syn(), cut(B, 300, B.size()), tick(2s), cut(B, 0, 300), cut(B, 300, B.size())}, drop,
       M::dropped, O::dataDrop},
      // Copies the server throws away are never read; two different copies drop the connection.
      {"bad_checksum_copy_then_real", 443,
       {syn(), {.bytes = a6, .corrupt = true, .checked = true}, {.bytes = b6, .checked = true}},
       drop, M::dropped, O::dataDrop},
      {"checksum_left_to_offload_is_not_checked", 443, {syn(), {.bytes = b6, .corrupt = true}},
       drop, M::dropped, O::dataDrop},
      {"different_copies_of_held_bytes", 443, {syn(), cut(a6, 300, 400), cut(altered, 250, 500)},
       drop, M::dropped, O::conflictingData, 0, 1},
      {"same_copy_again_is_a_retransmission", 443,
       {syn(), cut(altered, 300, 400), cut(altered, 250, 500), cut(altered, 0, 250)}, accept,
       M::inspect, {}, 2, 0, 2},
      {"different_copies_of_a_request_head", 80,
       {syn(), cut(headA, 20, 30), cut(headB, 16, headB.size())}, drop, M::dropped,
       O::conflictingData, 0, 1},
      // Packet tricks (after a SYN with timestamp 100): the blocked name never passes.
      {"syn_data_allowed_then_blocked", 443, {synData(a), piece(0, b)}, drop, M::dropped,
       O::conflictingData},
      {"syn_data_confirmed_by_the_same_bytes", 443, {synData(a), piece(0, a)}, accept, M::allowed,
       O::dataAllow},
      {"syn_data_blocked", 443, {synData(b)}, drop, M::dropped, O::dataDrop},
      {"md5_fake_then_real", 443, {syn(100), piece(0, a, kTcpAck, 120, true), piece(0, b)}, drop,
       M::dropped, O::dataDrop},
      {"old_timestamp_fake_then_real", 443,
       {syn(100), piece(0, a, kTcpAck, 50), piece(0, b, kTcpAck, 130)}, drop, M::dropped,
       O::dataDrop},
      {"no_ack_fake_then_real", 443, {syn(100), piece(0, a, kTcpPsh), piece(0, b)}, drop,
       M::dropped, O::dataDrop},
      {"timestamp_one_behind_is_read", 443, {syn(100), piece(0, b, kTcpAck, 99)}, drop, M::dropped,
       O::dataDrop},
      {"no_timestamp_after_timestamps_is_read", 443, {syn(100), piece(0, b, kTcpAck, std::nullopt)},
       drop, M::dropped, O::dataDrop},
      {"change_cipher_spec_then_blocked", 443, {syn(100), piece(0, kCcs), piece(ccs, b)}, drop,
       M::dropped, O::dataDrop},
      {"alert_and_change_cipher_spec_then_allowed", 443,
       {syn(100), piece(0, kAlert), piece(alert, kCcs), piece(alert + ccs, a)}, accept,
       M::allowed, O::dataAllow},
      {"hello_past_the_readers_reach_is_refused", 443, {syn(), at(0, pastReach)}, drop,
       M::dropped, O::tlsHelloTooLarge},
      {"hello_past_reach_refused_at_its_first_segment", 443, {syn(), cut(pastReach, 0, 1400)},
       drop, M::dropped, O::tlsHelloTooLarge},
      {"hello_at_the_edge_of_reach_is_read", 443, {syn(), at(0, inReach)}, drop, M::dropped,
       O::dataDrop},
      {"too_many_records_before_the_hello", 443,
       {syn(), at(0, repeat(kCcs, kMaxPrefaceRecords + 1))}, drop, M::dropped,
       O::tlsPrefaceRecords},
      // Port 80: each request head names a flow before it is judged.
      {"http_blocked_one_segment", 80, {syn(), at(0, getB)}, drop, M::dropped, {}, 0, 0, {}, 1,
       "blocked.example"},
      {"http_subdomain_upper_case_trailing_dot", 80, {syn(), at(0, sub)}, drop, M::dropped, {}, 0,
       0, {}, 1, "WWW.Blocked.Example."},
      {"http_allowed_stays_inspected", 80, {syn(), at(0, getA)}, accept, M::inspect, {}, 0, 0, {},
       1, "www.example.org"},
      {"http_split_at_host", 80,
       {syn(), cut(getB, 0, 20), cut(getB, 20, 40), cut(getB, 40, getB.size())}, drop,
       M::dropped, {}, 0, 0, 0, 1, "blocked.example"},
      {"http_out_of_order", 80, {syn(), cut(getB, 30, getB.size()), cut(getB, 0, 30)}, drop,
       M::dropped, {}, 0, 1, 1, 1, "blocked.example"},
      {"http_out_of_order_allowed", 80, {syn(), cut(getA, 30, ga), cut(getA, 0, 30)}, accept,
       M::inspect, {}, 1, 0, 1, 1, "www.example.org"},
      {"http_picked_up_without_its_syn", 80, {at(0, getB)}, drop, M::dropped, {}, 0, 0, {}, 1,
       "blocked.example"},
      {"http10_without_host", 80, {syn(), at(0, "GET / HTTP/1.0\r\n\r\n")}, accept, M::inspect, {},
       0, 0, {}, 1, "", R::missingHost},
      {"http_not_http", 80, {syn(), at(0, std::string("\x16\x03\x01\x00\x05hello", 10))}, accept,
       M::allowed, {}, 0, 0, {}, 1, "", R::notHttp},
      // HTTP/2 without TLS: every request the connection opens is named by its :authority.
      {"http2_prior_knowledge_allowed", 80, {syn(), at(0, h2A)}, accept, M::inspect, {}, 0, 0, {},
       1, "www.example.org"},
      {"http2_prior_knowledge_blocked", 80, {syn(), at(0, h2B)}, drop, M::dropped, O::newFlowDrop},
      {"http2_second_stream_blocked", 80,
       {syn(), at(0, h2A), at(h2A.size(), h2Request(3, "blocked.example"))}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      // Padding before Host: read as far as servers take heads, refused beyond.
      {"http_padded_head", 80,
       {syn(), cut(padded, 0, 1400), cut(padded, 1400, 7000), cut(padded, 7000, padded.size())},
       drop, M::dropped, O::newFlowDrop, 0, 0, 0, 1},
      {"http_oversize_head", 80,
       {syn(), cut(big, 0, 1400), cut(big, 1400, 30000), cut(big, 30000, big.size())}, drop,
       M::dropped, O::httpHeadTooLarge, 0, 0, 0, 0},
      {"http_silent_client_before_the_bound", 80, {syn(), ack(), tick(1999ms)}, hold, M::none, {},
       0, 0, {}, 0},
      {"http_silent_client_judged_at_the_bound", 80, {syn(), ack(), tick(2s)}, hold, M::inspect, {},
       0, 0, {}, 1, "", R::timedOut},
      {"http_request_after_the_bound_still_judged", 80, {syn(), ack(), tick(2s), at(0, getB)},
       drop, M::dropped, {}, 0, 0, {}, 2},
      {"http_client_closed_first", 80, {syn(), fin(0)}, accept, M::allowed, {}, 0, 0, {}, 1, "",
       R::closedFirst},
      {"http_connection_ended_first", 80, {syn(), {.kind = Step::destroy}}, accept, M::allowed, {}, 0,
       0, {}, 1, "", R::closedFirst},
      // Kept-alive and pipelined requests: every one is judged.
      {"http_pipelined_blocked", 80, {syn(), at(0, getA + getB)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      {"http_three_allowed", 80, {syn(), at(0, getA), at(ga, getA), at(ga * 2, getA)}, accept,
       M::inspect, {}, 0, 0, {}, 3},
      {"http_body_is_not_a_request", 80, {syn(), at(0, post)}, accept, M::inspect, {}, 0, 0, {}, 1},
      {"http_body_head_cut_over_segments", 80,
       {syn(), cut(getWithBody, 0, 70), cut(getWithBody, 70, getWithBody.size())}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // Urgent data: the server's application would not read the urgent byte, so a segment that
      // carries it is not read either; one that passed unqueued leaves the stream unknown.
      {"http_urgent_segment_unread", 80,
       {syn(), piece(0, getA, kTcpAck | kTcpPsh | kTcpUrg), piece(0, getB)}, drop, M::dropped,
       O::newFlowDrop, 0, 0, {}, 1, "blocked.example"},
      {"http_urgent_ack_passed_unqueued", 80,
       {syn(), {.kind = Step::observe, .flags = kTcpAck | kTcpUrg}, at(0, getA)}, drop,
       M::dropped, O::ackOvertook},
      // http_parser refuses the byte after the Host line: named all the same, in one segment.
      {"http_body_head_then_bytes_the_parser_refuses", 80, {syn(), at(0, getWithOddBody)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // Both readings judged in stream order: the body's head, then the request behind it.
      {"http_body_head_then_a_pipelined_request", 80,
       {syn(), at(0, withBody("www.example.org", headA) + getB)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 3},
      {"http_body_read_as_every_request_in_it", 80, {syn(), at(0, twoInBody)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 3},
      {"http_body_reading_goes_on_past_the_body", 80, bytewise(pastTheBody), drop, M::dropped,
       O::httpRequestDrop},
      // Every level read, the two in between as much as the deepest.
      {"http_bodies_read_as_requests_three_deep", 80, {syn(), at(0, deepestRead)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 4},
      {"http_request_four_bodies_deep_is_refused", 80, {syn(), at(0, tooDeep)}, drop, M::dropped,
       O::httpMalformed},
      // A server that ignores the body and answers any method serves the request behind one the
      // reader cannot name: refused as at the top. A chunk size can be such a request line.
      {"http_unknown_method_in_a_body", 80,
       {syn(), at(0, withBody("www.example.org", "FOO / HTTP/1.1\r\nHost: a.example\r\n\r\n" + headB))},
       drop, M::dropped, O::httpUnknownMethod},
      // A body of token characters runs into the next request's line: no request of its own.
      {"http_token_body_then_the_next_request", 80,
       {syn(), at(0, withBody("www.example.org", "12345") + getA)}, accept, M::inspect, {}, 0, 0,
       {}, 2},
      {"http_chunk_size_that_is_a_request_line", 80,
       {syn(), at(0, "GET / HTTP/1.1\r\nHost: www.example.org\r\nTransfer-Encoding: chunked\r\n\r\n"
                     "ADD / HTTP/1.1\r\nHost: a.example\r\n\r\n" + headB)},
       drop, M::dropped, O::httpUnknownMethod},
      {"http_chunked_body_that_is_a_request", 80,
       {syn(), at(0, "GET / HTTP/1.1\r\nHost: www.example.org\r\nTransfer-Encoding: chunked\r\n\r\n" +
                     headB)},
       drop, M::dropped, O::httpMalformed},
      {"http_after_a_content_length_body", 80, {syn(), at(0, post), at(pb, getB)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // A body longer than the head limit read in one go (its end came first, beyond a gap): the
      // next head gets the whole limit all the same.
      {"http_after_a_long_body_read_at_once", 80,
       {syn(), cut(bigBody, 0, 100), cut(bigBody, 40000, bigBody.size()), cut(bigBody, 100, 40000),
        at(static_cast<std::int64_t>(bigBody.size()), getB)},
       drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_after_a_chunked_body", 80, {syn(), at(0, chunked), at(cb, getB)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      // Pure ACKs that passed unqueued count as queued ones did, only if the server takes them:
      // a fake head older than an observed ACK (PAWS) is not read, the real one at its place is.
      {"http_paws_after_an_observed_ack", 80,
       {syn(100), piece(0, getA, kTcpAck, 110), observedAck(ga, 300), piece(ga, getA, kTcpAck, 200),
        piece(ga, getB, kTcpAck, 301)}, drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_refused_observed_ack_moves_nothing", 80,
       {syn(100), piece(0, getA, kTcpAck, 110), observedAck(ga, 300, true),
        piece(ga, getB, kTcpAck, 200)}, drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // A segment held beyond a gap is judged again at its release, before the one that freed
      // it: overtaken meanwhile by a newer timestamp (observed or queued ACK) or ACK, the server
      // would drop it and take another copy of its bytes later, so the allow cannot stand.
      {"http_held_segment_overtaken_by_an_observed_ack", 80,
       {syn(100), piece(30, getA.substr(30), kTcpAck, 100), observedAck(0, 200),
        piece(0, getA.substr(0, 30), kTcpAck, 201)}, drop, M::dropped, O::staleHeldData, 0, 1, 1,
       1},
      {"http_held_segment_overtaken_by_a_queued_ack", 80,
       {syn(100), piece(30, getA.substr(30), kTcpAck, 100), piece(0, "", kTcpAck, 200),
        piece(0, getA.substr(0, 30), kTcpAck, 201)}, drop, M::dropped, O::staleHeldData, 0, 1, 1,
       1},
      {"http_held_segment_overtaken_by_an_ack_a_window_ahead", 80,
       {syn(), ack(), at(30, getA.substr(30)), {.flags = kTcpAck, .ack = 65536},
        {.bytes = getA.substr(0, 30), .ack = 65536}},
       drop, M::dropped, O::staleHeldData, 0, 1, 1, 1},
      {"tls_held_segment_overtaken_by_a_queued_ack", 443,
       {syn(100), piece(800, A.substr(800), kTcpAck, 100), piece(0, "", kTcpAck, 200),
        piece(0, A.substr(0, 800), kTcpAck, 201)}, drop, M::dropped, O::staleHeldData, 0, 1, 1},
      {"tls_gap_filled_by_a_later_retransmission", 443,
       {syn(100), piece(800, A.substr(800), kTcpAck, 100),
        piece(0, A.substr(0, 800), kTcpAck, 400)}, accept, M::allowed, O::dataAllow, 1, 0, 1},
      {"http_held_segment_within_paws_tolerance", 80,
       {syn(100), piece(30, getA.substr(30), kTcpAck, 100), piece(0, "", kTcpAck, 100),
        observedAck(0, 101), piece(0, getA.substr(0, 30), kTcpAck, 101)}, accept, M::inspect, {},
       1, 0, 1, 1, "www.example.org"},
      // An ACK passed unqueued may overtake read data still in the queue: one newer than that
      // data yet not beyond its start (a client's own ACKs cover what it sent) ends the
      // connection at its next data, which may be another copy of the bytes the server dropped.
      {"http_observed_ack_overtakes_read_data", 80,
       {syn(100), piece(0, getA, kTcpAck, 100), observedAck(0, 1100),
        piece(0, getB, kTcpAck, 1101)}, drop, M::dropped, O::ackOvertook, 0, 0, {}, 1},
      {"http_observed_ack_overtakes_the_older_of_two", 80,
       {syn(100), piece(0, getA.substr(0, 40), kTcpAck, 100),
        piece(40, getA.substr(40), kTcpAck, 1100), observedAck(0, 1101),
        piece(0, getB.substr(0, 40), kTcpAck, 1102)}, drop, M::dropped, O::ackOvertook, 0, 0, {},
       1},
      // An ACK (queued or not) that passes ahead of data sent before it leaves the server's
      // newest timestamp as it was: that data is still taken.
      {"http_observed_ack_ahead_of_the_data_it_follows", 80,
       {syn(100), observedAck(ga, 200), piece(0, getA, kTcpAck, 100)}, accept, M::inspect, {}, 0,
       0, {}, 1, "www.example.org"},
      {"http_queued_ack_ahead_of_the_data_it_follows", 80,
       {syn(100), piece(30, getA.substr(30), kTcpAck, 100), piece(ga, "", kTcpAck, 200),
        piece(0, getA.substr(0, 30), kTcpAck, 100)}, accept, M::inspect, {}, 1, 0, 1, 1,
       "www.example.org"},
      {"http_held_over_the_limit_then_a_blocked_request", 80,
       [&] {
         std::vector<Step> steps{syn(), at(0, getA)};
         for (int i = 0; i < 70; ++i) steps.push_back(at(ga + 100 + 10 * i, "y"));
         steps.push_back(at(ga, getB));
         return steps;
       }(),
       drop, M::dropped, O::httpRequestDrop, 0, 64, {}, 2},
      // A method http_parser does not know (lower-case tokens are read so in the head reader's
      // table): a server may answer it and serve the next request, so the connection is refused
      // rather than let go unread. Other bytes go as before.
      {"http_unknown_method_first", 80,
       {syn(), at(0, "FOO / HTTP/1.1\r\nHost: www.example.org\r\n\r\n")}, drop, M::dropped,
       O::httpUnknownMethod},
      {"http_unknown_method_split", 80,
       {syn(), at(0, "F"), at(1, "OO"), at(3, " / HTTP/1.1\r\n")}, drop, M::dropped,
       O::httpUnknownMethod},
      {"http_unknown_method_after_a_request", 80,
       {syn(), at(0, getA), at(ga, "FOO / HTTP/1.1\r\nHost: www.example.org\r\n\r\n")}, drop,
       M::dropped, O::httpUnknownMethod},
      {"http_other_protocol_still_goes", 80, {syn(), at(0, "SSH-2.0-OpenSSH_9.2 x\r\n")},
       accept, M::allowed, {}, 0, 0, {}, 1, "", R::notHttp},
      // What a server may read as a request although http_parser refuses it is refused too:
      // framing it may read otherwise, a malformed later head. After an Upgrade the server may
      // not have switched: a request that follows is judged, other bytes go.
      {"http_both_lengths_then_blocked", 80, {syn(), at(0, bothLengths)}, drop, M::dropped,
       O::httpMalformed},
      {"http_malformed_second_head", 80,
       {syn(), at(0, getA), at(ga, "GET / HTTP/1.1\r\nHost : blocked.example\r\n\r\n")}, drop,
       M::dropped, O::httpMalformed},
      {"http_upgrade_ignored_then_blocked", 80, {syn(), at(0, upgrade), at(ub, getB)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_upgrade_then_websocket_frames_go", 80,
       {syn(), at(0, upgrade), at(ub, "\x81\x85\x01\x02\x03\x04hello")}, accept, M::allowed, {},
       0, 0, {}, 2, std::nullopt, R::notHttp},
      {"http_connect_then_blocked_request", 80,
       {syn(), at(0, connect), at(connect.size(), getB)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_client_acks_after_its_data_or_reordered", 80,
       {syn(100), piece(0, getA, kTcpAck, 100), observedAck(0, 101), observedAck(ga, 1100),
        piece(ga, getA, kTcpAck, 1101)}, accept, M::inspect, {}, 0, 0, {}, 2},
      // An ACK older than the newest by more than the largest window: the server drops the data
      // (and takes it at the current ACK).
      {"http_old_ack_fake_then_real", 80,
       {syn(), handshake, first, downloaded, second(getA, 1000), second(getB, 1'001'000)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_old_ack_fake_then_real_scaled", 80,
       {synScaled, handshake, first, downloaded, second(getA, 1'001'000 - 262'141),
        second(getB, 1'001'000)}, drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // What the server sent, seen on its way: a fake carrying an ACK of bytes it never sent
      // is discarded by the server, so it is not read and the real head at its place, acking all
      // the server sent, is.
      {"http_unsent_ack_fake_then_real", 80,
       shown(getA, {response(1000, 500), second(getA, 1501), second(getB, 1500)}), drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      {"tls_unsent_ack_fake_then_real", 443,
       {syn(), synAck(true), handshake, {.bytes = A, .ack = 1001}, {.bytes = B, .ack = 1000}},
       drop, M::dropped, O::dataDrop, 0, 0, 0},
      // Where the server's packets are shown, an allow stands once the server acknowledges the
      // bytes it rests on: a copy may have died on the way (too big for a link, say), and a
      // different one taking its place is a conflict.
      {"tls_allow_stands_once_the_server_acknowledges", 443,
       shown(A, {serverHello(ga0, false), {.flags = kTcpAck, .ack = 1000}}), accept, M::allowed,
       O::dataAllow},
      // And once its first bytes show no HelloRetryRequest: after one, the client's second
      // ClientHello is what the server takes the name from, so it is held and read.
      {"tls_acknowledged_but_not_answered_yet", 443,
       shown(A, {windowAt(ga0, 512), {.flags = kTcpAck, .ack = 1000}}), accept, M::inspect},
      {"tls_retry_then_the_same_name", 443,
       shown(A, {serverHello(ga0, true), {.offset = ga0, .bytes = kCcs + a, .ack = 1000}}),
       accept, M::allowed, O::dataAllow},
      {"tls_retry_then_another_name", 443,
       shown(A, {serverHello(ga0, true), {.offset = ga0, .bytes = kCcs + b, .ack = 1000}}),
       drop, M::dropped, O::tlsRetryNameChanged},
      // The client's ACK between the server's ACK of the hello and its answer changes nothing.
      {"tls_ack_before_the_retry_then_another_name_in_pieces", 443,
       shown(A, {windowAt(ga0, 512), {.flags = kTcpAck, .ack = 1000}, serverHello(ga0, true),
                 {.offset = ga0, .bytes = kCcs}, {.offset = ga0 + 6, .bytes = b.substr(0, 40)},
                 {.offset = ga0 + 46, .bytes = b.substr(40)}}),
       drop, M::dropped, O::tlsRetryNameChanged, 0, 2, 2},
      {"tls_retry_then_no_hello", 443,
       shown(A, {serverHello(ga0, true),
                 {.offset = ga0, .bytes = kCcs + std::string("\x17\x03\x03\x00\x10", 5) + std::string(16, 'e'),
                  .ack = 1000}}),
       accept, M::allowed, O::dataAllow},
      {"tls_retry_hello_in_too_many_pieces", 443, retryBytewise, drop, M::inspect, std::nullopt, 0,
       0, 64},
      // A client announcing a small MSS gets the retry in small pieces: read over them.
      {"tls_retry_in_small_pieces_then_another_name", 443,
       shown(A, {retryPieces[0], retryPieces[1], {.flags = kTcpAck, .ack = 1000}, retryPieces[2],
                 {.offset = ga0, .bytes = b, .ack = 1000}}),
       drop, M::dropped, O::tlsRetryNameChanged},
      // The server's first bytes not shown (the copy that came was a later one): read as a retry.
      {"tls_unreadable_answer_then_another_name", 443,
       shown(A, {response(1100, 100), {.offset = ga0, .bytes = b, .ack = 1000}}), drop,
       M::dropped, O::tlsRetryNameChanged},
      // Then a record that only looks like a hello (an encrypted Finished may begin so): no name,
      // so nothing says the server was asked for a retry.
      {"tls_unreadable_answer_then_no_name", 443,
       shown(A, {{.kind = Step::reply, .offset = 1100, .bytes = std::string(100, 'r'), .ack = ga0},
                 {.offset = ga0, .bytes = std::string("\x16\x03\x03\x00\x10\x01", 6) + std::string(15, 'f'),
                  .ack = 1000}}),
       accept, M::allowed, O::dataAllow},
      {"tls_a_lost_allowed_copy_then_a_blocked_one", 443, shown(A, {{.bytes = B, .ack = 1000}}),
       drop, M::dropped, O::conflictingData},
      {"tls_an_ack_short_of_the_hello_confirms_nothing", 443,
       shown(A, {windowAt(ga0 - 1, 512), {.bytes = B, .ack = 1000}}), drop, M::dropped,
       O::conflictingData},
      // The same for what a port-80 reading rests on: heads, and a body's bytes unless nothing
      // reads them. A copy the server acknowledged is taken; one after that changes nothing.
      {"http_a_lost_allowed_head_then_a_blocked_one", 80,
       shown(getA, {{.bytes = getB, .ack = 1000}}), drop, M::dropped, O::conflictingData, 0, 0, {}, 1},
      {"http_a_lost_second_head_then_a_blocked_one", 80,
       shown(getA, {windowAt(ga, 512), second(getA, 1000), second(getB, 1000)}), drop, M::dropped,
       O::conflictingData, 0, 0, {}, 2},
      {"http_an_acknowledged_head_then_another_copy", 80,
       shown(getA, {windowAt(ga, 512), {.bytes = getB, .ack = 1000}}), accept, M::inspect, {}, 0,
       0, {}, 1},
      {"http_unread_body_bytes_may_differ", 80,
       shown(zeros, {{.offset = std::int64_t(zeros.size()) - 20, .bytes = std::string(20, 'x'),
                      .ack = 1000}}),
       accept, M::inspect, {}, 0, 0, {}, 1},
      {"http_unread_chunk_data_may_differ", 80,
       shown(bigChunk, {{.offset = std::int64_t(bigChunk.size()) - 20, .bytes = std::string(20, 'x'),
                         .ack = 1000}}),
       accept, M::inspect, {}, 0, 0, {}, 1},
      {"http_other_protocol_then_a_lost_head", 80,
       shown(upgrade, {frame, {.bytes = getB, .ack = 1000}}), drop, M::dropped, O::conflictingData},
      {"http_other_protocol_stands_once_acknowledged", 80,
       shown(upgrade, {frame, windowAt(static_cast<std::uint32_t>(ub + 11), 512),
                       {.offset = std::int64_t(ub) + 11, .bytes = "\x81", .ack = 1000}}),
       accept, M::allowed, O::newFlowAllow},
      // A gateway's client may forge the server's packets: one that comes in where the client
      // is confirms nothing.
      {"http_a_server_ack_from_the_client_side_confirms_nothing", 80,
       {from(2, syn()), synAck(true), handshake, first, from(2, windowAt(ga, 512)),
        {.bytes = getB, .ack = 1000}}, drop, M::dropped, O::conflictingData, 0, 0, {}, 1},
      {"http_a_server_ack_from_the_server_side_confirms", 80,
       {from(2, syn()), synAck(true), handshake, first, from(3, windowAt(ga, 512)),
        {.bytes = getB, .ack = 1000}}, accept, M::inspect, {}, 0, 0, {}, 1},
      // Where the server's ACKs are shown, a second copy of SYN data confirms nothing: both may
      // die on the way.
      {"syn_data_twice_then_blocked_where_acks_are_shown", 443,
       {synData(a), synAck(false), {.bytes = a, .ack = 1000}, {.bytes = b, .ack = 1000}}, drop,
       M::dropped, O::conflictingData},
      // Data at or past the right edge of the server's window is dropped there (a zero window
      // drops even the next byte): not read, so the real head at its place is.
      {"http_fin_beyond_a_gap_then_blocked", 80,
       {syn(), at(0, getA), fin(ga + 1000), at(ga, getB)}, drop, M::dropped, O::httpRequestDrop,
       0, 0, {}, 2},
      {"tls_fin_beyond_a_gap_then_blocked", 443,
       {syn(), cut(B, 0, 100), fin(static_cast<std::int64_t>(B.size()) + 1000),
        cut(B, 100, B.size())}, drop, M::dropped, O::dataDrop},
      {"tls_reset_off_its_place_then_blocked", 443,
       {syn(), cut(B, 0, 100), {.offset = 1100, .flags = kTcpRst | kTcpAck},
        cut(B, 100, B.size())}, drop, M::dropped, O::dataDrop},
      // Data the server never reads: on a reset (one off its place ends nothing either), or on a
      // SYN once the handshake is over (dropped with a challenge ACK).
      {"tls_reset_carrying_the_allowed_hello_then_blocked", 443,
       {syn(), {.offset = -1, .bytes = "X" + A, .flags = kTcpRst | kTcpAck}, at(0, B)}, drop,
       M::dropped, O::dataDrop},
      {"tls_late_syn_carrying_the_allowed_hello_then_blocked", 443,
       {syn(), ack(), {.kind = Step::syn, .bytes = A, .flags = kTcpSyn | kTcpAck}, at(0, B)},
       drop, M::dropped, O::dataDrop},
      // Copies the server never gets: sent with fewer hops than reach it, or with IP options
      // (a source route, say) its kernel drops. The real bytes at their place are read.
      {"tls_fewer_hops_fake_then_real", 443,
       {syn(), {.bytes = A, .hopLimit = 3}, at(0, B)}, drop, M::dropped, O::dataDrop},
      {"http_fewer_hops_fake_then_real", 80,
       {syn(), at(0, getA), {.offset = std::int64_t(ga), .bytes = getA, .hopLimit = 2}, at(ga, getB)},
       drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"tls_more_hops_is_read", 443, {syn(), {.bytes = A, .hopLimit = 200}}, accept, M::allowed,
       O::dataAllow},
      {"tls_ip_options_fake_then_real", 443,
       {syn(), {.bytes = A, .ipv4Options = 8}, at(0, B)}, drop, M::dropped, O::dataDrop},
      {"http_zero_window_fake_then_real", 80,
       {syn(), tightSynAck(ga), handshake, first, windowAt(ga, 0), second(getA, 1000),
        windowAt(ga, 100), second(getB, 1000)}, drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"tls_beyond_the_window_dropped_unread", 443,
       {syn(), tightSynAck(1000), handshake, cut(B, 1000, B.size())}, drop,
       M::inspect},
      {"tls_the_window_scaled_by_the_servers_shift", 443,
       {synScaled, synAck(true), handshake, windowAt(0, 8), cut(B, 1000, B.size()),
        cut(B, 0, 1000)}, drop, M::dropped, O::dataDrop, 0, 1, 1},
      // A reply of unknown length ends the bound: the client's ACK of it is not refused.
      {"http_reply_of_unknown_length_ends_the_bound", 80,
       shown(getA, {{.kind = Step::reply, .offset = 1000, .bytes = std::string(500, 'r'), .bigGso = true},
                    second(getB, 1'000'000)}),
       drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      // A server that refuses window scaling takes the client's windows unscaled.
      {"http_old_ack_fake_then_real_unscaled", 80,
       {synScaled, synAck(false), handshake, first, response(1'000'000, 1000), downloaded,
        second(getA, 1'001'000 - 65'536), second(getB, 1'001'000)}, drop, M::dropped,
       O::httpRequestDrop, 0, 0, {}, 2},
      {"http_ack_at_the_scaled_window_is_read", 80,
       {synScaled, handshake, first, downloaded, second(getB, 1'001'000 - 262'140)}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_picked_up_takes_the_largest_shift", 80,
       {first, downloaded, second(getB, 1000)}, drop, M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
      {"http_blocked_head_split_over_segments", 80,
       {syn(), at(0, getA), at(ga, getB.substr(0, 20)), at(ga + 20, getB.substr(20))}, drop,
       M::dropped, O::httpRequestDrop, 0, 0, {}, 2},
  };
  // clang-format on
  return all;
}

class ScriptTest : public EngineTest, public ::testing::WithParamInterface<Script> {};

TEST_P(ScriptTest, LastEventAnswers) {
  const Script& c = GetParam();
  serverPort = c.port;
  isn = c.isn;
  PacketDecision d;
  int held = 0;
  for (std::size_t i = 0; i < c.steps.size(); ++i) {
    d = play(c.steps[i]);
    held += d.action == hold && c.steps[i].kind != Step::tick;
    if (i + 1 < c.steps.size()) {
      EXPECT_NE(d.update.mark, M::allowed) << "settled early at event " << i;
      EXPECT_NE(d.update.mark, M::dropped) << "settled early at event " << i;
    }
    if (c.steps[i].kind == Step::syn && c.port == 80) {
      EXPECT_TRUE(observer->flows.empty()) << "judged before its request";
    }
  }
  EXPECT_EQ(d.action, c.action);
  EXPECT_EQ(d.update.mark, c.mark);
  EXPECT_EQ(d.update.outcome, c.outcome.value_or(d.update.outcome))
      << outcomeText(d.update.outcome);
  EXPECT_EQ(d.update.reset, c.mark == M::dropped);
  EXPECT_EQ(engine->counters().failOpenEvents, outcomeRow(d.update.outcome).failOpen ? 1u : 0u);
  EXPECT_EQ(d.update.release.size(), c.released);
  EXPECT_EQ(d.update.discard.size(), c.discarded);
  EXPECT_EQ(held, c.held.value_or(held));
  EXPECT_EQ(observer->flows.size(), c.flows.value_or(observer->flows.size()));
  EXPECT_LE(observer->names.size(), 1u);
  // A blocked hello, however it came, is named to the host once whole.
  if (d.update.outcome == O::dataDrop) {
    EXPECT_TRUE(observer->names.size() == 1 && observer->names[0].ends_with("blocked.example"));
  }
  if (c.url) {
    ASSERT_FALSE(observer->flows.empty());
    const auto& url = observer->flows.back()->URL();
    EXPECT_EQ(url ? url->host : "", *c.url);
    EXPECT_EQ(url ? url->absoluteString : "", url ? "http://" + *c.url + "/page?q=1" : "");
    EXPECT_EQ(engine->counters().httpNamed, c.url->empty() ? 0u : 1u);
  }
  EXPECT_EQ(c.reason ? engine->counters().httpUnnamed[std::size_t(*c.reason)] : 1, 1u);
  EXPECT_TRUE(c.mark != M::dropped || data(0, "x").action == drop) << "later bytes of a drop";
  for (const auto& key : engine->connections()) engine->onConnectionDestroyed(key);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  EXPECT_EQ(engine->counters().httpWaiting, 0u);
  EXPECT_TRUE(engine->connections().empty());
}

INSTANTIATE_TEST_SUITE_P(Scripts, ScriptTest, ::testing::ValuesIn(scripts()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EngineTest, BlockedNameNotifiesOnceAndRefusedSegmentsAreCountedByReason) {
  play(syn(100));
  const std::string a = hello("www.example.org"), b = hello("www.blocked.example");
  EXPECT_EQ(play(piece(0, a, kTcpPsh)).action, drop);
  EXPECT_EQ(play(piece(0, a, kTcpAck, 120, true)).action, drop);
  EXPECT_EQ(play(piece(0, a, kTcpAck, 50)).action, drop);
  EXPECT_EQ(play(piece(0, a, kTcpAck | kTcpPsh | kTcpUrg)).action, drop);
  const PacketDecision badSum = play({.bytes = a, .corrupt = true, .checked = true});
  EXPECT_EQ(badSum.action, accept);  // the server's kernel drops it; so it is never read
  EXPECT_EQ(badSum.update.mark, M::none);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
  const auto refused = engine->counters().refusedSegments;
  EXPECT_EQ(refused[std::size_t(SegmentRefusal::noAck)], 1u);
  EXPECT_EQ(refused[std::size_t(SegmentRefusal::signatureMismatch)], 1u);
  EXPECT_EQ(refused[std::size_t(SegmentRefusal::urgent)], 1u);
  EXPECT_EQ(engine->counters().badChecksums, 1u);
  EXPECT_EQ(play(piece(0, b)).action, drop);
  EXPECT_EQ(host->notifications(), std::vector<std::string>{"com.quillnest.mac.blocked"});
  EXPECT_EQ(observer->names, std::vector<std::string>{"www.blocked.example"});  // refused: unread
}

TEST_F(EngineTest, LostObservationsDropOnlyConnectionsWhoseAcksPassUnqueued) {
  serverPort = 443;
  play(syn());
  data(0, hello("www.example.org").substr(0, 100));
  clientPort = 40001;
  serverPort = 80;
  play(syn());
  data(0, request("www.example.org"));
  const auto updates = engine->observationsLost(now);
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(updates[0].key.remotePort, 80);
  EXPECT_TRUE(updates[0].reset);
  EXPECT_EQ(updates[0].mark, M::dropped);
  EXPECT_EQ(engine->counters().outcomes[std::size_t(O::observationLost)], 1u);
  EXPECT_EQ(data(500, "x").action, drop);
  EXPECT_TRUE(engine->observationsLost(now).empty());
}

TEST_F(EngineTest, RulesChangeDropsThroughUpdateFlow) {
  serverPort = 80;
  play(syn());
  data(0, request("www.example.org"));
  PacketHandle held = 0;
  EXPECT_EQ(data(500, "x", &held).action, hold);
  host->changeRulesJSON(testing::rulesJSON(true, {"example.org"}));
  const auto updates = host->updates();
  ASSERT_EQ(updates.size(), 1u);
  const auto update = engine->dropFlow(updates[0].flow->identifier());
  ASSERT_TRUE(update);
  EXPECT_EQ(update->key, engine->connections().at(0));
  EXPECT_TRUE(update->reset);
  EXPECT_EQ(update->mark, M::dropped);
  EXPECT_EQ(update->discard, std::vector<PacketHandle>{held});
  EXPECT_EQ(data(0, "abc").action, drop);
  EXPECT_FALSE(engine->dropFlow(UUID::random()));
}

// Unfinished ClientHellos cannot keep the inspection table full: the longest idle make room.
TEST_F(EngineTest, LongestIdleInspectionsAreDroppedToMakeRoomAtTheCap) {
  FlowEngineOptions options;
  options.maxInspectedConnections = 16;
  makeEngine(options);
  for (std::uint16_t i = 0; i < 16; ++i) {
    clientPort = static_cast<std::uint16_t>(40000 + i);
    play(syn());
    EXPECT_EQ(data(0, hello("www.example.org").substr(0, 5)).action, accept);  // a record header
    now += 10ms;
  }
  // The newcomer is read; the two that waited longest (an eighth) are reset at the next tick.
  clientPort = 41000;
  EXPECT_EQ(play(syn()).update.mark, M::inspect);
  const auto updates = engine->tick(now);
  ASSERT_EQ(updates.size(), 2u);
  for (std::size_t i = 0; i < updates.size(); ++i) {
    EXPECT_EQ(updates[i].key.localPort, 40000 + i);
    EXPECT_EQ(updates[i].mark, M::dropped);
    EXPECT_TRUE(updates[i].reset);
    EXPECT_EQ(updates[i].outcome, O::evicted);
  }
  EXPECT_EQ(engine->counters().evictions, 2u);
  EXPECT_EQ(engine->counters().inspectedConnections, 15u);
  EXPECT_EQ(data(0, hello("a.blocked.example")).action, drop);
  // One that just got its bytes is not a candidate: with none idle, newcomers fail open.
  options.maxInspectedConnections = 1;
  makeEngine(options);
  clientPort = 42000;
  play(syn());
  data(0, hello("www.example.org").substr(0, 5));
  clientPort = 42001;
  EXPECT_EQ(play(syn()).update.outcome, O::limitReached);
}

// A full connection table lets new connections pass unread, marked allowed; a host that fails
// closed drops new web connections instead, unmarked, so the client's next try is judged.
TEST_F(EngineTest, FullTableAllowsOrDropsNewConnections) {
  struct Row {
    bool dropWeb;
    std::uint8_t protocol;
    std::uint16_t port;
    PacketAction action;
    ConnectionMark mark;
    Outcome outcome;
  };
  const Row rows[] = {
      {false, kIpProtocolTCP, 443, accept, M::allowed, O::tableFull},
      {true, kIpProtocolTCP, 443, drop, M::none, O::tableFullDrop},
      {true, kIpProtocolTCP, 80, drop, M::none, O::tableFullDrop},
      {true, kIpProtocolUDP, 443, drop, M::none, O::tableFullDrop},
      {true, kIpProtocolTCP, 22, accept, M::allowed, O::tableFull},
      {true, kIpProtocolUDP, 80, accept, M::allowed, O::tableFull},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.port) + (row.dropWeb ? " dropping" : ""));
    FlowEngineOptions options;
    options.maxConnections = 1;
    options.dropWebWhenFull = row.dropWeb;
    makeEngine(options);
    clientPort = 40000;
    play(syn());
    clientPort = 40001;
    const PacketDecision d =
        send({.protocol = row.protocol,
              .destinationPort = row.port,
              .flags = std::uint8_t(row.protocol == kIpProtocolTCP ? kTcpSyn : 0)});
    EXPECT_EQ(d.action, row.action);
    EXPECT_EQ(d.update.mark, row.mark);
    EXPECT_EQ(d.update.outcome, row.outcome);
    EXPECT_EQ(engine->counters().tableFull, 1u);
    EXPECT_EQ(engine->connections().size(), 1u);
  }
}

// A long request body passes the host unqueued but for its last bytes; what the host shows of
// it afterwards moves the engine's view of the server, and the next request is judged.
TEST_F(EngineTest, LongBodiesPassUnqueuedAndTheRequestAfterThemIsJudged) {
  FlowEngineOptions options;
  options.bodyPassMinimum = 4096;
  options.bodyPassMargin = 1024;
  serverPort = 80;
  const std::string head =
      "POST /up HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: 10000\r\n\r\n";
  const std::int64_t from = static_cast<std::int64_t>(head.size()) + 100, end = from - 100 + 10000,
                     to = end - 1024;
  const std::string zeros(2000, '\0');
  const auto body = [&](std::int64_t offset, std::size_t size, std::uint32_t timestamp) {
    return piece(offset, zeros.substr(0, size), kTcpAck | kTcpPsh, timestamp);
  };
  const auto logged = [&](std::int64_t offset, std::size_t size, std::uint32_t timestamp) {
    Step s = body(offset, size, timestamp);
    s.kind = Step::observe;
    return s;
  };
  // The head and the body's first bytes.
  const auto opening = [&](std::uint8_t flags) {
    return piece(0, head + zeros.substr(0, 100), flags, 110);
  };
  // What the next request after the body answers, by what came of the body before it.
  struct Case {
    const char* name;
    std::vector<Step> between;
    bool blocked;  // the next request's host
    PacketAction action;
    ConnectionMark mark;
    std::optional<Outcome> outcome = std::nullopt;
    std::uint32_t isn = 0x7ffffff0u;
  };
  const std::string headA = request("www.example.org"), headB = request("blocked.example");
  const auto kept = static_cast<std::uint32_t>(from), ended = static_cast<std::uint32_t>(end);
  // clang-format off
  const std::vector<Case> cases = {
      {"blocked_after_the_body", {}, true, drop, M::dropped, O::httpRequestDrop},
      {"allowed_after_the_body_across_the_wrap", {}, false, accept, M::inspect, {}, 0xffffff00u},
      // The server took a copy with a newer timestamp: an older one now is thrown away unread.
      {"older_than_a_logged_segment", {logged(from + 3000, 1000, 900)}, false, drop, M::inspect},
      // A logged segment that reached the body's end gave the server bytes never read.
      {"logged_past_the_end", {logged(to - 10, 1500, 150)}, false, drop, M::dropped,
       O::ackOvertook},
      // While the body passes the server's pure ACKs go unseen: the window it showed before
      // is no edge for what follows the body, until it acknowledges bytes queued again.
      {"window_shown_before_the_end_is_not_kept", {tightSynAck(100), windowAt(kept, 100)}, false,
       accept, M::inspect},
      {"zero_window_after_the_end_refuses_the_next", {tightSynAck(100), windowAt(ended, 0)}, false,
       drop, M::inspect},
      // One the server refuses (an older timestamp) moves nothing.
      {"refused_logged_segment_moves_nothing", {logged(from + 3000, 1000, 50)}, false, accept,
       M::inspect},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    isn = c.isn;
    openFresh(options, false);
    const PacketDecision first = play(opening(kTcpAck | kTcpPsh));
    EXPECT_EQ(first.action, accept);
    EXPECT_EQ(first.update.mark, M::bodyPass);
    ASSERT_TRUE(first.update.bodyPass);
    EXPECT_TRUE(first.update.bodyPassShown);  // no packet of the server shown
    EXPECT_EQ(first.update.bodyPass->from, isn + 1u + static_cast<std::uint32_t>(from));
    EXPECT_EQ(first.update.bodyPass->to, isn + 1u + static_cast<std::uint32_t>(to));
    EXPECT_EQ(engine->counters().bodyPasses, 1u);
    // A segment queued before the host's rule came, then logged ones: nothing to read.
    const PacketDecision early = play(body(from, 1000, 120));
    EXPECT_EQ(early.action, accept);
    EXPECT_EQ(early.update.mark, M::bodyPass);
    for (const Step& step : c.between) play(step);
    play(logged(from + 1000, 2000, 130));
    // Queued with an older timestamp after it (it waited in the queue): still nothing to read.
    EXPECT_EQ(play(body(from + 3000, 1000, 125)).action, accept);
    // The body's last bytes come queued again: the host's passing ends.
    const PacketDecision last = play(body(to - 500, 1000, 140));
    EXPECT_EQ(last.action, accept);
    EXPECT_EQ(last.update.mark, M::inspect);
    EXPECT_EQ(play(body(to + 500, static_cast<std::size_t>(end - to - 500), 150)).action, accept);
    const PacketDecision next = play(piece(end, c.blocked ? headB : headA, kTcpAck | kTcpPsh, 200));
    EXPECT_EQ(next.action, c.action);
    EXPECT_EQ(next.update.mark, c.mark);
    EXPECT_EQ(next.update.outcome, c.outcome.value_or(next.update.outcome));
    EXPECT_EQ(observer->flows.size(), c.action == drop && !c.outcome ? 1u : 2u);
  }
  // A body longer than a part passes part by part, each part's end read from the queue; past
  // 2 GiB of stream, sequence numbers are read from where the stream stands, not from its
  // start: the request after a 3 GiB body is judged.
  {
    openFresh(options, false);
    const std::int64_t huge = std::int64_t{3} << 30, span = std::int64_t{1} << 30;
    const std::string bigHead =
        "POST /up HTTP/1.1\r\nHost: www.example.org\r\nContent-Length: " + std::to_string(huge) +
        "\r\n\r\n";
    const std::int64_t bigFrom = static_cast<std::int64_t>(bigHead.size()) + 100,
                       bigEnd = bigFrom - 100 + huge;
    std::uint32_t ts = 110;
    EXPECT_EQ(play(piece(0, bigHead + zeros.substr(0, 100), kTcpAck | kTcpPsh, ts++)).update.mark,
              M::bodyPass);
    EXPECT_EQ(play(body(bigFrom + 1000, 1000, ts++)).action, accept);  // queued before the rule
    for (std::int64_t partEnd = bigFrom + span;; partEnd = std::min(partEnd + 100 + span, bigEnd)) {
      const std::int64_t partTo = partEnd - 1024;
      EXPECT_EQ(play(body(partTo - 500, 1000, ts++)).update.mark, M::inspect);
      EXPECT_EQ(
          play(body(partTo + 500, static_cast<std::size_t>(partEnd - partTo - 500), ts++)).action,
          accept);
      if (partEnd == bigEnd) break;
      // The body goes on: its next bytes are read from the queue, and the next part passes.
      EXPECT_EQ(play(body(partEnd, 100, ts++)).update.mark, M::bodyPass);
    }
    EXPECT_EQ(engine->counters().bodyPasses, 3u);
    const PacketDecision next = play(piece(bigEnd, headB, kTcpAck | kTcpPsh, ts++));
    EXPECT_EQ(next.action, drop);
    EXPECT_EQ(next.update.outcome, O::httpRequestDrop);
  }
  // Where the server's packets are shown, the body's segments need not be: what the next head
  // rests on is kept until the server acknowledges it. A copy the server drops (older than the
  // newest timestamp it took from an unshown segment) is read, and the real one at its place is
  // then a conflict; the same copy again is not.
  for (const bool conflicting : {true, false}) {
    SCOPED_TRACE(conflicting ? "another copy" : "the same copy");
    openFresh(options, true);
    const PacketDecision first = play(opening(kTcpAck | kTcpPsh));
    ASSERT_TRUE(first.update.bodyPass);
    EXPECT_FALSE(first.update.bodyPassShown);
    // The server may have sent much meanwhile: the client's ACK moved 1.5 GiB unseen.
    const auto later = [](Step s) {
      s.ack = 0x60000000u;
      return s;
    };
    EXPECT_EQ(play(later(body(to - 500, 1000, 140))).update.mark, M::inspect);
    EXPECT_EQ(play(later(body(to + 500, static_cast<std::size_t>(end - to - 500), 150))).action,
              accept);
    // Say an unshown segment carried timestamp 900: the server drops this one at 200.
    EXPECT_EQ(play(later(piece(end, headA, kTcpAck | kTcpPsh, 200))).action, accept);
    const PacketDecision real =
        play(later(piece(end, conflicting ? headB : headA, kTcpAck | kTcpPsh, 950)));
    EXPECT_EQ(real.action, conflicting ? drop : accept);
    EXPECT_EQ(real.update.outcome, conflicting ? O::conflictingData : O::pending);
  }
  // Shorter than the minimum, or chunked: read from the queue as before. The body's first bytes
  // with the client's FIN: no request can follow, so it is let go at once and no pass asked for.
  const std::string chunked = kChunkedPost + "2000\r\n" + std::string(8192, '\0');
  for (const auto& [opened, mark] :
       {std::pair{at(0, withBody("www.example.org", std::string(3000, '\0'))), M::inspect},
        std::pair{at(0, chunked), M::inspect},
        std::pair{opening(kTcpAck | kTcpPsh | kTcpFin), M::allowed}}) {
    openFresh(options, false);
    const PacketDecision d = play(opened);
    EXPECT_EQ(d.update.mark, mark);
    EXPECT_FALSE(d.update.bodyPass);
  }
}

// Once a response has gone on long enough with nothing of the client's waiting on the server,
// the server's packets need not be shown until the client sends again; the next request is
// judged, and what the server sent meanwhile bounds nothing until it is shown again.
TEST_F(EngineTest, LongResponsesPassUnshownUntilTheClientSendsAgain) {
  FlowEngineOptions options;
  options.responsePassMinimum = 4096;
  options.bodyPassMinimum = 4096;
  options.bodyPassMargin = 1024;
  serverPort = 80;
  const std::string getA = request("www.example.org"), getB = request("blocked.example");
  const auto ga = static_cast<std::uint32_t>(getA.size());
  // The server's bytes from sequence `from`, acknowledging the client's stream up to `acked`.
  const auto reply = [](std::uint32_t from, std::size_t bytes, std::uint32_t acked) {
    Step s = response(from, bytes);
    s.ack = acked;
    return s;
  };
  struct Case {
    const char* name;
    std::vector<Step> response;  // after the first request; the last reply is the one asked
    bool passes;
    bool blockedNext = false;  // the host of the request after a pass
  };
  Step unknownLength = reply(1000, 500, ga);
  unknownLength.bigGso = true;
  const std::string post = withBody("www.example.org", std::string(8000, '\0'));
  const auto size = static_cast<std::uint32_t>(post.size());
  const std::vector<Case> cases = {
      {"enough_acknowledging_the_head", {reply(1000, 2000, ga), reply(3000, 2000, ga)}, false},
      {"past_the_minimum",
       {reply(1000, 2000, ga), reply(3000, 2000, ga), reply(5000, 100, ga)},
       true},
      {"unknown_length_counts_as_enough", {unknownLength}, true, true},
      // The head's bytes wait on the server's ACK: a copy may yet take their place.
      {"head_unacknowledged", {reply(1000, 5000, 0), reply(6000, 5000, 0)}, false},
      {"client_sent_in_between",
       {reply(1000, 4000, ga), piece(ga, "GET / HT", kTcpAck | kTcpPsh, 130),
        reply(5000, 1000, ga + 8)},
       false},
      {"client_closed", {fin(ga), reply(1000, 5000, ga + 1)}, false},
      // Not after a body passed on the connection: the body's rule shares the mark.
      {"after_a_body_passed",
       {piece(ga, post.substr(0, 200), kTcpAck | kTcpPsh, 130),
        piece(ga + size - 1000, post.substr(size - 1000), kTcpAck | kTcpPsh, 140),
        reply(1000, 8000, ga + size)},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    openFresh(options, true);
    play(piece(0, getA, kTcpAck | kTcpPsh, 120));
    PacketDecision last;
    for (const Step& step : c.response) last = play(step);
    EXPECT_EQ(last.update.mark, c.passes ? M::responsePass : M::none);
    ASSERT_EQ(engine->connections().size(), 1u);
    EXPECT_EQ(engine->passingResponse(engine->connections().back()), c.passes);
    EXPECT_EQ(engine->counters().responsePasses, c.passes ? 1u : 0u);
    if (!c.passes) continue;
    // After the pass: the client acknowledges bytes the engine never saw and is not refused for
    // it; its next request is judged and ends the pass; once the server acknowledges that, what
    // it shows bounds the ACKs again.
    const bool blocked = c.blockedNext;
    const std::uint32_t unseenEnd = 1000 + 8000 + 50000;
    play(observedAck(ga, 130, false, unseenEnd));
    const PacketDecision next =
        play({.offset = ga, .bytes = blocked ? getB : getA, .timestamp = 140, .ack = unseenEnd});
    EXPECT_EQ(next.action, blocked ? drop : accept);
    EXPECT_EQ(next.update.mark, blocked ? M::dropped : M::inspect);
    EXPECT_FALSE(engine->passingResponse(engine->connections().back()));
    if (blocked) continue;
    play(reply(unseenEnd, 100, 2 * ga));
    const std::string more = "GET /more HTTP/1.1\r\n";
    EXPECT_EQ(
        play({.offset = 2 * ga, .bytes = more, .timestamp = 150, .ack = unseenEnd + 200}).action,
        drop);
    EXPECT_EQ(
        engine->counters().refusedSegments[static_cast<std::size_t>(SegmentRefusal::unsentAck)],
        1u);
    EXPECT_EQ(
        play({.offset = 2 * ga, .bytes = more, .timestamp = 150, .ack = unseenEnd + 100}).action,
        accept);
  }
}

// The provider gets the endpoint as text; later packets of a decided connection are answered
// from the table.
TEST_F(EngineTest, NewFlowsCarryTheRemoteEndpointAsText) {
  serverPort = 8080;
  EXPECT_EQ(play(syn()).update.mark, M::allowed);
  PacketLayout v6{.family = IpFamily::v6, .source = "2001:db8::1", .destination = "2001:db8::443"};
  v6.protocol = kIpProtocolUDP;
  v6.destinationPort = 53;
  send(v6);
  ASSERT_EQ(observer->flows.size(), 2u);
  for (const auto& [i, name, port, protocol] :
       {std::tuple{0, "198.51.100.2", "8080", kProtocolTCP},
        std::tuple{1, "2001:db8::443", "53", kProtocolUDP}}) {
    const auto& flow = static_cast<const NEFilterSocketFlow&>(*observer->flows[i]);
    const auto endpoint = std::dynamic_pointer_cast<const NWHostEndpoint>(flow.remoteEndpoint());
    ASSERT_TRUE(endpoint);
    EXPECT_EQ(endpoint->hostname(), name);
    EXPECT_EQ(endpoint->port(), port);
    EXPECT_EQ(flow.socketProtocol(), protocol);
    EXPECT_FALSE(flow.URL().has_value());
  }
  EXPECT_EQ(engine->connectionForFlow(observer->flows[0]->identifier())->remotePort, 8080);
  EXPECT_EQ(data(0, "GET / HTTP/1.1\r\n").action, accept);
  EXPECT_EQ(observer->flows.size(), 2u);
}

TEST_F(EngineTest, DroppedNewFlowsAreReportedOnceAndLinger) {
  PacketLayout udp{.protocol = kIpProtocolUDP};
  const PacketDecision d = send(udp);
  EXPECT_EQ(d.action, drop);
  EXPECT_EQ(d.update.mark, M::dropped);
  EXPECT_FALSE(d.update.reset);  // nothing to reset on UDP
  EXPECT_EQ(engine->counters().udp443Drops, 1u);
  EXPECT_EQ(engine->counters().closedReports, 1u);
  // A retry of the same datagram is dropped without a second flow or report.
  EXPECT_EQ(send(udp).action, drop);
  engine->onConnectionDestroyed(engine->connections().at(0));
  EXPECT_EQ(observer->flows.size(), 1u);
  EXPECT_EQ(engine->counters().closedReports, 1u);
  // Without a destroy event the entry leaves after the linger time.
  clientPort = 40001;
  send(udp);
  now += 29s;
  engine->tick(now);
  EXPECT_EQ(engine->counters().connections, 1u);
  now += 1s;
  engine->tick(now);
  EXPECT_EQ(engine->counters().connections, 0u);
  EXPECT_EQ(engine->counters().closedReports, 2u);
}

TEST_F(EngineTest, DestroyReportsReleasesAndForgets) {
  play(syn());
  PacketHandle held = 0;
  data(10, "x", &held);
  const UUID id = observer->flows.at(0)->identifier();
  const ConnectionUpdate update = engine->onConnectionDestroyed(engine->connections().at(0));
  EXPECT_EQ(update.release, std::vector<PacketHandle>{held});
  EXPECT_EQ(engine->counters().closedReports, 1u);
  EXPECT_FALSE(engine->connectionForFlow(id));
  EXPECT_EQ(engine->counters().inspectedConnections, 0u);
  EXPECT_TRUE(engine->onConnectionDestroyed(update.key).empty());
  EXPECT_EQ(engine->counters().closedReports, 1u);
  play(syn());  // the same 5-tuple later is a new connection
  EXPECT_EQ(observer->flows.size(), 2u);

  EXPECT_EQ(engine->onOutboundIpPacket(nextHandle++, Bytes{0x45, 0, 0}, now).action, accept);
  EXPECT_EQ(engine->counters().unparseablePackets, 1u);
}

// A client that reuses an allowed connection's address pair for a new connection before
// conntrack's end of the old one arrives: the new one is judged on its own bytes, and the old
// one's late end does not cut its judgement short. Same first sequence number after a reset,
// another one after a finished handshake, and the same SYN twice (a retransmit, not new).
TEST_F(EngineTest, ReusedAddressPairIsJudgedAfresh) {
  const std::string allowed = hello("www.example.org"), blocked = hello("www.blocked.example");
  const auto allowedConnection = [&](std::uint8_t closing) {
    play(syn());
    EXPECT_EQ(data(0, allowed).update.mark, M::allowed);
    if (closing) play({.offset = std::int64_t(allowed.size()), .flags = closing});
  };
  allowedConnection(kTcpRst | kTcpAck);
  play(syn());
  EXPECT_EQ(data(0, blocked.substr(0, 40)).action, accept);  // incomplete: useless to the server
  const ConnectionKey key = engine->connections().front();
  EXPECT_EQ(engine->onConntrackEnd(key).release.size(), 0u);  // the old one's
  EXPECT_EQ(data(40, blocked.substr(40)).update.mark, M::dropped);
  EXPECT_EQ(observer->flows.size(), 2u);

  clientPort = 40001;
  allowedConnection(0);
  isn += 1000;
  play(syn());
  EXPECT_EQ(data(0, blocked).update.mark, M::dropped);

  clientPort = 40002;
  play(syn());
  play(syn());
  EXPECT_EQ(data(0, allowed).update.mark, M::allowed);
  EXPECT_EQ(engine->counters().reopenedConnections, 2u);
  EXPECT_EQ(observer->flows.size(), 5u);
  for (const auto& k : engine->connections()) engine->onConnectionDestroyed(k);
  EXPECT_EQ(provider->activeWebFlowCount(), 0u);
}

}  // namespace
}  // namespace quillnest::hosts
