// One connection as the engine reads it: a state machine with no lock and no I/O. Events go in
// (an outbound packet, the provider's answer, a deadline, the connection's end, a drop imposed by
// the provider); each returns a Step that names the one provider call to make next, if any, and
// writes what the host must do into a ConnectionUpdate (packets to release or discard, the mark,
// a reset, and why). The engine makes the call without its lock and feeds the answer back.
//
// Phases:
//   deciding    the new-flow call is out
//   naming      port 80: reading request heads; each head is judged as a flow of its own
//               (kept-alive and pipelined requests too), the connection stays in this phase
//   inspecting  the provider reads the outbound stream (a TLS ClientHello)
//   confirming  allowed on bytes the server may not have taken: bytes that came on the SYN (a
//               server without Fast Open throws those away), or, where the host shows the
//               server's packets, the bytes a verdict rests on (a TLS ClientHello, the heads a
//               port-80 reading read) until the server acknowledges them (a copy may die on the
//               way, too big for a link, say). The verdict stays open until then (where the
//               server's packets are not shown: until the same bytes come again), or until the
//               stream is far past them; a different copy is a conflict, dropped and reset.
//               While naming, read bytes the server has not acknowledged are watched the same way
//   allowed, dropped
//
// Only segments the server's TCP would take count as stream data (segment_acceptance.h); others
// are dropped, so the server never sees a copy of the stream the engine did not read. Held
// segments are judged again when they are released, in the order they came (the host releases
// them before the packet that freed them), against what has reached the server by then: one the
// server would refuse ends the connection (dropped and reset), since the verdict rests on bytes
// it will not take. The same for data already let go that an ACK passed unqueued may overtake.
//
// A long Content-Length request body that nothing reads (no reading of it as requests goes on)
// may pass the host unqueued (mark bodyPass, with the range of sequence numbers such segments
// start in) up to bodyPassMargin bytes before its end; the engine skips it. The host logs each
// such segment and shows it to observed() before the connection's next queued packet, so the
// receiver's view stays the server's; a queued segment that reaches into the margin ends the
// passing (mark inspect), so every byte from the body's end on is read from the queue again.
//
// A TLS 1.3 server may answer the ClientHello with a HelloRetryRequest, and the client's second
// ClientHello is the one it takes the server name from. So where the server's packets are shown,
// a verdict on a ClientHello stands only once the server's first bytes are seen and are no
// HelloRetryRequest (or cannot be read); after one, the client's next handshake record (past
// ChangeCipherSpec records) is held and read: a ClientHello naming another server than the first
// (RFC 8446 4.1.2 forbids the change) ends the connection (dropped and reset).
//
// Records of type ChangeCipherSpec or alert before the ClientHello are read past, as a lenient
// TLS server (GnuTLS) does, and the provider is given the stream from the handshake record on;
// more than kMaxPrefaceRecords of them end the connection (dropped and reset), since no client
// sends them and a server that takes them cannot be read further.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/data_provider.h"
#include "hosts/common/engine/outcomes.h"
#include "hosts/common/engine/segment_acceptance.h"
#include "hosts/common/engine/unacknowledged_bytes.h"
#include "hosts/common/http_request_head.h"
#include "hosts/common/packet.h"
#include "hosts/common/stream_reassembler.h"

