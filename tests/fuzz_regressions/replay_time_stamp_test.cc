// pcapng carries 64-bit time stamps. The first replay fuzzer crash was a stamp far in the future
// (year 1.5 million) overflowing the engine's nanosecond clock; any stamp must replay.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "hosts/replay/replay.h"
#include "tests/common/packet_builder.h"

namespace quillnest::replay {
namespace {

using testing::PacketBytes;
using testing::PacketLayout;

void putLE(PacketBytes& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// A pcapng file of raw IP packets, each with its own 64-bit stamp in microseconds.
PacketBytes pcapng(const std::vector<PacketBytes>& packets,
                   const std::vector<std::uint64_t>& stamps) {
  PacketBytes out;
  const auto block = [&](std::uint32_t type, PacketBytes body) {
    body.resize((body.size() + 3) / 4 * 4);
    putLE(out, type, 4);
    putLE(out, body.size() + 12, 4);
    out.insert(out.end(), body.begin(), body.end());
    putLE(out, body.size() + 12, 4);
  };
  // The section (byte-order magic, version 1.0, length unknown), then one raw-IP interface.
  block(0x0A0D0D0A,
        {0x4D, 0x3C, 0x2B, 0x1A, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff});
  block(1, {101, 0, 0, 0, 0xff, 0xff, 0, 0});
  for (std::size_t i = 0; i < packets.size(); ++i) {
    PacketBytes body;
    putLE(body, 0, 4);
    putLE(body, stamps[i] >> 32, 4);
    putLE(body, stamps[i] & 0xFFFFFFFF, 4);
    putLE(body, packets[i].size(), 4);
    putLE(body, packets[i].size(), 4);
    body.insert(body.end(), packets[i].begin(), packets[i].end());
    block(6, body);
  }
  return out;
}

// SYN, the ClientHello for a blocked name in two segments with the second half first, FIN. The
// second half waits behind the gap; if the capture clock passes the hold time before the first
// half comes, the flow fails open.
std::vector<PacketBytes> blockedConnection() {
  const PacketBytes hello = testing::makeClientHello("www.blocked.example");
  const std::size_t half = hello.size() / 2;
  PacketLayout layout;
  layout.flags = hosts::kTcpSyn;
  layout.sequence = 100;
  std::vector<PacketBytes> packets{testing::buildPacket(layout)};
  layout.flags = hosts::kTcpAck | hosts::kTcpPsh;
  layout.sequence = 101;
  layout.payload.assign(hello.begin(), hello.begin() + static_cast<std::ptrdiff_t>(half));
  packets.push_back(testing::buildPacket(layout));
  layout.sequence = static_cast<std::uint32_t>(101 + half);
  layout.payload.assign(hello.begin() + static_cast<std::ptrdiff_t>(half), hello.end());
  packets.push_back(testing::buildPacket(layout));
  std::swap(packets[1], packets[2]);
  layout.flags = hosts::kTcpAck | hosts::kTcpFin;
  layout.sequence = static_cast<std::uint32_t>(101 + hello.size());
  layout.payload.clear();
  packets.push_back(testing::buildPacket(layout));
  return packets;
}

TEST(ReplayTimeStamps, AnyStampReplaysOnAClockThatOnlyMovesForward) {
  struct StampCase {
    const char* name;
    std::vector<std::uint64_t> stamps;  // microseconds, one per packet
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
  const auto packets = blockedConnection();
  for (const StampCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PacketBytes file = pcapng(packets, c.stamps);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()),
               static_cast<std::streamsize>(file.size()));
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
