#include "hosts/linux/rules_guard.h"

#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace quillnest::linuxhost {
namespace {

void need(std::vector<std::string>& missing, bool chain, int jumps, std::string_view table,
          std::string_view hook, std::string_view name) {
  if (!chain) missing.push_back("chain " + std::string(name));
  if (jumps == 0)
    missing.push_back(std::string(table) + " " + std::string(hook) + " -> " + std::string(name));
}

std::string joined(const std::vector<std::string>& parts) {
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : ", ") + part;
  return text;
}

}  // namespace

bool mayTakeOursOut(const nlmsghdr* message) {
  if (NFNL_SUBSYS_ID(message->nlmsg_type) != NFNL_SUBSYS_NFTABLES) return false;
  const auto type = NFNL_MSG_TYPE(message->nlmsg_type);
  // A replaced rule comes as a deletion and an addition.
  if (type != NFT_MSG_DELTABLE && type != NFT_MSG_DELCHAIN && type != NFT_MSG_DELRULE) return false;
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nfgenmsg))) return true;
  const auto* header = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  if (header->nfgen_family != NFPROTO_IPV4 && header->nfgen_family != NFPROTO_IPV6) return false;
  // The table's name is attribute 1 of all three messages.
  static_assert(NFTA_TABLE_NAME == 1 && NFTA_CHAIN_TABLE == 1 && NFTA_RULE_TABLE == 1);
  std::string_view table, chain;
  const char* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(message));
  for (auto* attribute =
           static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(message, sizeof(nfgenmsg)));
       mnl_attr_ok(attribute, static_cast<int>(tail - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    if (mnl_attr_validate(attribute, MNL_TYPE_NUL_STRING) < 0) continue;
    if (mnl_attr_get_type(attribute) == 1) table = mnl_attr_get_str(attribute);
    if (type == NFT_MSG_DELRULE && mnl_attr_get_type(attribute) == NFTA_RULE_CHAIN)
      chain = mnl_attr_get_str(attribute);
  }
  if (table.empty()) return true;
  if (table != "mangle" && table != "filter" && table != "raw") return false;
  return chain != kBodyChain;
}

std::vector<std::string> missingRules(const ExistingRules& existing, const RuleOptions& options) {
  std::vector<std::string> missing;
  need(missing, existing.outputChain, existing.outputJumps, "mangle", "OUTPUT", kOutputChain);
  need(missing, existing.postroutingChain, existing.postroutingJumps, "mangle", "POSTROUTING",
       kPostroutingChain);
  need(missing, existing.inputChain, existing.inputJumps, "mangle", "INPUT", kInputChain);
  if (options.ackLogGroup) {
    if (!existing.ackChain) missing.push_back("chain " + std::string(kAckChain));
    if (!existing.bodyChain) missing.push_back("chain " + std::string(kBodyChain));
  }
  if (options.forward) {
    need(missing, existing.forwardChain, existing.forwardJumps, "mangle", "FORWARD", kForwardChain);
    need(missing, existing.resetChain, existing.resetJumps, "filter", "FORWARD", kResetChain);
    need(missing, existing.probeChain, existing.probeJumps, "raw", "OUTPUT", kProbeChain);
  }
  return missing;
}

std::string restoreMissingRules(IptablesRunner& runner, const RuleOptions& options,
                                std::string* error,
                                const std::function<void()>& beforePuttingBack) {
  std::string restored;
  bool before = false;
  for (auto family : {IpFamilyTool::v4, IpFamilyTool::v6}) {
    const char* name = family == IpFamilyTool::v4 ? "IPv4" : "IPv6";
    std::string saved;
    std::string failed = runner.save(family, saved);
    std::vector<std::string> missing;
    if (failed.empty()) {
      const ExistingRules existing = parseExistingRules(saved);
      missing = missingRules(existing, options);
      if (!missing.empty()) {
        if (!std::exchange(before, true) && beforePuttingBack) beforePuttingBack();
        failed = runner.restore(family, installScript(options, existing, family));
      }
    }
    if (!failed.empty()) {
      if (error && error->empty()) *error = std::string(name) + ": " + failed;
      continue;
    }
    if (missing.empty()) continue;
    const bool everything = missing.size() == missingRules({}, options).size();
    restored += (restored.empty() ? "" : "; ") + std::string(name) + ": " +
                (everything ? std::string("every chain and jump") : joined(missing));
  }
  return restored;
}

RulesGuard::RulesGuard(IptablesRunner& runner, RuleOptions options,
                       std::function<void()> beforePuttingBack, Restored restored, Warn warn,
                       std::chrono::milliseconds lookEvery, bool watchChanges)
    : runner_(runner),
      options_(std::move(options)),
      beforePuttingBack_(std::move(beforePuttingBack)),
      restored_(std::move(restored)),
      warn_(std::move(warn)),
      lookEvery_(lookEvery) {
  if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) < 0) wake_[0] = wake_[1] = -1;
  if (watchChanges) {
    // Without it (no nf_tables in this kernel) the periodic look is all there is.
    events_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (events_ && mnl_socket_bind(events_, 1u << (NFNLGRP_NFTABLES - 1), MNL_SOCKET_AUTOPID) < 0) {
      mnl_socket_close(events_);
      events_ = nullptr;
    }
  }
  thread_ = std::thread([this] { run(); });
}

RulesGuard::~RulesGuard() {
  stop();
  if (events_) mnl_socket_close(events_);
  for (int fd : wake_)
    if (fd >= 0) close(fd);
}

void RulesGuard::stop() {
  stopping_ = true;
  if (wake_[1] >= 0) (void)!write(wake_[1], "x", 1);
  if (thread_.joinable()) thread_.join();
}

bool RulesGuard::drainEvents() {
  bool removal = false;
  char buffer[MNL_SOCKET_BUFFER_SIZE];
  for (;;) {
    const ssize_t got = mnl_socket_recvfrom(events_, buffer, sizeof buffer);
    if (got < 0) return removal || errno == ENOBUFS;  // lost ones may have said anything
    int left = static_cast<int>(got);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer); mnl_nlmsg_ok(message, left);
         message = mnl_nlmsg_next(message, &left))
      removal |= mayTakeOursOut(message);
  }
}

void RulesGuard::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastLook = Clock::now();
  bool due = false;
  std::string lastError;
  while (!stopping_.load()) {
    const Clock::time_point now = Clock::now();
    const Clock::time_point next = due ? lastLook + kLookAtMostEvery : lastLook + lookEvery_;
    if (now < next) {
      pollfd ready[2] = {{wake_[0], POLLIN, 0},
                         {events_ ? mnl_socket_get_fd(events_) : -1, POLLIN, 0}};
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
      if (poll(ready, 2, static_cast<int>(std::clamp<long long>(wait, 1, 60'000))) < 0 &&
          errno != EINTR)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (events_ && (ready[1].revents & POLLIN) && drainEvents()) due = true;
      continue;
    }
    due = false;
    lastLook = now;
    std::string error;
    const std::string restored = restoreMissingRules(runner_, options_, &error, beforePuttingBack_);
    // Said once, not at every look while it lasts.
    if (!error.empty() && error != lastError)
      warn_("cannot look at or put back the filter's iptables rules: " + error);
    lastError = error;
    if (!restored.empty()) restored_(restored);
  }
}

}  // namespace quillnest::linuxhost