namespace quillnest::hosts {

using PacketHandle = std::uint64_t;
// Monotonic time from any epoch (steady_clock on a live host, capture time in a replay).
using EngineTime = std::chrono::nanoseconds;

// The outcome a host records on the connection (Linux: a connmark value).
enum class ConnectionMark : std::uint8_t {
  none,     // nothing to record (no change, or not decided yet)
  allowed,  // the rest of the connection passes unseen
  dropped,  // every further packet is dropped
  inspect,  // outbound data packets must keep coming to the engine
  // As inspect, but data segments that start inside ConnectionUpdate::bodyPass pass the host
  // unqueued; the host shows each to observed() before the connection's next queued packet.
  // The server's packets with only ACK among SYN, FIN and RST need not be shown meanwhile.
  bodyPass,
  // As inspect, but the server's packets with only ACK among SYN, FIN and RST need not be shown:
  // a long response, nothing of the client's waiting on the server. The client's next queued
  // packet ends it (its mark is inspect again).
  responsePass,
};

// Sequence numbers [from, to), wrapping at 2^32.
struct SequenceRange {
  std::uint32_t from = 0;
  std::uint32_t to = 0;
};
std::string_view connectionMarkName(ConnectionMark mark);

// What the host must do on one connection besides the current packet.
struct ConnectionUpdate {
  ConnectionKey key;
  FlowRef flow;  // null when the packet made no flow
  // The connection's mark to record now; none = leave it as it is (e.g. for a held packet).
  ConnectionMark mark = ConnectionMark::none;
  bool reset = false;                 // end the connection with a TCP reset to the client
  std::vector<PacketHandle> release;  // earlier held packets: accept now, in this order
  std::vector<PacketHandle> discard;  // earlier held packets: drop now
  Outcome outcome = Outcome::pending;
  // With mark bodyPass: where the data segments that may pass unqueued start, and whether the
  // host must show them to observed(). It need not where the server's packets are shown: the
  // bytes a reading after the body rests on are then kept until the server acknowledges them,
  // so a copy the server drops for what an unshown segment changed (a newer timestamp) is a
  // conflict when the real one comes.
  std::optional<SequenceRange> bodyPass;
  bool bodyPassShown = true;

