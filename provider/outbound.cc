// Inspection of held flows: collect their first outbound bytes and judge them by the ClientHello's
// server name. Every way inspection cannot go on ends in allow: the filter fails open.
#include <algorithm>
#include <mutex>
#include <utility>

#include "inspection/server_name.h"
#include "provider/filter_data_provider.h"

namespace quillnest {

bool FilterDataProvider::appendOutboundBytes(const NEFilterFlow& flow, std::uint64_t offset,
                                             std::span<const std::uint8_t> bytes,
                                             Bytes& collected) {
  // Only a delivery at the held length can continue the buffer, and the held length is always
  // below the limit; written as a subtraction so that a huge delivery cannot wrap the sum.
  if (offset >= outboundBufferLimit || bytes.size() >= outboundBufferLimit - offset) {
    removeOutboundBuffer(flow);
    return false;
  }
  // The new bytes are written before the section, into the buffer that is to replace the held
  // one and into the caller's copy; the section only checks the held length and copies what is
  // held in front of them.
  const std::size_t total = offset + bytes.size();
  auto next = std::make_unique<Bytes>(total);
  std::copy(bytes.begin(), bytes.end(), next->begin() + static_cast<std::ptrdiff_t>(offset));
  collected.resize(total);
  std::copy(bytes.begin(), bytes.end(), collected.begin() + static_cast<std::ptrdiff_t>(offset));
  std::unique_ptr<Bytes> replaced;  // freed after unlocking

  bool appended = false;
  lockWithRoom(stateLock, outboundBuffers, [&](FlowMap<std::unique_ptr<Bytes>>& buffers) {
    const UUID identifier = flow.identifier();
    std::unique_ptr<Bytes>* entry = buffers.find(identifier);
    const std::size_t held = entry == nullptr ? 0 : (*entry)->size();
    if (offset != held) {
      if (entry != nullptr) replaced = buffers.extract(identifier);
      return;
    }
    if (entry == nullptr) {
      buffers.insert(identifier, std::move(next));
    } else {
      std::copy((*entry)->begin(), (*entry)->end(), next->begin());
      std::copy((*entry)->begin(), (*entry)->end(), collected.begin());
      replaced = std::exchange(*entry, std::move(next));
    }
    appended = true;
  });
  return appended;
}

void FilterDataProvider::removeOutboundBuffer(const NEFilterFlow& flow) {
  std::unique_ptr<Bytes> removed;  // freed after unlocking
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
  const RulesSnapshot snapshot = rulesSnapshot();
  if (!snapshot->isEnabled()) return NEFilterDataVerdict::allowVerdict();

  // Per thread, so that copying the buffer out under the lock needs no allocation once it has
  // grown. Only the parse below reads it; a host call made later may reuse it.
  thread_local Bytes collected;
  if (!appendOutboundBytes(*flow, readBytesStartOffset, readBytes, collected)) {
    return NEFilterDataVerdict::allowVerdict();
  }
  const ServerNameResult result = extractServerName(collected);
  const std::size_t collectedSize = collected.size();
  switch (result.kind()) {
    case ServerNameResult::Kind::found:
      removeOutboundBuffer(*flow);
      return verdictForServerName(result.hostName(), *snapshot);
    case ServerNameResult::Kind::needMore:
      if (result.total() > collectedSize) {
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
