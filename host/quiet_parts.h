// Host parts for hosts that have nothing to observe and nothing to log (capture replay,
// benchmarks): a configuration that never changes and a logger that is always off.
#pragma once

#include <string_view>
#include <vector>

#include "host/data_provider.h"
#include "host/logging.h"

namespace quillnest {

class NullObservation final : public NSKeyValueObservation {
 public:
  void invalidate() override {}
};

class QuietLogger final : public Logger {
 public:
  bool isEnabled(LogLevel) const override { return false; }
  void log(LogLevel, std::string_view, std::vector<LogArgument>) override {}
};

}  // namespace quillnest