  bool empty() const {
    return mark == ConnectionMark::none && !reset && release.empty() && discard.empty();
  }
};

struct FlowEngineOptions {
  EngineTime holdTimeout = std::chrono::seconds(2);
  std::size_t maxHeldPacketsPerConnection = 64;
  std::size_t maxHeldBytesPerConnection = 256 * 1024;
  std::size_t maxInspectedConnections = 4096;
  std::size_t maxConnections = 262144;
  // A connection dropped and reported closed by the engine itself lingers this long so its
  // retransmitted first packets are dropped without a second flow; then it leaves the table.
  EngineTime droppedLinger = std::chrono::seconds(30);
  // Name port-80 flows from their request heads before judging them.
  bool nameHttpFlows = true;
  // With the table full, a new web connection (TCP to port 80 or 443, UDP to 443) is dropped
  // rather than allowed unread: for a host that fails closed. Its client tries again.
  bool dropWebWhenFull = false;
  std::size_t httpHeadLimit = kHttpHeadLimit;
  // Bytes sent past data that came on the SYN after which the server must have taken that data
  // (no receive window is that large), so the verdict resting on it holds.
  std::uint64_t synDataConfirmDistance = 16u << 20;
  // A request body at least this long (and a reading that needs none of it) passes the host
  // unqueued, but for its last bodyPassMargin bytes, which are queued again so the engine sees
  // the stream before the next request starts; 0: never. A host sets it only when it can pass
  // segments by sequence number and show them to observed() in order.
  std::uint64_t bodyPassMinimum = 0;
  // Larger than any segment, so no unqueued segment reaches the body's end.
  std::uint64_t bodyPassMargin = 1u << 20;
  // A longer body passes in parts of this length, each but its margin unqueued: sequence numbers
  // are read from where the stream stands, within 2 GiB of it.
  std::uint64_t bodyPassSpan = 1u << 30;
  // After this many bytes from the server with nothing of the client's waiting on it (a long
  // response), the server's packets with only ACK set need not be shown (mark responsePass)
  // until the client sends again; 0: never. A host sets it when it can stop showing them by the
  // mark, and shows every server packet again once a queued packet's mark is inspect.
  std::uint64_t responsePassMinimum = 0;
};

// Counts of what the engine has seen since it was made (the `status` command prints them).
struct FlowEngineCounters {
  std::uint64_t packets = 0;
  std::uint64_t newFlows = 0;
  std::uint64_t newFlowsAllowed = 0;
  std::uint64_t newFlowsDropped = 0;
  std::uint64_t udp443Drops = 0;
  std::uint64_t inspections = 0;
  std::uint64_t inspectionsAllowed = 0;
  std::uint64_t inspectionsDropped = 0;
  std::uint64_t failOpenEvents = 0;
  std::uint64_t closedReports = 0;
  std::uint64_t tableFull = 0;
  std::uint64_t unparseablePackets = 0;
  std::uint64_t badChecksums = 0;         // TCP packets ignored: a receiver drops them too
  std::uint64_t conflictingStreams = 0;   // connections dropped for conflicting copies
  std::uint64_t evictions = 0;            // idle inspections dropped to make room
  std::uint64_t reopenedConnections = 0;  // new connections on a settled one's address pair
  std::uint64_t observedPackets = 0;      // packets the host passed unqueued and showed afterwards
  std::uint64_t bodyPasses = 0;           // request bodies let pass unqueued
  std::uint64_t responsePasses = 0;       // long responses whose server packets went unshown
  // Server packets that came in where the client is, so from the client's side: ignored.
  std::uint64_t repliesFromClientSide = 0;
  // Segments dropped unread, by SegmentRefusal: the server's TCP would not take them, or the
  // filter holds no more.
  std::array<std::uint64_t, kSegmentRefusalCount> refusedSegments{};
  std::uint64_t prefaceRecordsSkipped = 0;  // ChangeCipherSpec/alert records before a ClientHello
  std::uint64_t helloRetries = 0;           // HelloRetryRequests answering a ClientHello allowed
  // ClientHellos carrying the ECH extension; browsers send a decoy one too, so not a verdict.
  std::uint64_t echClientHellos = 0;
  // Connections (and HTTP requests) settled, by Outcome: says which fail-open path was taken.
  std::array<std::uint64_t, kOutcomeCount> outcomes{};
  std::uint64_t httpNamed = 0;  // port-80 requests judged with the URL from their head
  // Port-80 requests judged without a name, by HttpUnnamedReason.
  std::array<std::uint64_t, kHttpUnnamedReasonCount> httpUnnamed{};
  // Now, not cumulative.
  std::uint64_t connections = 0;
  std::uint64_t inspectedConnections = 0;
  std::uint64_t heldPackets = 0;
  std::uint64_t httpWaiting = 0;  // port-80 connections whose first request head is not read yet
};
// Adds every count (a host with several engines reports their sum).
FlowEngineCounters& operator+=(FlowEngineCounters& total, const FlowEngineCounters& part);

// The provider call a step asks for.
enum class Ask : std::uint8_t {
  nothing,
  newFlow,       // handleNewFlow(flow); answer with newFlowAnswer
  outboundData,  // handleOutboundDataFromFlow(flow, offset, bytes); answer with dataAnswer
  dataComplete,  // handleOutboundDataCompleteForFlow(flow); answer with done
  closedReport,  // handleReport(flow closed); answer with done
};

struct Step {
  Ask ask = Ask::nothing;
  FlowRef flow;
  std::uint64_t offset = 0;
  std::vector<std::uint8_t> bytes;
  // outboundData: the TLS server name, when these bytes complete the ClientHello that names it.
  std::string serverName;
};

inline constexpr unsigned kMaxPrefaceRecords = 8;
// What a verdict rests on is kept for comparison up to this much of the stream's start.
inline constexpr std::size_t kMaxJudgedBytes = 64 * 1024;

class Connection {
 public:
  // The counters are the engine's; they are updated under the engine's lock.
  Connection(const ConnectionKey& key, const FlowEngineOptions& options,
             FlowEngineCounters& counters);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // The packet that made the connection.
  Step open(PacketHandle handle, const ParsedPacket& packet, EngineTime now, ConnectionUpdate& out);
  // Any later outbound packet. The host takes the packet's own fate from out's lists (a handle
  // in neither is held).
  Step packet(PacketHandle handle, const ParsedPacket& packet, EngineTime now,
              ConnectionUpdate& out);
  // Answers. inspectionRoom: the engine has room for one more inspected connection.
  Step newFlowAnswer(const NEFilterNewFlowVerdict& verdict, bool inspectionRoom, EngineTime now,
                     ConnectionUpdate& out);
  Step dataAnswer(NEFilterDataVerdict::Kind verdict, EngineTime now, ConnectionUpdate& out);
  Step done(EngineTime now, ConnectionUpdate& out);
  // The deadline() passed.
  Step expire(EngineTime now, ConnectionUpdate& out);
  // The connection is gone (conntrack, end of a capture).
  Step destroyed(ConnectionUpdate& out);
  // The provider dropped the flow (rules changed), or the host must drop it for another reason.
  Step dropRequested(ConnectionUpdate& out, Outcome why = Outcome::updateFlowDrop);
  // A pure ACK, or a data segment inside a body pass, that the host let pass unqueued and shows
  // afterwards: the receiver's view takes it as it would a queued one (only if the server would
  // accept it), without a verdict. missing: payload bytes beyond those the host copied. Anything
  // else is ignored.
  void observed(const ParsedPacket& packet, std::size_t missing = 0);
  // A packet the server sent, which the host saw on its way to the client and shows before any
  // later packet of the client: it bounds the ACKs the server takes.
  // missing: bytes of its payload beyond those the host copied. True when the server's packets
  // need not be shown from here on (mark responsePass).
  [[nodiscard]] bool observedReply(const ParsedPacket& packet, std::size_t missing);
  // Its pure ACKs pass unqueued while it carries HTTP requests (the host observes them).
  bool acksObserved() const;
  // Dropped to make room in a full inspection table.
  void evict(ConnectionUpdate& out);

