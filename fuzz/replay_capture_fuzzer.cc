// The capture reader of `replay` on any bytes as a pcap or pcapng file: libpcap's reader, the link
// layers we strip, the packet parser and the flow engine behind them. A capture either replays
// with consistent counts or is refused with a message; it never crashes or hangs.
//
// Input that starts with a pcap or pcapng magic is the file itself. Anything else is taken as
// packet records behind a fixed raw-IP pcap header: libpcap is not instrumented, so without
// seeds (fuzz/seeds/make_seeds.py) the fuzzer would hardly find a valid header on its own.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/replay/replay.h"

namespace {

using quillnest::fuzz::check;

constexpr char kRules[] = R"({"isEnabled":true,"domains":["blocked.example","example.org"]})";

// One in-memory file for the whole run; libpcap opens it by its /proc path.
int captureFile() {
  static const int fd = memfd_create("capture", 0);
  return fd;
}

// pcap (microseconds or nanoseconds, either byte order) or a pcapng section header.
bool startsWithMagic(const std::uint8_t* data, std::size_t size) {
  static const std::uint32_t kMagics[] = {0xa1b2c3d4, 0xd4c3b2a1, 0xa1b23c4d, 0x4d3cb2a1,
                                          0x0a0d0d0a};
  if (size < 4) return false;
  const std::uint32_t word =
      static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3];
  return std::find(std::begin(kMagics), std::end(kMagics), word) != std::end(kMagics);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const int fd = captureFile();
  check(fd >= 0, "memfd_create");
  check(ftruncate(fd, 0) == 0, "truncate");
  std::vector<std::uint8_t> file;
  if (!startsWithMagic(data, size)) {
    // Classic pcap, little endian, version 2.4, snap length 65535, link type 101 (raw IP).
    static const std::uint8_t kHeader[] = {0xd4, 0xc3, 0xb2, 0xa1, 2,    0,    4, 0, 0,   0, 0, 0,
                                           0,    0,    0,    0,    0xff, 0xff, 0, 0, 101, 0, 0, 0};
    file.assign(std::begin(kHeader), std::end(kHeader));
  }
  file.insert(file.end(), data, data + size);
  for (std::size_t done = 0; done < file.size();) {
    const ssize_t n = pwrite(fd, file.data() + done, file.size() - done, static_cast<off_t>(done));
    check(n > 0, "write");
    done += static_cast<std::size_t>(n);
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string error;
  const auto result = quillnest::replay::replayCapture(path, kRules, error);
  if (!result) {
    check(!error.empty(), "a refused capture says why");
    return 0;
  }
  const auto& s = result->summary;
  check(s.unparseable + s.cutShort <= s.packets, "unparseable and cut frames within packets");
  check(s.allowed + s.dropped == result->flows.size(), "every flow allowed or dropped");
  check(result->flows.size() <= s.packets, "no more flows than packets");
  check(result->flows.size() == s.flows, "a line for every flow the engine saw");
  check(s.inspected <= s.flows, "inspected within flows");
  check(s.blockNotifications <= s.dropped, "a notification only for a drop");
  for (const auto& flow : result->flows) {
    check(flow.protocol == "tcp" || flow.protocol == "udp", "protocol");
    check(flow.verdict == "allow" || flow.verdict == "drop", "verdict");
    check(flow.time >= 0, "time from the first packet");
  }
  return 0;
}
