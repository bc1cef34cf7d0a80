#include "hosts/linux/daemon.h"

#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "hosts/linux/capabilities.h"
#include "hosts/linux/dns/answer_packet.h"
#include "hosts/linux/dns/encrypted_dns.h"
#include "hosts/linux/marks.h"
#include "hosts/linux/unjudged_connections.h"

namespace quillnest::linuxhost {
namespace {

hosts::EngineTime now() {
  return std::chrono::duration_cast<hosts::EngineTime>(
      std::chrono::steady_clock::now().time_since_epoch());
}

sigset_t daemonSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

}  // namespace

FilterDaemon::FilterDaemon(RunOptions options) : options_(std::move(options)) {
  // Capabilities belong to threads: the rest of root's go before the host starts its own. run()
  // repeats it on this thread to learn whether it worked.
  if (geteuid() == 0) (void)keepOnlyCapabilities(kDaemonCapabilities);
  sigset_t set = daemonSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  if (options_.queueCount == 0) {
    unsigned cores = std::thread::hardware_concurrency();
    options_.queueCount = static_cast<std::uint16_t>(cores == 0 ? 1 : std::min(cores, 64u));
  }
  host_ = std::make_shared<LinuxHost>(LinuxHost::Options{options_.rulesPath, options_.debug});
  ruleOptions_ = {options_.firstQueue, options_.queueCount, options_.forward, options_.failClosed};
}

FilterDaemon::~FilterDaemon() {
  stopThreads();
  host_->shutdown();
}

void FilterDaemon::warn(const std::string& line) { host_->log(LogLevel::error, line); }
void FilterDaemon::debug(const std::string& line) {
  if (options_.debug) host_->log(LogLevel::debug, line);
}

std::string FilterDaemon::checkEnvironment() {
  if (geteuid() != 0)
    return "quillnest-filter run must run as root: it installs iptables rules and binds "
           "netfilter queues";
  for (const char* tool :
       {"iptables-save", "iptables-restore", "ip6tables-save", "ip6tables-restore"}) {
    if (!toolAvailable(tool))
      return std::string(tool) + " not found on PATH; install the iptables package";
  }
  if (static_cast<std::uint32_t>(options_.firstQueue) + options_.queueCount > 65536)
    return "queue numbers " + std::to_string(options_.firstQueue) + " to " +
           std::to_string(options_.firstQueue + options_.queueCount - 1) + " exceed 65535";
  return {};
}

std::string FilterDaemon::openKernelSide() {
  for (std::uint16_t i = 0; i < options_.queueCount; ++i) {
    auto queue =
        std::make_unique<NetfilterQueue>(static_cast<std::uint16_t>(options_.firstQueue + i),
                                         options_.queueMaxLength, !options_.failClosed);
    // A previous instance that is still exiting holds the queue for a moment.
    std::string error;
    for (int attempt = 0; attempt < 20; ++attempt) {
      queue = std::make_unique<NetfilterQueue>(static_cast<std::uint16_t>(options_.firstQueue + i),
                                               options_.queueMaxLength, !options_.failClosed);
      error = queue->open();
      if (error.empty()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!error.empty()) return error;
    queues_.push_back(std::move(queue));
  }
  if (auto error = conntrackEvents_.open(); !error.empty()) return error;
  if (!conntrackEvents_.filterError().empty())
    debug("conntrack events unfiltered in the kernel: " + conntrackEvents_.filterError());
  if (auto error = conntrackMarker_.open(); !error.empty()) return error;
  // Without the log every packet of an inspected port-80 connection is queued: slower, as sound.
  auto ackLog = std::make_unique<AckLog>(options_.firstQueue);
  if (auto error = ackLog->open(); !error.empty()) {
    warn("pure ACKs of port-80 connections go through the queue: " + error);
  } else {
    ruleOptions_.ackLogGroup = ackLog->group();
    ackLog_ = std::move(ackLog);
  }
  // Without it forwarded connections still get their reset, at their next packet.
  if (options_.forward)
    if (auto error = forwardResetter_.open(); !error.empty()) warn(error);
  return {};
}

NetfilterQueue* FilterDaemon::queueFor(hosts::PacketHandle handle) {
  auto number = static_cast<std::uint32_t>(handle >> 32);
  if (number < options_.firstQueue) return nullptr;
  std::size_t index = number - options_.firstQueue;
  return index < queues_.size() ? queues_[index].get() : nullptr;
}

hosts::FlowEngine& FilterDaemon::engineFor(const NetfilterQueue& queue) {
  return *engines_[queue.number() - options_.firstQueue];
}

void FilterDaemon::onDnsAnswer(NetfilterQueue& queue, const QueuedPacket& packet) {
  const FilterRules rules = provider_ ? provider_->currentRules() : FilterRules::disabled();
  dns::AnswerPolicy policy;
  policy.isBlocked = [&rules](std::string_view name) {
    return rules.isEnabled() && rules.matchesHost(name);
  };
  policy.closeEncryptedDns = options_.closeEncryptedDns;
  const dns::PacketEdit edit = dns::rewriteAnswerPacket(packet.bytes, policy, &dnsStreams_,
                                                        std::chrono::steady_clock::now());
  dnsCounters_.add(edit);
  if (edit.drop) return queue.drop(packet.id);
  // Our mark only told us what the packet is; it must not reach a connmark.
  const std::uint32_t mark = withMark(packet.mark, 0);
  queue.acceptReplaced(packet.id, mark,
                       edit.rewritten ? std::span<const std::uint8_t>(edit.packet)
                                      : std::span<const std::uint8_t>());
}

bool FilterDaemon::dropEncryptedDns(NetfilterQueue& queue, const QueuedPacket& packet) {
  const hosts::ParseResult parsed = hosts::parseIpPacket(packet.bytes);
  if (parsed.status != hosts::ParseStatus::ok) return false;
  const dns::EncryptedDns kind =
      dns::encryptedDnsOf(parsed.packet, dns::wellKnownResolverAddresses());
  if (kind == dns::EncryptedDns::none) return false;
  queue.drop(packet.id);
  (kind == dns::EncryptedDns::port853 ? dnsCounters_.encryptedDnsDrops
                                      : dnsCounters_.resolverAddressDrops)
      .fetch_add(1, std::memory_order_relaxed);
  // A client learns at once instead of retrying its SYN for minutes.
  if (!parsed.packet.isTCP()) return true;
  if (options_.forward && packet.inInterface != 0 && parsed.packet.hasFlag(hosts::kTcpSyn)) {
    std::string error;
    if (!forwardResetter_.refuse(parsed.packet, &error)) debug("cannot refuse a SYN: " + error);
  } else {
    endConnection(hosts::ConnectionKey::outboundOf(parsed.packet));
  }
  return true;
}

// Pure ACKs of inspected port-80 connections pass unqueued, logged to the NFLOG group. Before a
// queued packet of such a connection is judged, every ACK the client sent before it must have
// reached the engine, or a segment the server refuses (PAWS against a newer timestamp the engine
// never saw) could be read as stream data. That holds: the kernel sends the log message to our
// socket while the ACK passes the rule, and the packets of one flow pass in order, so the message
// is waiting before the later segment even reaches the queue; draining after receiving the
// segment finds it. Reading and applying happen under one lock, so no worker judges while an ACK
// another thread has read is not applied yet. If messages were lost, no later verdict on those
// connections can be trusted: they are dropped and reset.
void FilterDaemon::drainAckLog() {
  if (!ackLog_) return;
  std::lock_guard lock(ackLogMutex_);
  const AckLog::Drain drained = ackLog_->drain([this](const AckLog::Logged& logged) {
    // Copied with the headers only: a reply, or a segment of a body let pass.
    hosts::ParseResult parsed = hosts::parseIpHeaders(logged.bytes);
    if (parsed.status != hosts::ParseStatus::ok) return;
    parsed.packet.arrivedOn = logged.inInterface;
    // The connection is known to at most one engine (the one of its queue).
    for (const auto& engine : engines_) {
      if (logged.reply) {
        auto update = engine->onObservedReplyPacket(parsed.packet, parsed.missing);
        if (!update) continue;
        applyUpdate(*update, false);
        // A worker may have judged a packet of the connection since, whose verdict recorded
        // inspect before this mark landed: the server's packets must be logged again.
        if (engine->passingResponse(update->key)) continue;
        update->mark = hosts::ConnectionMark::inspect;
        applyUpdate(*update, false);
      } else {
        engine->onObservedPacket(parsed.packet, parsed.missing);
      }
    }
  });
  if (drained != AckLog::Drain::lost) return;
  std::size_t reset = 0;
  for (const auto& engine : engines_) {
    for (const auto& update : engine->observationsLost(now())) {
      applyUpdate(update, false);
      ++reset;
    }
  }
  ackLogLosses_.fetch_add(1);
  warn(
      "logged packets of port-80 connections (client ACKs, server replies) were lost before the "
      "filter read them (receive buffer full): " +
      std::to_string(reset) + " connection(s) under inspection reset");
}

namespace {

// TCP to port 80, TCP to port 443 other than a SYN (the server's SYN-ACK and what follows are
// logged), or a packet it cannot tell (IPv6 extension headers): the log must be read before such
// a packet is judged. A SYN starts its connection: nothing of it can be waiting in the log.
bool mayFollowLogged(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 20) return true;
  std::size_t transport = 0;
  if (bytes[0] >> 4 == 4) {
    if (bytes[9] != 6) return false;
    transport = static_cast<std::size_t>(bytes[0] & 0x0f) * 4;
  } else if (bytes[0] >> 4 == 6 && bytes.size() >= 40) {
    if (bytes[6] != 6) return true;
    transport = 40;
  } else {
    return true;
  }
  if (bytes.size() < transport + 14) return true;
  const unsigned port = bytes[transport + 2] << 8 | bytes[transport + 3];
  constexpr std::uint8_t kSyn = 0x02;
  return port == 80 || (port == 443 && (bytes[transport + 13] & kSyn) == 0);
}

}  // namespace

void FilterDaemon::onPacket(NetfilterQueue& queue, const QueuedPacket& packet) {
  if ((packet.mark & kMarkMask) == kMarkDnsAnswer) return onDnsAnswer(queue, packet);
  if (options_.closeEncryptedDns && dropEncryptedDns(queue, packet)) return;
  if (ackLog_ && mayFollowLogged(packet.bytes)) drainAckLog();
  hosts::PacketHandle handle = (static_cast<std::uint64_t>(queue.number()) << 32) | packet.id;
  auto decision = engineFor(queue).onOutboundIpPacket(handle, packet.bytes, now(),
                                                      packet.checksumComplete, packet.inInterface);
  // Packets it held came before this one and go first, as the engine judged them: a server that
  // took this one's newer timestamp first would drop them (PAWS).
  for (auto held : decision.update.release)
    if (auto* heldQueue = queueFor(held)) heldQueue->accept(static_cast<std::uint32_t>(held));
  decision.update.release.clear();
  const auto mark = decision.update.mark;
  bool markCarried = false;
  switch (decision.action) {
    case hosts::PacketAction::accept:
      // The packet carries the outcome to QUILLNEST_POST, which saves it in the connmark: the
      // connection's next packets bypass the queue.
      if (mark == hosts::ConnectionMark::allowed || mark == hosts::ConnectionMark::inspect ||
          mark == hosts::ConnectionMark::bodyPass) {
        queue.acceptWithMark(packet.id, withMark(packet.mark, markValue(mark)));
        markCarried = true;
      } else {
        queue.accept(packet.id);
      }
      break;
    case hosts::PacketAction::drop:
      queue.drop(packet.id);
      break;
    case hosts::PacketAction::hold:
      break;
  }
  applyUpdate(decision.update, markCarried);
}

void FilterDaemon::applyUpdate(const hosts::ConnectionUpdate& update, bool markCarried) {
  for (auto handle : update.release)
    if (auto* queue = queueFor(handle)) queue->accept(static_cast<std::uint32_t>(handle));
  for (auto handle : update.discard)
    if (auto* queue = queueFor(handle)) queue->drop(static_cast<std::uint32_t>(handle));
  if (update.mark != hosts::ConnectionMark::none && !markCarried) {
    // A connection the kernel has not confirmed yet (its first packet was dropped) has no entry
    // to mark; the engine keeps dropping its retransmissions itself.
    std::string error;
    if (!conntrackMarker_.setMark(update.key, markValue(update.mark), &error))
      debug("mark " + std::string(hosts::connectionMarkName(update.mark)) + " on " +
            update.key.text() + ": " + error);
  }
  if (bodyPasses_) {
    if (update.bodyPass) {
      bodyPasses_->open(update.key, *update.bodyPass, update.bodyPassShown);
    } else if (update.mark != hosts::ConnectionMark::none &&
               update.mark != hosts::ConnectionMark::bodyPass) {
      bodyPasses_->close(update.key);
    }
  }
  if (update.reset) endConnection(update.key);
}

void FilterDaemon::endConnection(const hosts::ConnectionKey& key) {
  std::string error;
  switch (socketDestroyer_.destroy(key, &error)) {
    case SocketDestroyer::Result::destroyed:
      debug("reset " + key.text());
      break;
    case SocketDestroyer::Result::notFound:
      // Not a socket of this machine (forwarded) or already gone: the dropped connmark stops
      // every further packet, and with forwarding each end is made to send one.
      debug("no local socket for " + key.text());
      if (options_.forward) {
        // Without the table's word the connection is taken as untranslated.
        ConntrackTuples tuples{key, key.turned()};
        if (auto found = conntrackMarker_.tuples(key)) tuples = *found;
        if (tuples.reply != key.turned())
          debug("translated: the server knows it as " + tuples.reply.text());
        if (!forwardResetter_.provoke(tuples.original, tuples.reply, &error))
          debug("cannot provoke a reset of " + key.text() + ": " + error);
      }
      break;
    case SocketDestroyer::Result::failed:
      warn("cannot reset " + key.text() + ": " + error);
      break;
  }
}

void FilterDaemon::enforceFlowUpdate(const FlowRef& flow, const DataVerdictRef& verdict) {
  if (verdict->kind() != NEFilterDataVerdict::Kind::drop) return;
  std::optional<hosts::ConnectionUpdate> update;
  for (const auto& engine : engines_)
    if ((update = engine->dropFlow(flow->identifier()))) break;
  if (!update) return;
  resets_.fetch_add(1);
  // The mark first, so nothing passes between the reset and the rule that drops.
  hosts::ConnectionUpdate enforced = *update;
  enforced.mark = hosts::ConnectionMark::dropped;
  enforced.reset = true;
  applyUpdate(enforced, false);
}

void FilterDaemon::rulesChanged() {
  host_->configurationChanged();
  // Queued behind the provider's load on the configuration thread.
  host_->post([this] { afterRulesLoad(); });
}

void FilterDaemon::afterRulesLoad() {
  if (!provider_) return;
  // The filter decodes the file once; only a file that left blocking off is read again, to say why.
  if (provider_->currentRules().storage() == FilterRules::disabled().storage()) {
    control_->rules().warnIfUndecodable();
  }
  resetUnjudgedConnections(false);
}

void FilterDaemon::resetUnjudgedConnections(bool atStart) {
  std::lock_guard lock(unjudgedMutex_);
  if (atStart) chainsInstalled_ = true;
  if (!chainsInstalled_) return;
  const bool blocking = provider_->currentRules().isEnabled();
  const bool due = blocking && (atStart || !blockingWasOn_);
  blockingWasOn_ = blocking;
  if (!due) return;
  std::string error;
  const auto now = connectionsNow(&error);
  if (!now) {
    warn("cannot reset the web connections opened before blocking was on: " + error);
    return;
  }
  const UnjudgedConnections unjudged = withEarlier(
      now->unjudged, std::exchange(unjudgedBeforeInstall_, {}), now->sockets, now->table);
  std::uint64_t reset = 0;
  for (const auto* keys : {&unjudged.local, &unjudged.forwarded}) {
    for (const auto& key : *keys) {
      // The mark first, so nothing passes between the reset and the rule that drops. A socket
      // conntrack never tracked has no entry to mark: its reset is enough.
      if (!conntrackMarker_.setMark(key, kMarkDropped, &error) && keys == &unjudged.forwarded) {
        debug("mark dropped on " + key.text() + ": " + error);
        continue;
      }
      endConnection(key);
      ++reset;
    }
  }
  if (reset == 0) return;
  resets_.fetch_add(reset);
  host_->log(LogLevel::defaultLevel, "reset " + std::to_string(reset) +
                                         (reset == 1 ? " web connection" : " web connections") +
                                         " opened before blocking was on");
}

std::optional<FilterDaemon::ConnectionsNow> FilterDaemon::connectionsNow(std::string* error) {
  ConnectionsNow now;
  now.sockets = establishedTcpSockets(error);
  if (error->empty()) now.table = tcpConnections(error);
  if (!error->empty()) return std::nullopt;
  now.unjudged = unjudgedWebConnections(now.sockets, now.table, localAddresses(), options_.forward);
  return now;
}

void FilterDaemon::noteUnjudgedBeforeInstall() {
  std::string error;
  const auto now = connectionsNow(&error);
  // The sweep after the install still finds those not taken in by then.
  if (!now) return debug("connections before the install: " + error);
  // Added to those kept while blocking was off; the sweep lists each once.
  std::lock_guard lock(unjudgedMutex_);
  for (auto [to, from] : {std::pair{&unjudgedBeforeInstall_.local, &now->unjudged.local},
                          std::pair{&unjudgedBeforeInstall_.forwarded, &now->unjudged.forwarded}})
    to->insert(to->end(), from->begin(), from->end());
}

void FilterDaemon::releaseEverything() {
  for (const auto& engine : engines_)
    for (const auto& key : engine->connections())
      applyUpdate(engine->onConnectionDestroyed(key), true);
}

void FilterDaemon::startThreads() {
  packetHandler_ = [this](NetfilterQueue& queue, const QueuedPacket& packet) {
    onPacket(queue, packet);
  };
  auto warnFn = [this](const std::string& line) { warn(line); };
  for (auto& queue : queues_) {
    workers_.emplace_back([this, queue = queue.get(), warnFn] {
      queue->run(stopWorkers_, packetHandler_, warnFn,
                 [this] { provider_->releaseReplacedRules(); });
    });
  }
  conntrackThread_ = std::thread([this, warnFn] {
    conntrackEvents_.run(
        stopServices_,
        [this](const ConntrackEvent& event) {
          // Any queue may have seen it; the others do not know the key.
          for (const auto& engine : engines_) applyUpdate(engine->onConntrackEnd(event.key), true);
          if (bodyPasses_) bodyPasses_->close(event.key);
        },
        warnFn);
  });
  if (ackLog_) {
    // Keeps the log's socket from filling up while no queued packet comes (a long download or
    // upload). Workers drain it themselves before they judge, so this thread may let messages
    // gather: a wake-up a message would cost the daemon a third of a core on a fast transfer.
    ackLogThread_ = std::thread([this] {
      pollfd ready{ackLog_->fd(), POLLIN, 0};
      while (!stopServices_.load()) {
        if (poll(&ready, 1, 200) <= 0) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        drainAckLog();
      }
    });
  }
  tickThread_ = std::thread([this] {
    while (!stopServices_.load()) {
      for (const auto& engine : engines_)
        for (const auto& update : engine->tick(now())) applyUpdate(update, false);
      provider_->releaseReplacedRules();
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });
}

void FilterDaemon::stopThreads() {
  stopServices_ = true;
  if (conntrackThread_.joinable()) conntrackThread_.join();
  if (tickThread_.joinable()) tickThread_.join();
  if (ackLogThread_.joinable()) ackLogThread_.join();
  releaseEverything();
  stopWorkers_ = true;
  for (auto& worker : workers_)
    if (worker.joinable()) worker.join();
  workers_.clear();
}

std::string FilterDaemon::startControlPlane() {
  ControlPlaneOptions controlOptions;
  controlOptions.rulesPath = options_.rulesPath;
  controlOptions.runtimeDirectory = options_.runtimeDirectory;
  controlOptions.debug = options_.debug;
  if (options_.closeEncryptedDns) {
    // The resolver names go into the file's bytes where they lie, without a copy of the file.
    for (const auto& name : dns::wellKnownResolvers())
      controlOptions.rulesSpareCapacity += name.size() + 8;
  }
  control_ = std::make_unique<ControlPlane>(controlOptions);
  std::shared_ptr<JournalLogger> journal = control_->journal();
  host_->setLogSink(
      [journal](LogLevel level, const std::string& line) { journal->writeLine(level, line); });
  host_->setConfigurationSource([this] {
    resolverEntries_ = 0;
    if (!options_.closeEncryptedDns) return control_->rules().current();
    return control_->rules().current([this](Bytes& rulesText) {
      resolverEntries_ = dns::addBlockedResolvers(rulesText, dns::wellKnownResolvers());
    });
  });
  host_->setNotificationSink([this](std::string_view name) { control_->post(name); });
  startedAt_ = std::chrono::steady_clock::now();
  status_ = std::make_unique<FunctionStatusSource>([this] {
    hosts::FlowEngineCounters counters;
    if (enginesReady_.load(std::memory_order_acquire))
      for (const auto& engine : engines_) counters += engine->counters();
    StatusReport report =
        makeStatusReport(counters, provider_ ? provider_->currentRules() : FilterRules::disabled(),
                         resets_.load(), control_->subscriberCount(),
                         std::chrono::duration_cast<std::chrono::seconds>(
                             std::chrono::steady_clock::now() - startedAt_));
    // Absolute, so that `explain` can read the file from any directory.
    std::error_code error;
    const auto absolute = std::filesystem::absolute(options_.rulesPath, error);
    report.rulesFile = (error ? options_.rulesPath : absolute).string();
    if (!report.rulesEnabled) report.rulesProblem = control_->rules().problem();
    // The resolver names the host added are shown apart from the user's own entries.
    report.resolverEntries = std::min<std::uint64_t>(resolverEntries_.load(), report.ruleEntries);
    report.ruleEntries -= report.resolverEntries;
    const dns::DnsCounters::Snapshot dnsSeen = dnsCounters_.snapshot();
    report.dnsAnswersRead = dnsSeen.answersRead;
    report.dnsAnswersUnparsed = dnsSeen.answersUnparsed;
    report.echParametersRemoved = dnsSeen.echRemoved;
    report.httpsPortsRewritten = dnsSeen.portsRewritten;
    report.canariesAnswered = dnsSeen.canariesAnswered;
    report.port853Drops = dnsSeen.encryptedDnsDrops;
    report.resolverAddressDrops = dnsSeen.resolverAddressDrops;
    report.dnsTcpSegmentsDropped = dnsSeen.tcpSegmentsDropped;
    report.ackLogLosses = ackLogLosses_.load();
    report.rulesPutBack = rulesPutBack_.load();
    report.version = "0.1.0";
    report.failClosed = options_.failClosed;
    return report;
  });
  return control_->start(*status_);
}

int FilterDaemon::run() {
  // A list's text, offsets and index, the file's bytes and the parser's buffers are each one
  // large block: mapped on their own, they go back to the system as soon as they are freed.
  // (Left to itself, glibc raises this threshold past the size of the last such block freed, and
  // the next list would then stay in the heap after a reload.)
  ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  if (auto error = checkEnvironment(); !error.empty()) {
    warn(error);
    return 1;
  }
  // Before sockets, chains or queues: a second daemon must leave the running one's alone.
  if (auto error = instanceLock_.acquire(options_.runtimeDirectory); !error.empty()) {
    warn(error);
    return 1;
  }
  if (auto error = keepOnlyCapabilities(kDaemonCapabilities); !error.empty()) {
    warn("cannot give up the capabilities of root other than CAP_NET_ADMIN and CAP_NET_RAW: " +
         error);
    return 1;
  }
  if (auto error = startControlPlane(); !error.empty()) {
    warn(error);
    return 1;
  }
  if (auto error = openKernelSide(); !error.empty()) {
    warn(error);
    return 1;
  }
  provider_ = FilterDataProvider::init(host_);
  hosts::FlowEngineOptions engineOptions;
  engineOptions.holdTimeout = options_.holdTimeout;
  engineOptions.dropWebWhenFull = options_.failClosed;
  // The bounds are the daemon's; each queue gets its share.
  engineOptions.maxConnections =
      std::max<std::size_t>(1, engineOptions.maxConnections / queues_.size());
  engineOptions.maxInspectedConnections =
      std::max<std::size_t>(1, engineOptions.maxInspectedConnections / queues_.size());
  if (ackLog_) {
    // A request body this long passes unqueued but for its end; its segments are logged.
    engineOptions.bodyPassMinimum = 8u << 20;
    // Past this much of a response, the server's packets go unlogged until the client sends.
    engineOptions.responsePassMinimum = 1u << 20;
    bodyPasses_ =
        std::make_unique<BodyPasses>(iptables_, [this](const std::string& line) { warn(line); });
  }
  for (std::size_t i = 0; i < queues_.size(); ++i)
    engines_.push_back(std::make_unique<hosts::FlowEngine>(provider_, engineOptions));
  enginesReady_.store(true, std::memory_order_release);
  host_->setFlowUpdater([this](const FlowRef& flow, const DataVerdictRef& verdict,
                               NETrafficDirection) { enforceFlowUpdate(flow, verdict); });

  // Installed before start so that no change between the first read and start is missed.
  rulesWatch_ = control_->rules().observe([this] { rulesChanged(); });
  provider_->startFilterWithCompletionHandler([this](ErrorRef error) {
    if (error) warn("filter start failed: " + error->localizedDescription());
  });
  afterRulesLoad();
  // Packets must have a listener before any rule sends them to the queue; bypass covers the
  // moments without one.
  startThreads();
  noteUnjudgedBeforeInstall();
  if (auto error = installRules(iptables_, ruleOptions_); !error.empty()) {
    warn(error);
    stopThreads();
    provider_->stopFilterWithReason(0, [] {});
    return 1;
  }
  resetUnjudgedConnections(true);
  rulesGuard_ = std::make_unique<RulesGuard>(
      iptables_, ruleOptions_, [this] { noteUnjudgedBeforeInstall(); },
      [this](const std::string& missing) {
        warn("iptables rules of the filter were taken out by another program; put back (" +
             missing + ")");
        rulesPutBack_.fetch_add(1);
        // Connections opened meanwhile passed unjudged.
        resetUnjudgedConnections(true);
      },
      [this](const std::string& line) { warn(line); });
  if (!rulesGuard_->watchingChanges())
    debug("nftables changes are not announced here: the rules are looked at every " +
          std::to_string(RulesGuard::kLookEvery.count() / 1000) + " s");
  host_->log(LogLevel::defaultLevel,
             "quillnest-filter running: queues " + std::to_string(options_.firstQueue) + "-" +
                 std::to_string(options_.firstQueue + options_.queueCount - 1) + ", rules " +
                 options_.rulesPath.string() + (options_.forward ? ", forwarding" : ""));

  sigset_t set = daemonSignals();
  int stopSignal = 0;
  while (!stopRequested_.load()) {
    timespec timeout{0, 200 * 1000 * 1000};
    int signal = sigtimedwait(&set, nullptr, &timeout);
    if (signal == SIGHUP) {
      rulesChanged();
    } else if (signal == SIGINT || signal == SIGTERM) {
      stopSignal = signal;
      break;
    }
  }

  // Before the removal, which it would undo.
  rulesGuard_.reset();
  if (bodyPasses_) bodyPasses_->stop();
  // Rules first: from here on new packets bypass us instead of waiting in a queue nobody reads.
  std::string removeError = removeRules(iptables_);
  if (!removeError.empty()) warn(removeError);
  stopThreads();
  rulesWatch_.reset();
  provider_->stopFilterWithReason(0, [] {});
  host_->drain();
  control_->stop();
  host_->log(LogLevel::defaultLevel,
             std::string("quillnest-filter stopped") +
                 (stopSignal ? std::string(" on ") + strsignal(stopSignal) : std::string()));
  return removeError.empty() ? 0 : 1;
}

}  // namespace quillnest::linuxhost