  const ConnectionKey& key() const { return key_; }
  const FlowRef& flow() const { return flow_; }
  bool busy() const { return awaiting_ != Ask::nothing; }
  // The connection leaves the table (destroyed, or its linger ran out).
  bool gone() const { return gone_; }
  bool inspecting() const { return phase_ == Phase::inspecting; }
  EngineTime lastProgress() const { return lastProgress_; }
  std::size_t heldPackets() const { return held_.size(); }
  std::optional<EngineTime> deadline() const;
  // The mark for the connection's current phase.
  ConnectionMark mark() const;
  // A SYN that opens a new connection on this settled one's address pair: the client ended this
  // one, chose another first sequence number, or had finished the handshake (a retransmitted SYN
  // comes before that). A server's reset lets the client reuse the pair at once, before
  // conntrack's end of the old connection reaches the engine.
  bool reopenedBy(const ParsedPacket& packet) const;
  // Made by such a SYN; while it is being judged, an end reported for the pair may be the old
  // connection's.
  void markReopened() { reopened_ = true; }
  bool reopenedAndUnsettled() const {
    return reopened_ && phase_ != Phase::allowed && phase_ != Phase::dropped;
  }

 private:
  enum class Phase { deciding, naming, inspecting, confirming, allowed, dropped };
  struct Held {
    PacketHandle handle;
    std::uint64_t end;  // stream offset after the packet's last byte; 0 without payload
    std::size_t bytes;
    std::optional<SegmentFields> segment = std::nullopt;  // data judged as stream bytes
    bool inOrder = false;  // it started at or before the next byte expected when it came

    std::uint64_t start() const { return end - std::min<std::uint64_t>(end, bytes); }
  };

  // The next byte the stream lacks: what has been taken and what follows it without a gap.
  std::uint64_t nextExpected() const { return stream_.taken() + stream_.contiguousAvailable(); }

