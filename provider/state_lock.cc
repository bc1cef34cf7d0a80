#include "provider/state_lock.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quillnest {

thread_local int StateLock::heldByThisThread_ = 0;

namespace {

// A few microseconds on current cores: many sections' worth, well below a park and wake-up.
constexpr int kSpins = 4000;
constexpr int kMaxPause = 32;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void StateLock::lockContended() {
  // Each look at the word pulls its cache line away from the holder, whose unlock then waits for
  // it: look again after a growing pause.
  int pause = 1;
  for (int spun = 0; spun < kSpins; spun += pause) {
    if (word_.load(std::memory_order_relaxed) == kFree) {
      int expected = kFree;
      if (word_.compare_exchange_weak(expected, kHeld, std::memory_order_acquire,
                                      std::memory_order_relaxed)) {
        return;
      }
    }
    for (int i = 0; i < pause; ++i) relax();
    if (pause < kMaxPause) pause *= 2;
  }
  // Sleep until free; whoever takes it from here on marks it as having sleepers, which at worst
  // costs one needless wake-up.
  while (word_.exchange(kHeldWithSleepers, std::memory_order_acquire) != kFree) {
    word_.wait(kHeldWithSleepers, std::memory_order_relaxed);
  }
}

void StateLock::wakeOne() { word_.notify_one(); }

}  // namespace quillnest
