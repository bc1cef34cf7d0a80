// Stream reassembly against a plain model: segments at arbitrary offsets (overlapping, repeated
// with different bytes, out of order) must yield exactly the bytes a first-wins receiver keeps,
// and take() must hand out each byte once, in order. Offsets go through 32-bit sequence numbers
// from a fuzzed initial sequence, so streams that cross the wrap are covered too.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/common/stream_reassembler.h"

namespace {

using quillnest::fuzz::check;

constexpr std::size_t kWindow = 4096;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillnest::hosts::StreamReassembler stream(kWindow);
  std::vector<std::optional<std::uint8_t>> model;  // first byte seen at each offset
  std::vector<std::uint8_t> taken;
  if (size < 4) return 0;
  // The first 4 bytes: the initial sequence number; its top bits are set often so the stream
  // crosses 2^32 within the window.
  std::uint32_t isn = static_cast<std::uint32_t>(data[0] | data[1] << 8 | data[2] << 16) |
                      static_cast<std::uint32_t>(data[3]) << 24;
  if (data[0] & 1) isn |= 0xFFFFF000u;
  std::size_t at = 4;
  // Each op: 2 bytes offset (little endian, mod 8192, minus 16), 1 byte length, then the bytes.
  while (at + 3 <= size) {
    const std::int64_t offset =
        static_cast<std::int64_t>((data[at] | data[at + 1] << 8) % 8192) - 16;
    const std::size_t length = data[at + 2];
    at += 3;
    if (at + length > size) break;
    std::vector<std::uint8_t> bytes(data + at, data + at + length);
    at += length;
    const std::uint32_t sequence = isn + 1u + static_cast<std::uint32_t>(offset);
    check(quillnest::hosts::streamOffset(isn, sequence) == offset, "sequence to offset");
    const bool accepted = stream.insert(quillnest::hosts::streamOffset(isn, sequence), bytes);
    const std::int64_t end = offset + static_cast<std::int64_t>(length);
    if (end > static_cast<std::int64_t>(taken.size() + kWindow)) {
      check(!accepted, "beyond the window refused");
      continue;
    }
    check(accepted, "inside the window accepted");
    for (std::int64_t i = std::max<std::int64_t>(offset, 0); i < end; ++i) {
      if (static_cast<std::size_t>(i) >= model.size())
        model.resize(static_cast<std::size_t>(i) + 1);
      auto& slot = model[static_cast<std::size_t>(i)];
      if (!slot) slot = bytes[static_cast<std::size_t>(i - offset)];
    }
    if (length & 1) {  // take after some inserts only
      const std::vector<std::uint8_t> out = stream.take();
      taken.insert(taken.end(), out.begin(), out.end());
      check(stream.taken() == taken.size(), "taken count");
    }
  }
  const std::vector<std::uint8_t> out = stream.take();
  taken.insert(taken.end(), out.begin(), out.end());
  for (std::size_t i = 0; i < taken.size(); ++i) {
    check(i < model.size() && model[i] && *model[i] == taken[i], "first bytes win, in order");
  }
  check(taken.size() == model.size() || !model[taken.size()], "stops only at a gap");
  return 0;
}
