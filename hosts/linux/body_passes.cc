#include "hosts/linux/body_passes.h"

#include <vector>

namespace quillnest::linuxhost {

BodyPasses::BodyPasses(IptablesRunner& runner, Warn warn, std::size_t opensPerSecond)
    : runner_(runner),
      warn_(std::move(warn)),
      opensPerSecond_(opensPerSecond),
      thread_([this] { run(); }) {}

BodyPasses::~BodyPasses() { stop(); }

void BodyPasses::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (thread_.joinable()) thread_.join();
}

void BodyPasses::open(const hosts::ConnectionKey& key, hosts::SequenceRange range, bool logged) {
  std::lock_guard lock(mutex_);
  if (stopping_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - second_ >= std::chrono::seconds(1)) {
    second_ = now;
    opensThisSecond_ = 0;
  }
  if (opensThisSecond_ >= opensPerSecond_) return;
  ++opensThisSecond_;
  auto it = rules_.find(key);
  while (it == rules_.end() && rules_.size() >= kMaxRules && !opened_.empty()) {
    auto oldest = rules_.find(opened_.front());
    opened_.pop_front();
    if (oldest == rules_.end()) continue;
    changes_.push_back(Change{oldest->first, {}, std::move(oldest->second)});
    rules_.erase(oldest);
    ++asked_;
  }
  if (it == rules_.end()) opened_.push_back(key);
  Change change{key, bodyPassRule(key, range, logged), {}};
  if (it != rules_.end()) {
    change.remove = std::move(it->second);
    it->second = change.add;
  } else {
    rules_.emplace(key, change.add);
  }
  changes_.push_back(std::move(change));
  ++asked_;
  if (opened_.size() > 4 * kMaxRules)
    std::erase_if(opened_, [&](const hosts::ConnectionKey& old) { return !rules_.count(old); });
  count_.store(rules_.size(), std::memory_order_release);
  changed_.notify_all();
}

void BodyPasses::close(const hosts::ConnectionKey& key) {
  if (count_.load(std::memory_order_acquire) == 0) return;
  std::lock_guard lock(mutex_);
  auto it = rules_.find(key);
  if (it == rules_.end() || stopping_) return;
  changes_.push_back(Change{key, {}, std::move(it->second)});
  rules_.erase(it);
  if (rules_.empty()) opened_.clear();
  count_.store(rules_.size(), std::memory_order_release);
  ++asked_;
  changed_.notify_all();
}

void BodyPasses::settle() {
  std::unique_lock lock(mutex_);
  const std::size_t target = asked_;
  changed_.wait(lock, [&] { return done_ >= target || stopping_; });
}

std::size_t BodyPasses::rules() const {
  std::lock_guard lock(mutex_);
  return rules_.size();
}

void BodyPasses::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return stopping_ || !changes_.empty(); });
    if (stopping_) return;
    // Everything asked so far in one transaction per family: a burst costs one process each.
    std::deque<Change> batch;
    batch.swap(changes_);
    lock.unlock();
    for (IpFamilyTool family : {IpFamilyTool::v4, IpFamilyTool::v6}) {
      std::vector<std::string> scripts;
      for (const Change& change : batch) {
        if (familyOf(change.key) != family) continue;
        std::string& script = scripts.emplace_back();
        if (!change.remove.empty())
          script += "-D " + std::string(kBodyChain) + " " + change.remove + "\n";
        if (!change.add.empty())
          script += "-A " + std::string(kBodyChain) + " " + change.add + "\n";
      }
      if (scripts.empty()) continue;
      std::string all;
      for (const std::string& script : scripts) all += script;
      if (runner_.restore(family, "*mangle\n" + all + "COMMIT\n").empty()) continue;
      // One change that cannot be made (a rule already gone) fails the whole transaction: each
      // on its own then, so the others are made.
      for (const std::string& script : scripts) {
        const std::string error = runner_.restore(family, "*mangle\n" + script + "COMMIT\n");
        if (!error.empty() && script.find("-A ") != std::string::npos)
          warn_("cannot let a request body pass unqueued: " + error);
      }
    }
    lock.lock();
    done_ += batch.size();
    changed_.notify_all();
  }
}

}  // namespace quillnest::linuxhost
