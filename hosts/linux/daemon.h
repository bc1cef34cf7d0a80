// `quillnest-filter run`: the daemon that puts the provider in the path of this machine's
// connections. Threads: one per netfilter queue (the provider is called from all of them at
// once), one for conntrack events, one for the engines' hold bounds, one that reads the pure ACKs
// logged instead of queued (ack_log.h), one that puts our iptables rules back when another
// program takes them out (rules_guard.h), the host's configuration thread, and the caller's,
// which waits for signals. Each queue has a flow engine of its own, so the queues' workers share
// nothing hot but the provider: the queue rules balance by address pair, so every packet of a
// connection comes to the same queue and engine.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "hosts/common/flow_engine.h"
#include "hosts/linux/ack_log.h"
#include "hosts/linux/body_passes.h"
#include "hosts/linux/conntrack.h"
#include "hosts/linux/control/control_plane.h"
#include "hosts/linux/control/instance_lock.h"
#include "hosts/linux/dns/dns_counters.h"
#include "hosts/linux/dns/tcp_answer_stream.h"
#include "hosts/linux/forward_resetter.h"
#include "hosts/linux/iptables_rules.h"
#include "hosts/linux/linux_host.h"
#include "hosts/linux/nfqueue.h"
#include "hosts/linux/rules_guard.h"
#include "hosts/linux/socket_destroyer.h"
#include "hosts/linux/unjudged_connections.h"
#include "provider/filter_data_provider.h"

namespace quillnest::linuxhost {

inline constexpr const char* kDefaultRulesPath = "/etc/quillnest/filter-rules.json";

struct RunOptions {
  std::filesystem::path rulesPath = kDefaultRulesPath;
  std::uint16_t firstQueue = 0;
  std::uint16_t queueCount = 0;  // 0: one per core
  bool forward = false;
  // Web connections fail while the daemon is down instead of passing unfiltered.
  bool failClosed = false;
  std::chrono::milliseconds holdTimeout{2000};
  bool debug = false;
  // Canary answers, port 853 dropped, well-known DNS-over-HTTPS names blocked.
  bool closeEncryptedDns = true;
  std::uint32_t queueMaxLength = 8192;
  std::filesystem::path runtimeDirectory = "/run/quillnest";  // notify.sock, control.sock
};

class FilterDaemon {
 public:
  // Blocks SIGINT, SIGTERM and SIGHUP in the calling thread before any thread starts, so only
  // run() receives them: construct it on the main thread.
  explicit FilterDaemon(RunOptions options);
  ~FilterDaemon();
  FilterDaemon(const FilterDaemon&) = delete;
  FilterDaemon& operator=(const FilterDaemon&) = delete;

  // Plug configuration, logging and notifications in here before run().
  LinuxHost& host() { return *host_; }
  // Present while run() serves.
  FilterDataProvider* provider() { return provider_.get(); }

  // Sets up, serves until SIGINT/SIGTERM or requestStop(), cleans up. The exit status.
  int run();
  void requestStop() { stopRequested_ = true; }

 private:
  std::string checkEnvironment();
  std::string startControlPlane();
  std::string openKernelSide();
  void onPacket(NetfilterQueue& queue, const QueuedPacket& packet);
  // Shows the engines every pure ACK logged so far (see the definition).
  void drainAckLog();
  void onDnsAnswer(NetfilterQueue& queue, const QueuedPacket& packet);
  bool dropEncryptedDns(NetfilterQueue& queue, const QueuedPacket& packet);
  void applyUpdate(const hosts::ConnectionUpdate& update, bool markCarried);
  void enforceFlowUpdate(const FlowRef& flow, const DataVerdictRef& verdict);
  void endConnection(const hosts::ConnectionKey& key);
  NetfilterQueue* queueFor(hosts::PacketHandle handle);
  hosts::FlowEngine& engineFor(const NetfilterQueue& queue);
  void startThreads();
  void stopThreads();
  // A change of the rules file or SIGHUP: the provider loads, then afterRulesLoad runs.
  void rulesChanged();
  void afterRulesLoad();
  // Once our chains are in place, and at each change that turns blocking on: web connections no
  // filter judged are reset (see unjudged_connections.h).
  void resetUnjudgedConnections(bool atStart);
  // Before our chains go in: what resetUnjudgedConnections must not lose to a mid-stream pickup.
  void noteUnjudgedBeforeInstall();
  // The established TCP sockets, the conntrack table and the web connections among them no filter
  // judged; nothing, with *error set, when either cannot be read.
  struct ConnectionsNow {
    std::vector<hosts::ConnectionKey> sockets;
    std::vector<ConntrackEntry> table;
    UnjudgedConnections unjudged;
  };
  std::optional<ConnectionsNow> connectionsNow(std::string* error);
  void releaseEverything();
  void warn(const std::string& line);
  void debug(const std::string& line);

  RunOptions options_;
  std::shared_ptr<LinuxHost> host_;
  std::shared_ptr<FilterDataProvider> provider_;
  // One per queue, in queue order; filled once, before enginesReady_ (the status thread reads
  // them).
  std::vector<std::unique_ptr<hosts::FlowEngine>> engines_;
  std::atomic<bool> enginesReady_{false};
  std::vector<std::unique_ptr<NetfilterQueue>> queues_;
  ConntrackEvents conntrackEvents_;
  ConntrackMarker conntrackMarker_;
  SocketDestroyer socketDestroyer_;
  ForwardResetter forwardResetter_;
  std::unique_ptr<AckLog> ackLog_;  // null: pure ACKs are queued like other packets
  std::mutex ackLogMutex_;
  std::atomic<std::uint64_t> ackLogLosses_{0};
  ProcessIptablesRunner iptables_;
  std::unique_ptr<BodyPasses> bodyPasses_;  // with the ACK log only: it shows their segments
  RuleOptions ruleOptions_;
  std::unique_ptr<RulesGuard> rulesGuard_;  // from the install until the removal

  std::atomic<bool> stopRequested_{false};
  std::atomic<bool> stopWorkers_{false};
  std::atomic<bool> stopServices_{false};
  NetfilterQueue::PacketHandler packetHandler_;
  std::vector<std::thread> workers_;
  std::thread conntrackThread_;
  std::thread tickThread_;
  std::thread ackLogThread_;

  // Rules file, journal, notification and control sockets. The status source is declared first
  // so that the control socket's thread, which calls it, ends before it goes.
  std::unique_ptr<FunctionStatusSource> status_;
  InstanceLock instanceLock_;
  std::unique_ptr<ControlPlane> control_;
  std::unique_ptr<NSKeyValueObservation> rulesWatch_;
  std::atomic<std::uint64_t> resets_{0};
  std::atomic<std::uint64_t> rulesPutBack_{0};
  std::mutex unjudgedMutex_;
  bool chainsInstalled_ = false;               // under unjudgedMutex_
  bool blockingWasOn_ = false;                 // under unjudgedMutex_, at the last sweep
  UnjudgedConnections unjudgedBeforeInstall_;  // under unjudgedMutex_, until a sweep is due
  dns::DnsCounters dnsCounters_;
  dns::TcpAnswerStreams dnsStreams_;
  std::atomic<std::uint64_t> resolverEntries_{0};  // names the host added to the user's rules
  std::chrono::steady_clock::time_point startedAt_;
};

}  // namespace quillnest::linuxhost
