// The provider's one lock: non-recursive, and it knows which thread holds it, so that tests (and
// debug checks) can prove nothing slow runs under it.
//
// Its sections last a few dozen nanoseconds, far less than a sleep and wake-up in the kernel, so a
// thread that finds it taken spins for a while, reading the lock word (which leaves the holder's
// cache line shared rather than stolen), and only then parks on the word (a futex). The word has
// three states, so that an unlock makes a system call only when a thread really sleeps.
#pragma once

#include <atomic>
#include <thread>

namespace quillnest {

class StateLock {
 public:
  void lock() {
    int expected = kFree;
    if (!word_.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
      lockContended();
    }
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++heldByThisThread_;
  }
  void unlock() {
    --heldByThisThread_;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    if (word_.exchange(kFree, std::memory_order_release) == kHeldWithSleepers) wakeOne();
  }

  bool isHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  // True while the calling thread holds any StateLock.
  static bool currentThreadHoldsAny() { return heldByThisThread_ > 0; }

 private:
  static constexpr int kFree = 0;
  static constexpr int kHeld = 1;
  static constexpr int kHeldWithSleepers = 2;

  void lockContended();
  void wakeOne();

  std::atomic<int> word_{kFree};
  std::atomic<std::thread::id> owner_{};
  static thread_local int heldByThisThread_;
};

}  // namespace quillnest
