#include "hosts/linux/iptables_rules.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include "hosts/linux/marks.h"
#include "hosts/linux/process.h"

namespace quillnest::linuxhost {
namespace {

std::string hex(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", value);
  return text;
}

std::string markMatch(std::uint32_t value) { return hex(value) + "/" + hex(kMarkMask); }
// Connections under inspection, with a body passing or not.
std::string inspectedMatch() { return hex(kMarkInspect) + "/" + hex(kMarkInspect); }

// Built without "literal" + string: GCC 12 at -O3 warns falsely (-Wrestrict) on that form.
bool startsWithWord(std::string_view line, std::string_view word) {
  return line.substr(0, word.size()) == word &&
         (line.size() == word.size() || line[word.size()] == ' ');
}

// iptables-save prints a jump as "-A OUTPUT -j QUILLNEST_OUT"; other matches may come between.
bool isJump(std::string_view line, std::string_view builtin, std::string_view chain) {
  if (line.substr(0, 3) != "-A ") return false;
  line.remove_prefix(3);
  if (!startsWithWord(line, builtin)) return false;
  for (auto at = line.find(" -j "); at != std::string_view::npos; at = line.find(" -j ", at + 1)) {
    if (startsWithWord(line.substr(at + 4), chain)) return true;
  }
  return false;
}

bool declaresChain(std::string_view line, std::string_view chain) {
  return line.substr(0, 1) == ":" && startsWithWord(line.substr(1), chain);
}

// DNS answers to this machine's clients pass the daemon, which takes ECH configurations out of
// the answers for blocked names. The packet mark tells it that a queued packet is one.
void appendAnswerRules(std::ostringstream& script, std::string_view chain,
                       const std::string& queue) {
  std::string a = "-A " + std::string(chain) + " ";
  for (const char* protocol : {"udp", "tcp"})
    script << a << "-p " << protocol
           << " --sport 53 -m conntrack --ctdir REPLY -j MARK --set-xmark "
           << markMatch(kMarkDnsAnswer) << "\n";
  script << a << "-m mark --mark " << markMatch(kMarkDnsAnswer) << " -j NFQUEUE " << queue << "\n";
}

// A packet whose IP length leaves no byte of data behind a TCP header of `tcp` bytes (u32 reads
// only header fields, which every such packet has whole). Fragments never match: conntrack has
// reassembled them before mangle, and IPv4 is checked for offset and more-fragments anyway.
std::string noDataTest(IpFamilyTool family, unsigned tcp) {
  if (family == IpFamilyTool::v4) {
    // Version 4 with a 20-byte header; total length; no fragment; the TCP data offset.
    return "0>>24=0x45&&0&0xFFFF=" + std::to_string(20 + tcp) +
           "&&4&0x3FFF=0&&32>>26&0x3C=" + std::to_string(tcp);
  }
  // Payload length and next header TCP in one field; the TCP data offset.
  return "4>>8=" + std::to_string(tcp << 8 | 6) + "&&52>>26&0x3C=" + std::to_string(tcp);
}

// Pure ACKs of inspected port-80 connections to kAckChain: the TCP flags, then one rule per TCP
// header length.
void appendAckRules(std::ostringstream& script, std::string_view chain, IpFamilyTool family) {
  for (unsigned words = 5; words <= 15; ++words) {
    const std::string test = noDataTest(family, words * 4);
    // Urgent ones are queued, to be refused.
    script << "-A " << chain << " -p tcp --dport 80 --tcp-flags SYN,FIN,RST,ACK,URG ACK -m connmark"
           << " --mark " << inspectedMatch() << " -m conntrack --ctdir ORIGINAL -m u32 --u32 \""
           << test << "\" -j " << kAckChain << "\n";
  }
}

// forward: a dropped TCP connection returns here and is answered by QUILLNEST_RESET in the filter
// table; every other dropped packet ends in this chain. webQueue: the target of web connections.
void appendChainRules(std::ostringstream& script, std::string_view chain, bool forward,
                      const std::string& queue, const std::string& webQueue,
                      std::optional<IpFamilyTool> ackFamily) {
  std::string a = "-A " + std::string(chain) + " ";
  if (!forward) script << a << "-o lo -j RETURN\n";
  // A reset ends a connection we dropped or destroyed; it must reach the server, which would
  // otherwise wait on a half-open connection.
  script << a << "-p tcp --tcp-flags RST RST -j RETURN\n";
  // A SYN on a connection conntrack already has: it reuses the old entry, and with it the old
  // connection's mark, when the old one's last packet was the server's reset (a client can make
  // it so). The new connection must be judged afresh.
  script << a << "-p tcp --tcp-flags SYN,ACK,RST SYN -m conntrack ! --ctstate NEW -j NFQUEUE "
         << queue << "\n";
  appendAnswerRules(script, chain, queue);
  script << a << "-m connmark --mark " << markMatch(kMarkAllowed) << " -j RETURN\n";
  if (forward)
    script << a << "-p tcp -m connmark --mark " << markMatch(kMarkDropped) << " -j RETURN\n";
  script << a << "-m connmark --mark " << markMatch(kMarkDropped) << " -j DROP\n";
  if (ackFamily) {
    // Ahead of the ACK rules: a body's segments are the most of its packets, and none is one.
    script << a << "-p tcp -m connmark --mark " << markMatch(kMarkBodyPass)
           << " -m conntrack --ctdir ORIGINAL -j " << kBodyChain << "\n";
    appendAckRules(script, chain, *ackFamily);
  }
  script << a << "-p tcp -m connmark --mark " << inspectedMatch()
         << " -m conntrack --ctdir ORIGINAL -j NFQUEUE " << webQueue << "\n";
  // Conntrack calls some segments invalid that the server takes all the same (one with a SACK
  // block beyond what the server sent: conntrack checks the block, the server ignores it). With
  // no connection they carry no mark, and would pass unread. Here, as no mark rule above can
  // match them, only packets of unmarked connections pay for the test.
  script << a << "-p tcp -m multiport --dports 80,443 -m conntrack --ctstate INVALID -j NFQUEUE "
         << webQueue << "\n";
  if (webQueue != queue) {
    script << a << "-p tcp -m multiport --dports 80,443 -m conntrack --ctstate NEW -j NFQUEUE "
           << webQueue << "\n";
    script << a << "-p udp --dport 443 -m conntrack --ctstate NEW -j NFQUEUE " << webQueue << "\n";
  }
  script << a << "-p tcp -m conntrack --ctstate NEW -j NFQUEUE " << queue << "\n";
  script << a << "-p udp -m conntrack --ctstate NEW -j NFQUEUE " << queue << "\n";
}

const char* saveTool(IpFamilyTool family) {
  return family == IpFamilyTool::v4 ? "iptables-save" : "ip6tables-save";
}
const char* restoreTool(IpFamilyTool family) {
  return family == IpFamilyTool::v4 ? "iptables-restore" : "ip6tables-restore";
}

std::string describe(const char* tool, const ProcessResult& result) {
  std::string message = tool;
  if (!result.startError.empty()) return message + ": " + result.startError;
  message += " failed (exit " + std::to_string(result.exitCode) + ")";
  std::string detail = result.errorOutput;
  while (!detail.empty() && (detail.back() == '\n' || detail.back() == ' ')) detail.pop_back();
  if (!detail.empty()) message += ": " + detail;
  return message;
}

}  // namespace

ExistingRules parseExistingRules(std::string_view save) {
  ExistingRules existing;
  enum class Table { other, mangle, filter, raw } table = Table::other;
  std::size_t start = 0;
  while (start <= save.size()) {
    auto end = save.find('\n', start);
    if (end == std::string_view::npos) end = save.size();
    std::string_view line = save.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    if (line.empty() || line[0] == '#') continue;
    if (line[0] == '*') {
      table = line == "*mangle"   ? Table::mangle
              : line == "*filter" ? Table::filter
              : line == "*raw"    ? Table::raw
                                  : Table::other;
      continue;
    }
    if (table == Table::other) continue;
    if (line[0] == '[') {  // "[pkts:bytes] -A ..." with -c
      auto close = line.find("] ");
      if (close == std::string_view::npos) continue;
      line.remove_prefix(close + 2);
    }
    if (table == Table::filter) {
      existing.resetChain |= declaresChain(line, kResetChain);
      existing.resetJumps += isJump(line, "FORWARD", kResetChain);
      continue;
    }
    if (table == Table::raw) {
      existing.probeChain |= declaresChain(line, kProbeChain);
      existing.probeJumps += isJump(line, "OUTPUT", kProbeChain);
      continue;
    }
    existing.outputChain |= declaresChain(line, kOutputChain);
    existing.forwardChain |= declaresChain(line, kForwardChain);
    existing.postroutingChain |= declaresChain(line, kPostroutingChain);
    existing.outputJumps += isJump(line, "OUTPUT", kOutputChain);
    existing.forwardJumps += isJump(line, "FORWARD", kForwardChain);
    existing.postroutingJumps += isJump(line, "POSTROUTING", kPostroutingChain);
    existing.inputChain |= declaresChain(line, kInputChain);
    existing.inputJumps += isJump(line, "INPUT", kInputChain);
    existing.ackChain |= declaresChain(line, kAckChain);
    existing.bodyChain |= declaresChain(line, kBodyChain);
  }
  return existing;
}

IpFamilyTool familyOf(const hosts::ConnectionKey& key) {
  return key.family == hosts::IpFamily::v4 ? IpFamilyTool::v4 : IpFamilyTool::v6;
}

std::string bodyPassRule(const hosts::ConnectionKey& key, hosts::SequenceRange range, bool logged) {
  // u32 ranges include their end; one that wraps is two.
  const std::uint32_t last = range.to - 1u;
  std::string ranges =
      std::to_string(range.from) + ":" +
      (range.from <= last ? std::to_string(last) : "4294967295,0:" + std::to_string(last));
  // The sequence number, behind IPv4's header (its length from IHL), or IPv6's fixed one
  // directly followed by TCP (a packet with extension headers is queued).
  const std::string test =
      familyOf(key) == IpFamilyTool::v4 ? "0>>22&0x3C@4=" + ranges : "4>>8&0xFF=6&&44=" + ranges;
  return "-s " + key.local.text() + " -d " + key.remote.text() + " -p tcp --sport " +
         std::to_string(key.localPort) + " --dport " + std::to_string(key.remotePort) +
         " --tcp-flags SYN,FIN,RST,URG,ACK ACK -m u32 --u32 \"" + test + "\" -j " +
         std::string(logged ? kAckChain : "ACCEPT");
}

std::string queueTarget(const RuleOptions& options, bool bypass) {
  std::string target;
  if (options.queueCount <= 1) {
    target = "--queue-num " + std::to_string(options.firstQueue);
  } else {
    target = "--queue-balance " + std::to_string(options.firstQueue) + ":" +
             std::to_string(options.firstQueue + options.queueCount - 1);
  }
  return bypass ? target + " --queue-bypass" : target;
}

namespace {

// A chain of ours alone in its table, jumped to first from one hook, that only forwarding needs.
struct ForwardingChain {
  std::string_view table, chain, hook;
  bool present;  // what the table holds now
  int jumps;
};

// Its table's section: the chain made anew with rule and its jump (forward), or removed; what a
// crash left goes either way. Nothing when there is nothing to do.
void forwardingChain(std::ostringstream& script, const ForwardingChain& c, bool forward,
                     const std::string& rule = {}) {
  if (!forward && !c.present && c.jumps == 0) return;
  script << "*" << c.table << "\n";
  if (forward || c.present) script << ":" << c.chain << " - [0:0]\n";
  for (int i = 0; i < c.jumps; ++i) script << "-D " << c.hook << " -j " << c.chain << "\n";
  if (forward) {
    script << "-A " << c.chain << " " << rule << "\n";
    script << "-I " << c.hook << " 1 -j " << c.chain << "\n";
  } else if (c.present) {
    script << "-F " << c.chain << "\n-X " << c.chain << "\n";
  }
  script << "COMMIT\n";
}

}  // namespace

std::string installScript(const RuleOptions& options, const ExistingRules& existing,
                          IpFamilyTool family) {
  std::ostringstream script;
  script << "*mangle\n";
  // Declaring a chain creates it, or flushes it when a crashed run left it behind.
  script << ":" << kOutputChain << " - [0:0]\n";
  if (options.ackLogGroup || existing.ackChain) script << ":" << kAckChain << " - [0:0]\n";
  if (options.ackLogGroup || existing.bodyChain) script << ":" << kBodyChain << " - [0:0]\n";
  script << ":" << kPostroutingChain << " - [0:0]\n";
  script << ":" << kInputChain << " - [0:0]\n";
  if (options.forward || existing.forwardChain) script << ":" << kForwardChain << " - [0:0]\n";
  for (int i = 0; i < existing.outputJumps; ++i) script << "-D OUTPUT -j " << kOutputChain << "\n";
  for (int i = 0; i < existing.forwardJumps; ++i)
    script << "-D FORWARD -j " << kForwardChain << "\n";
  for (int i = 0; i < existing.postroutingJumps; ++i)
    script << "-D POSTROUTING -j " << kPostroutingChain << "\n";
  for (int i = 0; i < existing.inputJumps; ++i) script << "-D INPUT -j " << kInputChain << "\n";
  if (!options.forward && existing.forwardChain) script << "-X " << kForwardChain << "\n";
  // Its jumps went with the flush of the chains that held them.
  if (!options.ackLogGroup && existing.bodyChain) script << "-X " << kBodyChain << "\n";
  if (!options.ackLogGroup && existing.ackChain) script << "-X " << kAckChain << "\n";

  const std::string queue = queueTarget(options);
  const std::string webQueue = queueTarget(options, !options.failClosed);
  // Our probes belong to connections marked dropped, which this chain would drop.
  if (options.forward)
    script << "-A " << kOutputChain << " -m mark --mark " << markMatch(kMarkProbe)
           << " -j RETURN\n";
  std::optional<IpFamilyTool> ackFamily;
  if (options.ackLogGroup) {
    ackFamily = family;
    // ACCEPT, as the queue's verdict would: the rest of mangle in this hook is skipped either way.
    script << "-A " << kAckChain << " -j NFLOG --nflog-group " << *options.ackLogGroup
           << " --nflog-size " << kAckLogCopy << " --nflog-threshold 1\n";
    script << "-A " << kAckChain << " -j ACCEPT\n";
  }
  appendChainRules(script, kOutputChain, false, queue, webQueue, ackFamily);
  if (options.forward) appendChainRules(script, kForwardChain, true, queue, webQueue, ackFamily);
  appendAnswerRules(script, kInputChain, queue);
  if (options.ackLogGroup) {
    std::ostringstream log;
    log << " -j NFLOG --nflog-group " << *options.ackLogGroup << " --nflog-size " << kAckLogCopy
        << " --nflog-threshold 1 --nflog-prefix " << kReplyLogPrefix << "\n";
    // Every connection under inspection: a segment acknowledging what its server never sent is
    // discarded there, so the engine must know how far the server got (for a TLS connection its
    // SYN-ACK and the few packets before the verdict; conntrack cannot be relied on to refuse
    // such segments, as a machine may be told to be liberal).
    const std::string reply = " -p tcp -m connmark --mark " + inspectedMatch() +
                              " -m conntrack --ctdir REPLY" + log.str();
    // While a body or a long response passes, the server's packets with only ACK set are not
    // logged (most of its packets then): the engine forgets its window and how far it sent until
    // it acknowledges bytes the client sends after, which are queued with the mark inspect.
    const std::string passing =
        " -p tcp --sport 80 --tcp-flags SYN,FIN,RST,ACK,URG ACK -m connmark --mark " +
        markMatch(kMarkBodyPass) + " -m conntrack --ctdir REPLY -j RETURN\n";
    // Conntrack passes on packets it calls invalid without a connection (so without its mark);
    // the client may still acknowledge their bytes. Bounded, as anyone can send them.
    const std::string invalid =
        " -p tcp -m multiport --sports 80,443 -m conntrack --ctstate INVALID -m limit --limit "
        "2000/sec --limit-burst 2000" +
        log.str();
    for (const std::string& rule : {passing, reply, invalid}) {
      script << "-A " << kInputChain << rule;
      if (options.forward) script << "-A " << kForwardChain << rule;
    }
  }
  std::string post = "-A " + std::string(kPostroutingChain) + " ";
  // A dropped forwarded connection's packet that gets here was let through ahead of
  // QUILLNEST_RESET (an "accept established" rule inserted above its jump, or the jump flushed
  // by a firewall reload): it must not leave all the same. Resets pass, as they end the
  // connection; a packet with a fresh verdict (a new connection on the same addresses and
  // ports) carries a mark, and so do the probes.
  if (options.forward)
    script << post << "-p tcp ! --tcp-flags RST RST -m mark --mark " << hex(0) << "/"
           << hex(kMarkMask) << " -m connmark --mark " << markMatch(kMarkDropped) << " -j DROP\n";
  script << post << "-m mark --mark " << hex(0) << "/" << hex(kMarkMask) << " -j RETURN\n";
  if (options.forward)
    script << post << "-m mark --mark " << markMatch(kMarkProbe) << " -j RETURN\n";
  script << post << "-j CONNMARK --save-mark --nfmask " << hex(kMarkMask) << " --ctmask "
         << hex(kMarkMask) << "\n";

  // Jumps last: the chains are complete before the first packet can reach them.
  script << "-I OUTPUT 1 -j " << kOutputChain << "\n";
  if (options.forward) script << "-I FORWARD 1 -j " << kForwardChain << "\n";
  script << "-I POSTROUTING 1 -j " << kPostroutingChain << "\n";
  script << "-I INPUT 1 -j " << kInputChain << "\n";
  script << "COMMIT\n";

  // Not for resets: REJECT never answers one and would swallow it.
  forwardingChain(script,
                  {"filter", kResetChain, "FORWARD", existing.resetChain, existing.resetJumps},
                  options.forward,
                  "-p tcp ! --tcp-flags RST RST -m connmark --mark " + markMatch(kMarkDropped) +
                      " -j REJECT --reject-with tcp-reset");
  forwardingChain(script, {"raw", kProbeChain, "OUTPUT", existing.probeChain, existing.probeJumps},
                  options.forward, "-m mark --mark " + markMatch(kMarkProbe) + " -j CT --notrack");
  return script.str();
}

std::string removeScript(const ExistingRules& existing) {
  if (!existing.any()) return {};
  std::ostringstream script;
  if (existing.anyMangle()) {
    script << "*mangle\n";
    for (int i = 0; i < existing.outputJumps; ++i)
      script << "-D OUTPUT -j " << kOutputChain << "\n";
    for (int i = 0; i < existing.forwardJumps; ++i)
      script << "-D FORWARD -j " << kForwardChain << "\n";
    for (int i = 0; i < existing.postroutingJumps; ++i)
      script << "-D POSTROUTING -j " << kPostroutingChain << "\n";
    for (int i = 0; i < existing.inputJumps; ++i) script << "-D INPUT -j " << kInputChain << "\n";
    // The body chain, then the ACK chain last: the others jump to them until they are flushed.
    for (auto [present, chain] :
         {std::pair{existing.outputChain, kOutputChain},
          std::pair{existing.forwardChain, kForwardChain},
          std::pair{existing.postroutingChain, kPostroutingChain},
          std::pair{existing.inputChain, kInputChain}, std::pair{existing.bodyChain, kBodyChain},
          std::pair{existing.ackChain, kAckChain}}) {
      if (!present) continue;
      script << "-F " << chain << "\n";
      script << "-X " << chain << "\n";
    }
    script << "COMMIT\n";
  }
  forwardingChain(
      script, {"filter", kResetChain, "FORWARD", existing.resetChain, existing.resetJumps}, false);
  forwardingChain(script, {"raw", kProbeChain, "OUTPUT", existing.probeChain, existing.probeJumps},
                  false);
  return script.str();
}

std::string ProcessIptablesRunner::save(IpFamilyTool family, std::string& output) {
  output.clear();
  for (const std::string_view table : {"mangle", "filter", "raw"}) {
    auto result = runProcess({saveTool(family), "-t", std::string(table)}, "");
    // Only forwarding needs the raw table: a kernel without it can still filter this machine's
    // connections (and a forwarding start then fails at writing its chain, saying why).
    if (result.exitCode != 0 && table == "raw") continue;
    if (result.exitCode != 0) return describe(saveTool(family), result);
    output += result.output;
  }
  return {};
}

std::string ProcessIptablesRunner::restore(IpFamilyTool family, const std::string& script) {
  auto result = runProcess({restoreTool(family), "--noflush", "--wait"}, script);
  if (result.exitCode != 0) return describe(restoreTool(family), result);
  return {};
}

bool toolAvailable(std::string_view name) {
  auto executable = [](const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
  };
  if (name.find('/') != std::string_view::npos) return executable(std::string(name));
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    auto end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (!dir.empty() && executable(dir + "/" + std::string(name))) return true;
    start = end + 1;
  }
  return false;
}