  Step ask(Ask what, ConnectionUpdate& out);
  Step askNewFlow(std::optional<URL> url, ConnectionUpdate& out);
  // Reads the outbound stream in the current phase and asks what comes next.
  Step advance(EngineTime now, ConnectionUpdate& out);
  Step advanceNaming(EngineTime now, ConnectionUpdate& out);
  Step advanceInspection(EngineTime now, ConnectionUpdate& out);
  // Completes inspection without a reading, then settles with `why` (allowed).
  Step completeAndSettle(Outcome why, ConnectionUpdate& out);
  // Ends the phase with an outcome; count: the outcome was not counted per request already.
  Step settle(Outcome why, ConnectionUpdate& out, bool count = true);
  void record(Outcome why, bool endsInspection, bool count);
  Step judgeHead(const HttpHeadResult& head, ConnectionUpdate& out);
  // A head the reader cannot name though a server reads it as a request: one past the limit (a
  // server may take it all and serve the name at its end), one with a method http_parser does
  // not know (a server may answer it and serve the next request), or one http_parser refuses
  // that a lenient server may read. Judged without a name it would let the connection go
  // unread; it is refused (dropped and reset). reason is one refusalOf() gives an outcome.
  Step refuseUnnamedHead(HttpUnnamedReason reason, ConnectionUpdate& out);
  Step finishDestroyed(ConnectionUpdate& out);
  // False, releasing nothing, when the server would refuse one of those packets (passHeld()).
  [[nodiscard]] bool releaseThrough(std::uint64_t end, ConnectionUpdate& out);
  // The held segments up to end go to the server in the order they came: whether it would take
  // each of them after what passed before it (a newer timestamp or ACK may have passed while
  // they waited). If so, they count as passed.
  bool passHeld(std::uint64_t end);
  // Whether bytes at offset agree with those already read that the server may not have taken.
  bool agreesWithRead(std::int64_t offset, std::span<const std::uint8_t> bytes) const;
  // The data that came on the SYN is the server's: nothing to compare later copies with.
  void confirmSynData() {
    synDataConfirmed_ = true;
    synData_.clear();
    synData_.shrink_to_fit();
  }
  // The server holds every byte the verdict rests on.
  bool verdictConfirmed() const { return synDataConfirmed_ && unacknowledged_.empty(); }
  // A verdict that waited for its bytes to be confirmed stands: allowed from here on.
  void confirmed(ConnectionUpdate& out);
  // A FIN or RST that passed the receiver's checks.
  void noteClose(const ParsedPacket& packet);
  // A data segment from start went to the server.
  void sent(std::uint64_t start, const SegmentFields& segment);
  // A segment without data goes out at once, ahead of held data: the server moves its newest
  // timestamp only for one at or before the first byte it lacks (RFC 7323 4.3), and the client
  // acknowledges with the sequence number after all it sent, held data included.
  bool reachesInOrder(const ParsedPacket& segment) const;
  // An observed ACK may have reached the server ahead of data sent before it.
  bool overtakes(const ParsedPacket& ack) const;
  Outcome refusedRelease() const {
    return overtaken_ ? Outcome::ackOvertook : Outcome::staleHeldData;
  }
  void leavePhase();
  // A body the reader needs none of passes the host unqueued from here to near its end.
  void startBodyPass(ConnectionUpdate& out);
  // A data segment wholly inside a passing body (queued all the same: before the host's rule
  // came, or near the end): released unread.
  bool inPassingBody(const ParsedPacket& packet) const;
  // A segment reaching the body's last bytes ends the host's passing of them.
  void closePassNear(std::int64_t offset, std::size_t size, ConnectionUpdate& out);
  // Whether a response has gone on long enough, with nothing of the client's waiting on the
  // server, for the server's packets to pass unshown; starts it if so.
  bool startResponsePass(std::optional<std::size_t> replyLength);
  std::uint32_t sequenceAt(std::uint64_t offset) const {
    return initialSequence_ + 1u + static_cast<std::uint32_t>(offset);
  }
  // A sequence number's stream offset, read from where the stream stands: sequence numbers
  // repeat every 4 GiB, and a connection may carry more.
  std::int64_t offsetOf(std::uint32_t sequence) const {
    const std::uint64_t here = nextExpected();
    return static_cast<std::int64_t>(here) + static_cast<std::int32_t>(sequence - sequenceAt(here));
  }
  // Checks a segment's bytes against data that came on the SYN; false on a conflict.
  // confirms: this copy may confirm them (a retransmitted SYN does not).
  bool checkSynData(std::int64_t offset, std::span<const std::uint8_t> bytes, bool confirms);
  // Strips ChangeCipherSpec and alert records off the front of the TLS stream.
  std::vector<std::uint8_t> skipPrefaceRecords(std::vector<std::uint8_t> bytes);
  // Reads the ClientHello as it grows: counts its ECH offer and answers its server name once the
  // hello is whole (empty before, after, and when it names none).
  std::string readHello(const std::vector<std::uint8_t>& bytes);
  bool holdOverLimit() const;
  // A data segment at offset may be kept: in the reassembly window and, beyond a gap or while
  // the provider is asked, within the hold limits. Otherwise it is dropped unread: ending the
  // inspection instead (allowing) would let one packet the server throws away, or a gap left
  // open, carry a blocked name past the filter.
  bool fitsInHold(std::int64_t offset, std::size_t size, bool inOrder) const;
  // Past the hold bound: what is held beyond a gap is dropped unread and forgotten.
  void forgetBeyondGap(ConnectionUpdate& out);
  // A server packet with data before its answer was read: whether its first bytes are a
  // HelloRetryRequest. missing: bytes of the packet the host did not copy.
  void serverAnswered(const ParsedPacket& reply, std::size_t missing);
  // Confirming after a ClientHello: the server's answer is not seen yet, or asked for a retry
  // whose second hello is not read yet.
  bool retryOpen() const { return helloWatch_ && (!serverAnswered_ || retry_ == Retry::awaited); }
  // A data segment of the client's flight after a HelloRetryRequest: held and read.
  Step readRetry(PacketHandle handle, const ParsedPacket& packet, std::int64_t offset, bool inOrder,
                 EngineTime now, ConnectionUpdate& out);
  // The client's flight after the server's answer is no second hello, or names the same server.
  Step letRetryGo(ConnectionUpdate& out);

