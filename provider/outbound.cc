// Inspection of held flows: collect their first outbound bytes and judge them by the ClientHello's
// server name. Every way inspection cannot go on ends in allow: the filter fails open.
#include <mutex>

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
  // Whatever the section may need is allocated before it: room for the whole result, in a new
  // buffer when this is the first delivery, else in one that replaces a full one.
  const std::size_t total = offset + bytes.size();
  // All three are freed after unlocking, with whatever the section left in them.
  std::unique_ptr<Bytes> spare;
  std::unique_ptr<Bytes> abandoned;
  Bytes larger;
  if (offset == 0) {
    spare = std::make_unique<Bytes>();
    spare->reserve(total);
  } else {
    larger.reserve(total);
  }
  collected.clear();
  collected.reserve(total);

  bool appended = false;
  lockWithRoom(stateLock, outboundBuffers, [&](FlowMap<std::unique_ptr<Bytes>>& buffers) {
    const UUID identifier = flow.identifier();
    std::unique_ptr<Bytes>* entry = buffers.find(identifier);
    const std::size_t held = entry == nullptr ? 0 : (*entry)->size();
    if (offset != held) {
      if (entry != nullptr) abandoned = buffers.extract(identifier);
      return;
    }
    if (entry == nullptr) {
      buffers.insert(identifier, std::move(spare));
      entry = buffers.find(identifier);
    } else if ((*entry)->capacity() < total) {
      Bytes& room = offset == 0 ? *spare : larger;
      room.assign((*entry)->begin(), (*entry)->end());
      (*entry)->swap(room);
    }
    Bytes& buffer = **entry;
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
    collected.assign(buffer.begin(), buffer.end());
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
