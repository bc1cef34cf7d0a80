// The root-only control socket and its status protocol.
//
// Protocol: the client sends one request line; the server answers one line and closes.
//   "status\n"  ->  one JSON object (encodeStatus) + "\n"
//   other       ->  {"error":"unknown request"} + "\n"
// Only peers whose SO_PEERCRED uid is the allowed one (root) get an answer; others are closed
// without one.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "hosts/linux/control/unix_socket.h"

namespace quillnest::linuxhost {

// What the daemon reports about itself; it fills every number.
struct StatusReport {
  std::string version;
  std::string rulesFile;
  bool rulesEnabled = false;
  std::string rulesProblem;  // why the rules file gave no rules, when it did not
  bool failClosed = false;   // run --fail-closed: web connections fail while the daemon is down
  std::uint64_t ruleEntries = 0;   // domains in the rules in force
  std::uint64_t trackedFlows = 0;  // connections the daemon follows now
  std::uint64_t heldFlows = 0;     // connections held for their ClientHello now
  std::uint64_t heldPackets = 0;
  std::uint64_t flowsSeen = 0;
  std::uint64_t flowsAllowed = 0;
  std::uint64_t blockedByHostName = 0;
  std::uint64_t blockedByTLSName = 0;
  std::uint64_t udp443Drops = 0;
  std::uint64_t resets = 0;
  std::uint64_t failOpenEvents = 0;
  // Port-80 flows: named by their request's Host, waiting for it now, and judged without a
  // name, by why.
  std::uint64_t httpNamedByHost = 0;
  std::uint64_t httpWaiting = 0;
  std::uint64_t httpUnnamedNotHttp = 0;
  std::uint64_t httpUnnamedHttp2 = 0;
  std::uint64_t httpUnnamedMissingHost = 0;
  std::uint64_t httpUnnamedBadHost = 0;
  std::uint64_t httpUnnamedHeadTooLarge = 0;
  std::uint64_t httpUnnamedClosedFirst = 0;
  std::uint64_t httpUnnamedTimedOut = 0;
  // Evasion defences: packets ignored for a wrong TCP checksum, connections dropped for two
  // different copies of the same bytes, idle inspections dropped to make room.
  std::uint64_t badChecksums = 0;
  std::uint64_t conflictingStreams = 0;
  std::uint64_t evictions = 0;
  std::uint64_t reopenedConnections = 0;
  // Packets in a server's name that came in where its client is (a gateway's client forging
  // them), not believed.
  std::uint64_t repliesFromClientSide = 0;
  // Pure ACKs and segments of passing request bodies of port-80 connections, logged instead of
  // queued.
  std::uint64_t acksObserved = 0;
  std::uint64_t bodiesPassed = 0;     // request bodies let pass unqueued but for their ends
  std::uint64_t responsesPassed = 0;  // long responses with the server's packets unlogged
  std::uint64_t ackLogLosses = 0;     // times some of them were lost (the kernel's buffer was full)
  std::uint64_t droppedAckLogLost = 0;  // connections reset for it
  // Connections reset because held data had gone stale for the server before its release.
  std::uint64_t droppedStaleHeldData = 0;
  // Connections reset because an ACK passed unqueued may have overtaken data read from the queue.
  std::uint64_t droppedAckOvertook = 0;
  std::uint64_t droppedHttpHeadTooLarge = 0;
  std::uint64_t droppedHttpUnknownMethod = 0;
  std::uint64_t droppedHttpMalformed = 0;
  std::uint64_t droppedTlsHelloTooLarge = 0;  // a ClientHello longer than the reader takes
  // HelloRetryRequests answering a ClientHello allowed, and connections reset for a second
  // ClientHello that named another server.
  std::uint64_t helloRetries = 0;
  std::uint64_t droppedTlsRetryNameChanged = 0;
  // New connections met with a full connection table: allowed unread, or, failing closed, web
  // ones dropped (droppedTableFull).
  std::uint64_t tableFull = 0;
  std::uint64_t droppedTableFull = 0;
  // Fail-open events by path: no new bytes within the hold bound; a limit (held packets or
  // bytes, the inspection table, the reassembly window); no handshake seen to read from.
  std::uint64_t failOpenHoldExpired = 0;
  std::uint64_t failOpenLimitReached = 0;
  std::uint64_t failOpenNoHandshake = 0;
  // Names hidden from the filter: ClientHellos offering ECH (decoys too), well-known
  // DNS-over-HTTPS names the host added to the rules (not in ruleEntries), DNS answers read and
  // unreadable, ech parameters taken out of answers for blocked names and ports of their HTTPS
  // records set to 443, canary answers, port-853 drops, drops to resolver addresses.
  std::uint64_t echClientHellos = 0;
  std::uint64_t resolverEntries = 0;
  std::uint64_t dnsAnswersRead = 0;
  std::uint64_t dnsAnswersUnparsed = 0;
  std::uint64_t echParametersRemoved = 0;
  std::uint64_t httpsPortsRewritten = 0;
  std::uint64_t canariesAnswered = 0;
  std::uint64_t port853Drops = 0;
  std::uint64_t resolverAddressDrops = 0;  // to port 443 of a DNS-over-HTTPS resolver's address
  std::uint64_t dnsTcpSegmentsDropped = 0;
  // Times the filter's iptables rules were put back after another program took them out.
  std::uint64_t rulesPutBack = 0;
  std::uint64_t subscribers = 0;  // notification subscribers connected now
  std::uint64_t uptimeSeconds = 0;
  friend bool operator==(const StatusReport&, const StatusReport&) = default;
};

class StatusSource {
 public:
  virtual ~StatusSource() = default;
  // Called on the control thread; must not block for long.
  virtual StatusReport status() = 0;
};

// One JSON object on one line, keys as the field names above.
std::string encodeStatus(const StatusReport& report);
// Unknown keys are ignored, missing numbers read as 0; none (with error set) for anything that
// is not such an object, or for an {"error": ...} answer.
std::optional<StatusReport> decodeStatus(std::string_view json, std::string& error);
// For people: one "name: value" line per field.
std::string formatStatus(const StatusReport& report);

struct ControlServerOptions {
  uid_t allowedUid = 0;
  mode_t socketMode = 0600;
  std::chrono::milliseconds clientTimeout{1000};  // a silent client is cut off after this
};

class ControlServer {
 public:
  // Listens at socketPath (whose directory must exist). Throws std::system_error. source must
  // outlive the server.
  ControlServer(std::filesystem::path socketPath, StatusSource& source,
                ControlServerOptions options = {});
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  std::uint64_t refusedPeers() const { return refused_.load(); }

 private:
  void run();
  void serve(int fd);

  StatusSource& source_;
  ControlServerOptions options_;
  std::atomic<std::uint64_t> refused_{0};
  SocketServerThread server_;
};

// Asks the daemon at socketPath. Throws std::runtime_error with a message for people.
StatusReport requestStatus(const std::filesystem::path& socketPath,
                           std::chrono::milliseconds timeout = std::chrono::seconds(3));

}  // namespace quillnest::linuxhost