  ConnectionKey key_;
  const FlowEngineOptions& options_;
  FlowEngineCounters& counters_;
  Phase phase_ = Phase::deciding;
  Ask awaiting_ = Ask::nothing;
  FlowRef flow_;
  FlowRef closingFlow_;  // a finished HTTP request's flow whose report is being sent
  Outcome pendingOutcome_ = Outcome::pending;  // settles after the dataComplete call
  Outcome confirmOutcome_ = Outcome::pending;  // settles when SYN data is confirmed
  bool shouldReport_ = false;
  bool reported_ = false;
  bool destroyRequested_ = false;
  bool dropRequested_ = false;
  Outcome dropOutcome_ = Outcome::updateFlowDrop;
  bool clientClosed_ = false;             // the server's stream has ended (noteClose)
  bool sawClose_ = false;                 // a FIN or RST came, taken or not
  std::optional<std::uint64_t> closeAt_;  // where the earliest FIN ends the stream
  bool pastHandshake_ = false;            // a packet without SYN came
  bool reopened_ = false;
  bool gone_ = false;
  bool firstPacket_ = true;  // the new-flow call is for the packet that opened it
  bool streamKnown_ = false;
  std::uint32_t initialSequence_ = 0;
  std::uint32_t clientSide_ = 0;  // the interface the first packet came in on, if the host tells
  TcpReceiverView receiver_;
  // The same from the packets that have gone to the server (held ones only once released).
  TcpReceiverView passed_;
  // Data let go while ACKs pass unqueued: such an ACK may overtake data still in the queue and
  // make the server drop it (PAWS). One that could have (newer than the data, yet not beyond its
  // start, which the client's own ACKs never are) ends the connection at its next data.
  struct Sent {
    std::uint64_t start;
    std::uint32_t timestamp;
  };
  static constexpr std::size_t kSentKept = 16;
  std::vector<Sent> sent_;          // the last ones
  std::optional<Sent> sentBefore_;  // those before them together: last start, oldest timestamp
  bool overtaken_ = false;
  StreamReassembler stream_;
  std::vector<Held> held_;  // a deque would allocate on every connection made
  std::size_t heldBytes_ = 0;
  EngineTime lastProgress_{};
  std::optional<EngineTime> lingerUntil_;

