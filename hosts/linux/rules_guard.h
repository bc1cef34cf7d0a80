// Our chains and jumps put back when another program takes them out. A firewall reload that
// replaces whole tables (iptables-restore without --noflush, `nft flush ruleset` at the top of
// nftables.conf, `iptables -t mangle -F`) would otherwise leave every new connection unfiltered,
// with nothing said, until the daemon restarts.
//
// nftables (the iptables of current distributions) announces every change of the ruleset on a
// netlink group: a deletion in one of our tables makes the guard look at once, and it looks every
// minute besides. iptables-legacy announces nothing: there the guard looks every few seconds.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "hosts/linux/iptables_rules.h"

struct mnl_socket;
struct nlmsghdr;

namespace quillnest::linuxhost {

// What of our rules, under these options, `existing` lacks ("mangle OUTPUT -> QUILLNEST_OUT",
// "chain QUILLNEST_RESET", ...); empty when everything is in place.
std::vector<std::string> missingRules(const ExistingRules& existing, const RuleOptions& options);

// One look at both families; a family that lacks anything gets its rules again (as at the start:
// our chains refilled, our jumps first), with beforePuttingBack called once before the first.
// What was missing ("IPv4: ...; IPv6: ...") is returned, empty when nothing was; *error says what
// could not be looked at or put back. *nftables: whether both families' tools are iptables-nft
// (whose changes nftables announces).
std::string restoreMissingRules(IptablesRunner& runner, const RuleOptions& options,
                                std::string* error,
                                const std::function<void()>& beforePuttingBack = {},
                                bool* nftables = nullptr);

// Whether an nftables announcement may have taken something of ours out: a deletion in the
// mangle, filter or raw table of IPv4 or IPv6, other than of a request body's rule (ours, made
// and deleted all the time). One it cannot read counts as such.
bool mayTakeOursOut(const nlmsghdr* message);

class RulesGuard {
 public:
  using Restored = std::function<void(const std::string& missing)>;
  using Warn = std::function<void(const std::string&)>;
  // Without nftables' announcements (iptables-legacy). With them the periodic look is only a
  // backstop, and each look costs six runs of iptables-save, which on a small gateway with a big
  // ruleset add up.
  static constexpr std::chrono::milliseconds kLookEvery{5000};
  static constexpr std::chrono::milliseconds kLookEveryAnnounced{60000};
  // After a change, at most one look this often: a burst of changes (a reload) costs one.
  static constexpr std::chrono::milliseconds kLookAtMostEvery{500};

  // The thread starts at once. On it, beforePuttingBack is called when rules are found missing,
  // and restored once they are back.
  RulesGuard(IptablesRunner& runner, RuleOptions options, std::function<void()> beforePuttingBack,
             Restored restored, Warn warn, std::chrono::milliseconds lookEvery = kLookEvery,
             bool watchChanges = true);
  ~RulesGuard();
  RulesGuard(const RulesGuard&) = delete;
  RulesGuard& operator=(const RulesGuard&) = delete;

  // Puts nothing back once it returns.
  void stop();
  // Whether nftables' change announcements are heard (else only the periodic look).
  bool watchingChanges() const { return events_ != nullptr; }

 private:
  // True when a change that may have removed something was announced (or some were lost).
  bool drainEvents();
  void run();

  IptablesRunner& runner_;
  RuleOptions options_;
  std::function<void()> beforePuttingBack_;
  Restored restored_;
  Warn warn_;
  std::chrono::milliseconds lookEvery_;
  mnl_socket* events_ = nullptr;
  int wake_[2] = {-1, -1};  // stop() writes to wake the thread
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace quillnest::linuxhost
