// The block report (a debug line and a notification before the drop verdict) and the flow-closed
// report.
#include <mutex>

#include "host/log_formats.h"
#include "provider/filter_data_provider.h"

namespace quillnest {

void FilterDataProvider::postBlockReport(std::string_view format, const std::string& hostname) {
  if (logger->isEnabled(LogLevel::debug)) {
    logger->log(LogLevel::debug, format, {LogArgument::publicString(hostname)});
  }
  host().notifyPost(kBlockedNotification);
}

NewFlowVerdictRef FilterDataProvider::blockNewFlow(const std::string& hostname) {
  postBlockReport(QUILLNEST_LOG_BLOCKED_HOSTNAME, hostname);
  return NEFilterNewFlowVerdict::dropVerdict();
}

DataVerdictRef FilterDataProvider::blockServerName(const std::string& serverName) {
  postBlockReport(QUILLNEST_LOG_BLOCKED_TLS_HOSTNAME, serverName);
  return NEFilterDataVerdict::dropVerdict();
}

void FilterDataProvider::handleReport(const NEFilterReport& report) {
  if (report.event != static_cast<std::int64_t>(NEFilterReportEvent::flowClosed)) return;
  if (!report.flow) return;
  const UUID identifier = report.flow->identifier();
  // The extracted entries die after unlocking.
  FlowRef flowEntry;
  std::unique_ptr<Bytes> bufferEntry;
  {
    std::lock_guard guard(stateLock);
    flowEntry = activeWebFlows.extract(identifier);
    bufferEntry = outboundBuffers.extract(identifier);
  }
}

}  // namespace quillnest
