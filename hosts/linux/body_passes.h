// The QUILLNEST_BODY rules of the request bodies passing unqueued, added and deleted by a thread
// of their own: iptables-restore takes milliseconds, which the packet path must not wait for. A
// rule that comes late or not at all costs only speed (the body's segments keep coming to the
// queue, where the engine lets them go unread); one deleted late is harmless too, since it
// matches only a connection whose connmark is still kMarkBodyPass.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "hosts/common/engine/connection.h"
#include "hosts/linux/iptables_rules.h"

namespace quillnest::linuxhost {

class BodyPasses {
 public:
  // At most this many rules at once: a new one replaces the oldest (whose connection may have
  // ended unseen), whose body then comes through the queue again.
  static constexpr std::size_t kMaxRules = 64;
  // At most this many new rules a second: anyone may declare a long body and send little of it,
  // and each rule costs iptables a process; bodies beyond that come through the queue.
  static constexpr std::size_t kMaxOpensPerSecond = 32;

  using Warn = std::function<void(const std::string&)>;
  BodyPasses(IptablesRunner& runner, Warn warn, std::size_t opensPerSecond = kMaxOpensPerSecond);
  ~BodyPasses();
  // Makes no more changes (what is asked later is ignored), after any running one; the rules in
  // place go when the chain is flushed.
  void stop();
  BodyPasses(const BodyPasses&) = delete;
  BodyPasses& operator=(const BodyPasses&) = delete;

  // Neither waits for iptables. open replaces a rule the connection already has; past the rate
  // bound it does nothing.
  // logged: the segments go through QUILLNEST_ACK, else straight to ACCEPT.
  void open(const hosts::ConnectionKey& key, hosts::SequenceRange range, bool logged = true);
  void close(const hosts::ConnectionKey& key);
  // Waits until every change asked for so far is made (tests).
  void settle();
  std::size_t rules() const;

 private:
  struct Change {
    hosts::ConnectionKey key;
    std::string add;     // a rule to append, or empty
    std::string remove;  // a rule to delete, or empty
  };
  void run();

  IptablesRunner& runner_;
  Warn warn_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Change> changes_;
  // The rule each connection has, or is about to have once the changes are made.
  std::unordered_map<hosts::ConnectionKey, std::string, hosts::ConnectionKeyHash> rules_;
  std::deque<hosts::ConnectionKey> opened_;  // in the order opened; some may be closed since
  // rules_.size(), read without the lock: close() is asked on nearly every verdict of every
  // worker, almost always with no rule at all.
  std::atomic<std::size_t> count_{0};
  std::size_t opensPerSecond_;
  std::chrono::steady_clock::time_point second_{};
  std::size_t opensThisSecond_ = 0;
  std::size_t asked_ = 0;
  std::size_t done_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace quillnest::linuxhost
