// The rules snapshot a decision works on, without a shared reference count touched per flow.
//
// Copying FilterRules copies a shared_ptr: two atomic updates of one counter per decision, and
// with several threads deciding at once that counter's cache line moves between cores on every
// flow. Instead, each stored value of the provider's rules carries a generation number, unique in
// the process, and each thread keeps its own copy of the last rules it took with their generation.
// A decision reads the generation (an atomic, stored after the rules it names); only when it
// differs from the thread's copy does it take the lock and copy the rules value, so the snapshot
// is exactly what a plain copy under the lock would have given at that moment.
#pragma once

#include <cstdint>
#include <optional>

#include "rules/filter_rules.h"

namespace quillnest {

// A fresh generation for a value about to be stored as a provider's rules; never 0.
std::uint64_t nextRulesGeneration();

// The calling thread's copy: what it last took and how many live snapshots still read it.
struct ThreadRulesCopy {
  std::uint64_t generation = 0;  // 0: nothing taken yet
  std::optional<FilterRules> rules;
  int readers = 0;
};
ThreadRulesCopy& threadRulesCopy();

class RulesSnapshot {
 public:
  // Reads the thread's copy; the caller has checked that its generation is the current one.
  explicit RulesSnapshot(ThreadRulesCopy& copy) : copy_(&copy), rules_(&*copy.rules) {
    ++copy.readers;
  }
  // Keeps a value of its own: the thread's copy is still read by another snapshot.
  explicit RulesSnapshot(FilterRules&& own) : own_(std::move(own)), rules_(&*own_) {}
  ~RulesSnapshot() {
    if (copy_ != nullptr) --copy_->readers;
  }
  RulesSnapshot(const RulesSnapshot&) = delete;
  RulesSnapshot& operator=(const RulesSnapshot&) = delete;

  const FilterRules& operator*() const { return *rules_; }
  const FilterRules* operator->() const { return rules_; }

 private:
  ThreadRulesCopy* copy_ = nullptr;
  std::optional<FilterRules> own_;
  const FilterRules* rules_;
};

}  // namespace quillnest
