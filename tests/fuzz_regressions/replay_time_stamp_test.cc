// pcapng carries 64-bit time stamps. The first replay fuzzer crash was a stamp far in the future
// (year 1.5 million) overflowing the engine's nanosecond clock; any stamp must replay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "hosts/replay/replay.h"
#include "tests/replay/capture_writer.h"

namespace quillnest::replay {
namespace {

TEST(ReplayTimeStamps, AnyStampReplaysOnAClockThatOnlyMovesForward) {
  // A connection to a blocked name, its ClientHello in two segments with the second half first. The
  // second half waits behind the gap; if the capture clock passes the hold time before the first
  // half comes, the flow fails open.
  struct StampCase {
    const char* name;
    std::vector<std::uint64_t> stamps;  // microseconds: handshake, second half, first half, FINs
    const char* verdict;
  };
  constexpr std::uint64_t kNow = 1700000000ull * 1000000;
  constexpr std::uint64_t kMax = ~0ull;
  constexpr std::uint64_t kFuzzerYear = 0x0A240A06001E4000ull;  // the crash input's stamp
  const std::vector<StampCase> cases = {
      {"ordinary", {kNow, kNow + 1000, kNow + 2000, kNow + 3000}, "drop"},
      {"all at the largest stamp", {kMax, kMax, kMax, kMax}, "drop"},
      {"all at the signed boundary", {1ull << 63, 1ull << 63, (1ull << 63) + 1, 0}, "drop"},
      {"zero", {0, 0, 0, 0}, "drop"},
      // Earlier stamps after later ones leave the clock where it was.
      {"largest first, then ordinary", {kMax, kMax, kNow, kNow}, "drop"},
      // A later stamp is later, however far: the held half expires and the flow fails open.
      // (Before the fix these wrapped negative and the clock stood still.)
      {"ordinary, then the largest", {kNow, kNow, kMax, kMax}, "allow"},
      {"ordinary, then the fuzzer's year", {kNow, kNow, kFuzzerYear, kFuzzerYear}, "allow"},
  };
  const std::string path = ::testing::TempDir() + "quillnest_regression_stamps.pcapng";
  const auto hello = testing::makeClientHello("www.blocked.example");
  const std::size_t half = hello.size() / 2;
  for (const StampCase& c : cases) {
    SCOPED_TRACE(c.name);
    testing::CaptureWriter w;
    w.tcpConnection(40001, "198.51.100.1", 443, hello, {{half, hello.size()}, {0, half}}, 0);
    const auto& s = c.stamps;
    w.restamp({s[0], s[0], s[0], s[1], s[2], s[3], s[3]});
    w.write(path, true);
    std::string error;
    const auto result =
        replayCapture(path, R"({"isEnabled":true,"domains":["blocked.example"]})", error);
    ASSERT_TRUE(result) << error;
    ASSERT_EQ(result->flows.size(), 1u);
    const ReplayFlow& flow = result->flows[0];
    EXPECT_TRUE(std::isfinite(flow.time) && flow.time >= 0) << flow.time;
    EXPECT_EQ(flow.verdict, c.verdict) << flow.why;
  }
}

}  // namespace
}  // namespace quillnest::replay
