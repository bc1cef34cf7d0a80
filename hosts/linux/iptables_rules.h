// The iptables side of interception: the rule text of our chains and the commands that install
// and remove it.
//
// Everything lives in chains of our own in the mangle table (QUILLNEST_OUT from OUTPUT,
// QUILLNEST_FWD from FORWARD, QUILLNEST_POST from POSTROUTING) and, with forwarding, one in the
// filter table (QUILLNEST_RESET from FORWARD), so removal never touches a rule of anyone else.
// mangle, because it is the first table a locally generated packet meets and its chains exist in
// every hook we need. The first packet of each new TCP/UDP connection and the
// outbound packets of connections under inspection go to NFQUEUE; a queued packet leaves the
// chain there, so the outcome comes back as the verdict's packet mark, which QUILLNEST_POST saves
// into the connmark.
//
// A forwarded connection has no local socket to destroy, and the host knows its tuple but not
// its sequence numbers, so it cannot forge a reset. Instead each packet of a dropped forwarded
// TCP connection passes mangle and meets REJECT --reject-with tcp-reset in QUILLNEST_RESET
// (REJECT exists only in the filter table): the kernel answers it with a reset that carries the
// right sequence number, so each end fails at its next packet instead of retransmitting into
// silence. A packet that another rule accepts ahead of our jump is dropped in QUILLNEST_POST.
//
// The probes that make both ends of a dropped forwarded connection answer (forward_resetter.h)
// carry the addresses each end knows, NAT or not; QUILLNEST_PROBE in the raw table (from OUTPUT,
// with forwarding) leaves them untracked, so that conntrack neither translates them a second time
// nor, under NAT, gives them other ports as new connections that clash with the real one.
//
// Install and removal are each one iptables-restore --noflush transaction per family, computed
// from what iptables-save shows now: our chains are flushed and refilled, every jump to them is
// deleted before one is inserted, so a crash leaves nothing that a new start cannot replace
// without duplicates.
//
// The server's packets of connections under inspection (SYN-ACK, data, FIN; port 80 and 443) are
// logged too, headers only and not queued, with the prefix kReplyLogPrefix, in QUILLNEST_IN and
// QUILLNEST_FWD: the engine learns what the server sent before the client can acknowledge it, and
// refuses data carrying an ACK of bytes never sent, which the server discards. Packets from ports
// 80 and 443 that conntrack calls invalid carry no mark but reach the client all the same: they
// are logged as well, at most 2,000 a second.
//
// Pure ACKs of port-80 connections under inspection (with ackLogGroup): on a download they are
// almost every packet the client sends, and a queue round trip each halves the throughput. They
// pass unqueued through QUILLNEST_ACK, which copies their headers to an NFLOG group first; the
// daemon shows each to the engine before it judges the connection's next queued packet, so the
// engine's view of what the server takes stays as new as the server's own. Only packets whose IP
// length is exactly the headers' (IPv4 without options, IPv6 without extension headers) match:
// one rule per TCP header length, since a segment with even one byte of data must be queued.
//
// A long request body (with ackLogGroup) passes the same way: its connection's connmark becomes
// kMarkBodyPass, which jumps to QUILLNEST_BODY, where one rule per body (body_passes.h) sends the
// connection's plain data segments that start inside the body, short of its last megabyte,
// through QUILLNEST_ACK (or straight to ACCEPT where the engine need not see them). A match on
// kMarkInspect's bits takes kMarkBodyPass too, so without a rule (not made yet, or gone) such a
// connection is queued as before. While a connection holds kMarkBodyPass the server's packets with
// only ACK set (among SYN, FIN, RST, URG) are not logged: while a body passes they are mostly pure
// ACKs, and on a long response (the engine asks for the mark through conntrack, as no queued packet
// carries it) most of its packets.
//
// Fail-closed: the queue rules of web connections (TCP 80 and 443, UDP 443, and the packets of
// held connections) lose --queue-bypass. The rules stay when the daemon dies, and a queue nobody
// reads drops what reaches it, so new web connections fail until the daemon is back; the rest
// of the machine's traffic keeps bypassing. An orderly stop removes the rules as always.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hosts/common/engine/connection.h"

