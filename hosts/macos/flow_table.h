// Keeps one core flow per platform flow while the core holds on to it.
//
// The core's tables and updateFlow work on core flow objects, so every callback about the same
// platform flow must hand the core the same object. The table holds flows weakly: the core's own
// references decide how long an entry matters, and flows the core never kept (allowed at once,
// never reported) cost nothing beyond an expired slot that the next sweep removes.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "host/flow.h"

namespace quillnest::macos {

class FlowTable {
 public:
  // The live flow stored under identifier, or nullptr.
  FlowRef find(const UUID& identifier);
  // The live flow stored under identifier; otherwise make()'s flow, stored. make runs without the
  // table's lock; when two threads race, both get the flow stored first.
  FlowRef findOrAdd(const UUID& identifier, const std::function<FlowRef()>& make);
  // Slots, expired ones included; for tests.
  std::size_t slotCount() const;

 private:
  void sweepIfDue();

  mutable std::mutex mutex_;
  std::unordered_map<UUID, std::weak_ptr<NEFilterFlow>> flows_;
  std::size_t sweepAt_ = kMinimumSweep;
  static constexpr std::size_t kMinimumSweep = 256;
};

}  // namespace quillnest::macos
