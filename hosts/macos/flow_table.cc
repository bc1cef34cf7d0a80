#include "hosts/macos/flow_table.h"

#include <algorithm>

namespace quillnest::macos {

FlowRef FlowTable::find(const UUID& identifier) {
  std::lock_guard guard(mutex_);
  const auto slot = flows_.find(identifier);
  return slot == flows_.end() ? nullptr : slot->second.lock();
}

FlowRef FlowTable::findOrAdd(const UUID& identifier, const std::function<FlowRef()>& make) {
  if (FlowRef existing = find(identifier)) return existing;
  FlowRef made = make();
  if (!made) return nullptr;
  std::lock_guard guard(mutex_);
  auto [slot, inserted] = flows_.try_emplace(identifier, made);
  if (!inserted) {
    if (FlowRef raced = slot->second.lock()) return raced;
    slot->second = made;
  }
  sweepIfDue();
  return made;
}

std::size_t FlowTable::slotCount() const {
  std::lock_guard guard(mutex_);
  return flows_.size();
}

// Sweeping when the table has doubled since the last sweep keeps the cost per insertion constant
// and the table at most twice the live flows (or kMinimumSweep).
void FlowTable::sweepIfDue() {
  if (flows_.size() < sweepAt_) return;
  std::erase_if(flows_, [](const auto& slot) { return slot.second.expired(); });
  sweepAt_ = std::max(kMinimumSweep, flows_.size() * 2);
}

}  // namespace quillnest::macos