namespace quillnest::linuxhost {

inline constexpr std::string_view kOutputChain = "QUILLNEST_OUT";
inline constexpr std::string_view kForwardChain = "QUILLNEST_FWD";
inline constexpr std::string_view kPostroutingChain = "QUILLNEST_POST";
inline constexpr std::string_view kResetChain = "QUILLNEST_RESET";  // filter table
inline constexpr std::string_view kProbeChain = "QUILLNEST_PROBE";  // raw table
// DNS answers arriving for this machine (a local stub resolver hears its upstream here).
inline constexpr std::string_view kInputChain = "QUILLNEST_IN";
// Logs and accepts the pure ACKs that pass unqueued.
inline constexpr std::string_view kAckChain = "QUILLNEST_ACK";
// The segments of request bodies let pass unqueued, one rule per body (bodyPassRule), reached
// from the connections marked kMarkBodyPass; they go through QUILLNEST_ACK to be logged, or are
// accepted unlogged.
inline constexpr std::string_view kBodyChain = "QUILLNEST_BODY";
// Bytes of each logged ACK copied to the NFLOG group: every IP and TCP header fits.
inline constexpr unsigned kAckLogCopy = 128;
// The prefix of the server's packets of those connections, logged to the same group on their way
// to the client: they bound the ACKs the server takes.
inline constexpr std::string_view kReplyLogPrefix = "quillnest-reply";

enum class IpFamilyTool { v4, v6 };

struct RuleOptions {
  std::uint16_t firstQueue = 0;
  std::uint16_t queueCount = 1;
  bool forward = false;
  bool failClosed = false;
  // The NFLOG group that pure ACKs of port-80 connections under inspection go to instead of the
  // queue; none: they are queued.
  std::optional<std::uint16_t> ackLogGroup = std::nullopt;
};

// What iptables-save (mangle, filter and raw tables) shows of ours.
struct ExistingRules {
  bool outputChain = false;
  bool forwardChain = false;
  bool postroutingChain = false;
  int outputJumps = 0;
  int forwardJumps = 0;
  int postroutingJumps = 0;
  bool resetChain = false;  // filter table
  int resetJumps = 0;       // filter FORWARD -> QUILLNEST_RESET
  bool inputChain = false;
  int inputJumps = 0;
  bool ackChain = false;
  bool bodyChain = false;
  bool probeChain = false;  // raw table
  int probeJumps = 0;       // raw OUTPUT -> QUILLNEST_PROBE

  bool anyMangle() const {
    return outputChain || forwardChain || postroutingChain || inputChain || ackChain || bodyChain ||
           outputJumps > 0 || forwardJumps > 0 || postroutingJumps > 0 || inputJumps > 0;
  }
  bool anyFilter() const { return resetChain || resetJumps > 0; }
  bool anyRaw() const { return probeChain || probeJumps > 0; }
  bool any() const { return anyMangle() || anyFilter() || anyRaw(); }
};

ExistingRules parseExistingRules(std::string_view iptablesSave);

// The QUILLNEST_BODY rule (without "-A CHAIN") for one connection's body: its data segments that
// start inside range, with ACK and no flag but PSH beside it.
std::string bodyPassRule(const hosts::ConnectionKey& key, hosts::SequenceRange range,
                         bool logged = true);
// The iptables tool family of a connection.
IpFamilyTool familyOf(const hosts::ConnectionKey& key);

// The NFQUEUE target arguments: "--queue-num 3" or "--queue-balance 0:3", then "--queue-bypass"
// unless bypass is false.
std::string queueTarget(const RuleOptions& options, bool bypass = true);

// iptables-restore --noflush input that leaves exactly our current rules in place.
std::string installScript(const RuleOptions& options, const ExistingRules& existing,
                          IpFamilyTool family = IpFamilyTool::v4);
// iptables-restore --noflush input that removes every jump and chain of ours; empty if none.
std::string removeScript(const ExistingRules& existing);

// Runs iptables-save / iptables-restore for one family. save gives the mangle and the filter
// table. Each returns an empty string on success, else a message that says what failed.
class IptablesRunner {
 public:
  virtual ~IptablesRunner() = default;
  virtual std::string save(IpFamilyTool family, std::string& output) = 0;
  virtual std::string restore(IpFamilyTool family, const std::string& script) = 0;
};

// The real tools, found on PATH (iptables-save, iptables-restore, ip6tables-...).
class ProcessIptablesRunner final : public IptablesRunner {
 public:
  std::string save(IpFamilyTool family, std::string& output) override;
  std::string restore(IpFamilyTool family, const std::string& script) override;
};

// True when an executable of that name is on PATH (or the name is an executable path).
bool toolAvailable(std::string_view name);

// Install for both families; stale rules of a crashed run are replaced. On a failure whatever of
// ours is in place is removed again and the message names the failing step.
std::string installRules(IptablesRunner& runner, const RuleOptions& options);
// Remove ours from both families; a family without our rules is left alone.
std::string removeRules(IptablesRunner& runner);

}  // namespace quillnest::linuxhost
