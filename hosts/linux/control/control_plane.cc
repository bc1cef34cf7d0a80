#include "hosts/linux/control/control_plane.h"

#include <system_error>

namespace quillnest::linuxhost {

ControlPlane::ControlPlane(ControlPlaneOptions options)
    : options_(std::move(options)),
      journal_(std::make_shared<JournalLogger>(options_.debug, options_.logFd)) {
  RulesFileOptions rulesOptions;
  rulesOptions.trustedOwner = options_.trustedOwner;
  rulesOptions.spareCapacity = options_.rulesSpareCapacity;
  std::weak_ptr<JournalLogger> journal = journal_;
  rules_ = std::make_unique<RulesFileConfiguration>(
      options_.rulesPath,
      [journal](const std::string& warning) {
        if (auto j = journal.lock()) j->warning(warning);
      },
      rulesOptions);
}

ControlPlane::~ControlPlane() { stop(); }

std::string ControlPlane::start(StatusSource& status) {
  if (auto refusal = rules_->refusal()) {
    return "refusing the rules file " + options_.rulesPath.string() + ": " + *refusal +
           " (only root may be able to change it: chown root:root, chmod go-w)";
  }
  try {
    ensureRuntimeDirectory(options_.runtimeDirectory, 0750);
    auto notifications =
        std::make_shared<NotificationServer>(options_.runtimeDirectory / kNotifySocketName);
    auto control =
        std::make_unique<ControlServer>(options_.runtimeDirectory / kControlSocketName, status);
    std::lock_guard lock(mutex_);
    notifications_ = std::move(notifications);
    control_ = std::move(control);
  } catch (const std::system_error& e) {
    return std::string("cannot set up the control sockets: ") + e.what();
  }
  return {};
}

void ControlPlane::stop() {
  std::shared_ptr<NotificationServer> notifications;
  std::unique_ptr<ControlServer> control;
  {
    std::lock_guard lock(mutex_);
    notifications = std::move(notifications_);
    control = std::move(control_);
  }
  // Destroyed outside the lock: their threads end here.
}

std::size_t ControlPlane::subscriberCount() const {
  std::lock_guard lock(mutex_);
  return notifications_ ? notifications_->subscriberCount() : 0;
}

void ControlPlane::post(std::string_view name) {
  std::shared_ptr<NotificationServer> notifications;
  {
    std::lock_guard lock(mutex_);
    notifications = notifications_;
  }
  if (notifications) notifications->post(name);
}

StatusReport makeStatusReport(const hosts::FlowEngineCounters& counters, const FilterRules& rules,
                              std::uint64_t resets, std::uint64_t subscribers,
                              std::chrono::seconds uptime) {
  StatusReport report;
  report.rulesEnabled = rules.isEnabled();
  report.ruleEntries = rules.domains().size();
  report.trackedFlows = counters.connections;
  report.heldFlows = counters.inspectedConnections;
  report.heldPackets = counters.heldPackets;
  report.flowsSeen = counters.newFlows;
  report.flowsAllowed = counters.newFlowsAllowed + counters.inspectionsAllowed;
  // The engine counts the silent UDP 443 drops among the dropped new flows.
  report.blockedByHostName = counters.newFlowsDropped >= counters.udp443Drops
                                 ? counters.newFlowsDropped - counters.udp443Drops
                                 : 0;
  report.blockedByTLSName = counters.inspectionsDropped;
  report.udp443Drops = counters.udp443Drops;
  report.resets = resets;
  report.failOpenEvents = counters.failOpenEvents;
  report.httpNamedByHost = counters.httpNamed;
  report.httpWaiting = counters.httpWaiting;
  const auto unnamed = [&](hosts::HttpUnnamedReason reason) {
    return counters.httpUnnamed[static_cast<std::size_t>(reason)];
  };
  report.httpUnnamedNotHttp = unnamed(hosts::HttpUnnamedReason::notHttp);
  report.httpUnnamedHttp2 = unnamed(hosts::HttpUnnamedReason::http2PriorKnowledge);
  report.httpUnnamedMissingHost = unnamed(hosts::HttpUnnamedReason::missingHost);
  report.httpUnnamedBadHost = unnamed(hosts::HttpUnnamedReason::badHost);
  report.httpUnnamedHeadTooLarge = unnamed(hosts::HttpUnnamedReason::headTooLarge);
  report.httpUnnamedClosedFirst = unnamed(hosts::HttpUnnamedReason::closedFirst);
  report.httpUnnamedTimedOut = unnamed(hosts::HttpUnnamedReason::timedOut);
  report.badChecksums = counters.badChecksums;
  report.conflictingStreams = counters.conflictingStreams;
  report.evictions = counters.evictions;
  report.reopenedConnections = counters.reopenedConnections;
  report.repliesFromClientSide = counters.repliesFromClientSide;
  report.echClientHellos = counters.echClientHellos;
  const auto settled = [&](hosts::Outcome why) {
    return counters.outcomes[static_cast<std::size_t>(why)];
  };
  report.failOpenHoldExpired = settled(hosts::Outcome::holdExpired);
  report.failOpenLimitReached = settled(hosts::Outcome::limitReached);
  report.failOpenNoHandshake = settled(hosts::Outcome::noHandshake);
  report.acksObserved = counters.observedPackets;
  report.bodiesPassed = counters.bodyPasses;
  report.responsesPassed = counters.responsePasses;
  report.droppedAckLogLost = settled(hosts::Outcome::observationLost);
  report.droppedStaleHeldData = settled(hosts::Outcome::staleHeldData);
  report.droppedAckOvertook = settled(hosts::Outcome::ackOvertook);
  report.droppedHttpHeadTooLarge = settled(hosts::Outcome::httpHeadTooLarge);
  report.droppedHttpUnknownMethod = settled(hosts::Outcome::httpUnknownMethod);
  report.droppedHttpMalformed = settled(hosts::Outcome::httpMalformed);
  report.droppedTlsHelloTooLarge = settled(hosts::Outcome::tlsHelloTooLarge);
  report.helloRetries = counters.helloRetries;
  report.droppedTlsRetryNameChanged = settled(hosts::Outcome::tlsRetryNameChanged);
  report.tableFull = counters.tableFull;
  report.droppedTableFull = settled(hosts::Outcome::tableFullDrop);
  report.subscribers = subscribers;
  report.uptimeSeconds = static_cast<std::uint64_t>(uptime.count());
  return report;
}

}  // namespace quillnest::linuxhost
