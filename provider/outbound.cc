// Inspection of held flows: collect their first outbound bytes and judge them by the ClientHello's
// server name. Every way inspection cannot go on ends in allow: the filter fails open.
#include <mutex>

#include "inspection/server_name.h"
#include "provider/filter_data_provider.h"

namespace quillnest {

std::optional<Bytes> FilterDataProvider::appendOutboundBytes(const NEFilterFlow& flow,
                                                             std::uint64_t offset,
                                                             std::span<const std::uint8_t> bytes) {
  decltype(outboundBuffers)::node_type abandoned;  // freed after unlocking
  std::lock_guard guard(stateLock);
  const UUID identifier = flow.identifier();
  const auto entry = outboundBuffers.find(identifier);
  const std::size_t held = entry == outboundBuffers.end() ? 0 : entry->second.size();
  // Written as a subtraction so a huge delivery cannot wrap the sum; held is always below the
  // limit.
  if (offset != held || bytes.size() >= outboundBufferLimit - held) {
    if (entry != outboundBuffers.end()) abandoned = outboundBuffers.extract(entry);
    return std::nullopt;
  }
  Bytes& buffer = entry == outboundBuffers.end() ? outboundBuffers[identifier] : entry->second;
  buffer.insert(buffer.end(), bytes.begin(), bytes.end());
  return buffer;
}

void FilterDataProvider::removeOutboundBuffer(const NEFilterFlow& flow) {
  decltype(outboundBuffers)::node_type removed;
  std::lock_guard guard(stateLock);
  removed = outboundBuffers.extract(flow.identifier());
}

DataVerdictRef FilterDataProvider::verdictForServerName(const std::string& serverName,
                                                        const FilterRules& snapshot) {
  if (!snapshot.matchesHost(serverName)) return NEFilterDataVerdict::allowVerdict();
  return blockServerName(serverName);
}

DataVerdictRef FilterDataProvider::handleOutboundDataFromFlow(
    const FlowRef& flow, std::uint64_t readBytesStartOffset,
    std::span<const std::uint8_t> readBytes) {
  if (!flow) return NEFilterDataVerdict::allowVerdict();
  const FilterRules snapshot = rulesSnapshot();
  if (!snapshot.isEnabled()) return NEFilterDataVerdict::allowVerdict();

  const std::optional<Bytes> buffer = appendOutboundBytes(*flow, readBytesStartOffset, readBytes);
  if (!buffer) return NEFilterDataVerdict::allowVerdict();

  const ServerNameResult result = extractServerName(*buffer);
  switch (result.kind()) {
    case ServerNameResult::Kind::found:
      removeOutboundBuffer(*flow);
      return verdictForServerName(result.hostName(), snapshot);
    case ServerNameResult::Kind::needMore:
      if (result.total() > buffer->size()) {
        // Nothing passes before the name is read; the peek count is the absolute total.
        return NEFilterDataVerdict::dataVerdictWithPassBytes(0, result.total());
      }
      break;
    case ServerNameResult::Kind::unavailable:
      break;
  }
  removeOutboundBuffer(*flow);
  return NEFilterDataVerdict::allowVerdict();
}

DataVerdictRef FilterDataProvider::handleOutboundDataCompleteForFlow(const FlowRef& flow) {
  if (flow) removeOutboundBuffer(*flow);
  return NEFilterDataVerdict::allowVerdict();
}

}  // namespace quillnest
