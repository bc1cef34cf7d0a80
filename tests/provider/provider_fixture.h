// A provider on a recording host, and helpers to read what it did.
#pragma once

#include <gtest/gtest.h>

#include "provider/filter_data_provider.h"
#include "tests/support/recording_host.h"

namespace quillnest::testing {

class ProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host = std::make_shared<RecordingHost>();
    provider = FilterDataProvider::init(host);
  }
  void TearDown() override { EXPECT_EQ(host->lockViolations(), 0); }

  // Starts with the given rules and accepts the settings; clears the records.
  void startWith(bool enabled, const std::vector<std::string>& domains) {
    host->setRulesJSON(rulesJSON(enabled, domains));
    provider->startFilterWithCompletionHandler([](ErrorRef) {});
    host->completeSettings(nullptr);
    host->clearRecords();
  }

  std::vector<LogRecord> logs() const { return host->logger().records(); }

  std::shared_ptr<RecordingHost> host;
  std::shared_ptr<FilterDataProvider> provider;
};

inline std::span<const std::uint8_t> asBytes(const std::vector<std::uint8_t>& bytes) {
  return {bytes.data(), bytes.size()};
}

}  // namespace quillnest::testing
