#include "provider/state_lock.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace quillnest {

thread_local int StateLock::heldByThisThread_ = 0;

namespace {

// About a microsecond on current cores: many sections' worth, well below a park and wake-up.
constexpr int kSpins = 256;

inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace

void StateLock::lockContended() {
  for (int spin = 0; spin < kSpins; ++spin) {
    // Reading the owner first keeps the spinning thread off the holder's cache line.
    if (owner_.load(std::memory_order_relaxed) == std::thread::id() && mutex_.try_lock()) return;
    relax();
  }
  mutex_.lock();
}

}  // namespace quillnest
