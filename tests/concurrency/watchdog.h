// Aborts the test program if the work has not finished by the deadline: a deadlock would
// otherwise hang the run until CTest's own timeout, with no word on where.
#pragma once

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

namespace quillnest::testing {

inline constexpr auto kDeadline = std::chrono::seconds(120);  // far beyond a ThreadSanitizer run

class Watchdog {
 public:
  explicit Watchdog(const char* what)
      : thread_([this, what] {
          if (done_.get_future().wait_for(kDeadline) == std::future_status::timeout) {
            std::fprintf(stderr, "watchdog: %s did not finish; deadlock?\n", what);
            std::abort();
          }
        }) {}
  ~Watchdog() {
    done_.set_value();
    thread_.join();
  }

 private:
  std::promise<void> done_;
  std::thread thread_;
};

}  // namespace quillnest::testing