std::string installRules(IptablesRunner& runner, const RuleOptions& options) {
  const IpFamilyTool families[] = {IpFamilyTool::v4, IpFamilyTool::v6};
  for (std::size_t done = 0; done < std::size(families); ++done) {
    std::string saved;
    std::string error = runner.save(families[done], saved);
    if (error.empty())
      error = runner.restore(families[done],
                             installScript(options, parseExistingRules(saved), families[done]));
    if (error.empty()) continue;
    // The failing family too: iptables-restore commits table by table, so its mangle part may
    // be in place without its filter part.
    for (std::size_t undo = 0; undo <= done; ++undo) {
      std::string now;
      if (!runner.save(families[undo], now).empty()) continue;
      std::string script = removeScript(parseExistingRules(now));
      if (!script.empty()) runner.restore(families[undo], script);
    }
    return "installing rules: " + error;
  }
  return {};
}

std::string removeRules(IptablesRunner& runner) {
  std::string firstError;
  for (auto family : {IpFamilyTool::v4, IpFamilyTool::v6}) {
    std::string saved;
    std::string error = runner.save(family, saved);
    if (error.empty()) {
      std::string script = removeScript(parseExistingRules(saved));
      if (!script.empty()) error = runner.restore(family, script);
    }
    if (!error.empty() && firstError.empty()) firstError = "removing rules: " + error;
  }
  return firstError;
}

}  // namespace quillnest::linuxhost
