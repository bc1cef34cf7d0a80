// The provider's one lock: a non-recursive mutex that also knows which thread holds it, so that
// tests (and debug checks) can prove nothing slow runs under it.
//
// Its sections last a few dozen nanoseconds, far less than a sleep and wake-up in the kernel, so a
// thread that finds it taken spins for a while on the owner field (a read, which leaves the
// holder's cache line alone) and only then parks in the mutex. The mutex stays a plain std::mutex
// so that ThreadSanitizer sees every lock and unlock.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace quillnest {

class StateLock {
 public:
  void lock() {
    if (!mutex_.try_lock()) lockContended();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++heldByThisThread_;
  }
  void unlock() {
    --heldByThisThread_;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
  }

  bool isHeldByCurrentThread() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
  }
  // True while the calling thread holds any StateLock.
  static bool currentThreadHoldsAny() { return heldByThisThread_ > 0; }

 private:
  void lockContended();

  std::mutex mutex_;
  std::atomic<std::thread::id> owner_{};
  static thread_local int heldByThisThread_;
};

}  // namespace quillnest
