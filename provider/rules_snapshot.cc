#include "provider/rules_snapshot.h"

#include <atomic>

namespace quillnest {

std::uint64_t nextRulesGeneration() {
  static std::atomic<std::uint64_t> last{0};
  return last.fetch_add(1, std::memory_order_relaxed) + 1;
}

ThreadRulesCopy& threadRulesCopy() {
  thread_local ThreadRulesCopy copy;
  return copy;
}

}  // namespace quillnest