  // Data that came on the SYN, kept until it is confirmed.
  std::vector<std::uint8_t> synData_;
  bool synDataConfirmed_ = true;
  std::int64_t synDataSeenAgain_ = 0;  // the same bytes came again up to here
  bool synConflict_ = false;
  bool confirmEndsInspection_ = false;
  bool confirmCounts_ = true;

  // Inspection: bytes given to the provider, and the preface records read past.
  std::uint64_t delivered_ = 0;
  bool prefaceDone_ = false;
  unsigned prefaceRecords_ = 0;
  std::vector<std::uint8_t> prefaceHeader_;

  // The ClientHello so far while it is incomplete, until its ECH offer and server name are read.
  std::vector<std::uint8_t> helloBytes_;
  // The stream's bytes from its start as inspection took them, while they are few enough to
  // keep: what a verdict rests on until the server acknowledges it.
  std::vector<std::uint8_t> judged_;
  bool judgedWhole_ = true;
  bool helloRead_ = false;
  // The ClientHello goes on past what the reader holds: a server takes hellos twice as long
  // (OpenSSL's bound is 128 KiB) and would read the name the reader never reached.
  bool helloTooLarge_ = false;
  std::uint64_t prefaceSkip_ = 0;
  // The name the ClientHello gave (empty: none), once read.
  std::string helloName_;

  // Confirming a verdict on a ClientHello where the server's packets are shown: its first byte
  // (after its SYN-ACK), whether its first bytes came, and what they asked for.
  bool helloWatch_ = false;
  std::optional<std::uint32_t> serverFirst_;
  bool serverAnswered_ = false;
  std::vector<std::uint8_t> answer_;  // the server's first bytes while too few to tell
  enum class Retry : std::uint8_t { none, awaited, read };
  Retry retry_ = Retry::none;
  bool retryKnown_ = false;  // the server's answer was read as a HelloRetryRequest
  // The client's stream past what it sent before the retry was asked for, as far as it came.
  std::uint64_t clientEnd_ = 0;
  std::uint64_t retryFrom_ = 0;
  std::vector<std::uint8_t> retryBytes_;

  // Naming: the request reader, bytes taken from the stream but not read yet, and how far the
  // reader has read with every head in it judged.
  std::unique_ptr<HttpRequestReader> http_;
  std::vector<std::uint8_t> httpPending_;
  std::uint64_t httpRead_ = 0;
  // Where the server's packets are shown: what the reading rests on, till they acknowledge it.
  UnacknowledgedBytes unacknowledged_{kMaxJudgedBytes};
  bool httpEnded_ = false;
  // A body (or a part of it) passing the host unqueued: the stream offsets where such segments
  // may start, and the part's end. open: the host still lets them pass (until a segment reaches
  // beyond to).
  struct BodyPass {
    std::uint64_t from;
    std::uint64_t to;
    std::uint64_t end;
  };
  std::optional<BodyPass> pass_;
  bool passOpen_ = false;
  // The server's packets pass unshown (mark responsePass), and the server's bytes since the
  // client's stream last moved.
  bool responsePass_ = false;
  std::uint64_t responseBytes_ = 0;
  // A head judged while the previous request's report is out: the URL to ask about next.
  std::optional<std::optional<URL>> nextRequest_;
};

}  // namespace quillnest::hosts
