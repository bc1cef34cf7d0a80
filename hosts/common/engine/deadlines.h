// When connections need attention without a packet (a hold bound, a naming bound, a linger),
// kept in a binary heap: tick costs in proportion to what is due, not to the table's size.
// Entries are never removed early; one whose item is gone, or whose time is no longer the
// item's, is skipped when it comes up (the owner keeps at most one live entry per item).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

namespace quillnest::hosts {

template <typename T>
class Deadlines {
 public:
  using Time = std::chrono::nanoseconds;

  void schedule(Time at, std::weak_ptr<T> item) { heap_.push({at, std::move(item)}); }

  // Removes and returns the entries due at `now`, earliest first.
  std::vector<std::pair<Time, std::shared_ptr<T>>> due(Time now) {
    std::vector<std::pair<Time, std::shared_ptr<T>>> out;
    while (!heap_.empty() && heap_.top().at <= now) {
      if (auto item = heap_.top().item.lock()) out.emplace_back(heap_.top().at, std::move(item));
      heap_.pop();
    }
    return out;
  }

  std::size_t size() const { return heap_.size(); }

 private:
  struct Entry {
    Time at;
    std::weak_ptr<T> item;
    bool operator>(const Entry& other) const { return at > other.at; }
  };
  std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> heap_;
};

}  // namespace quillnest::hosts
