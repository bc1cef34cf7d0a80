// Which of 32 bytes equal a value, as a bit mask: for scanning text for a few byte values without
// a branch per byte. SSE2 where the target has it, 8 bytes a step elsewhere.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillnest {

// Bit i set where at[i] == value, for i below 32; all 32 bytes must be readable.
inline std::uint32_t bytesEqual32(const char* at, char value) {
#if defined(__SSE2__)
  const __m128i wanted = _mm_set1_epi8(value);
  const auto half = [&](const char* from) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, wanted)));
  };
  return half(at) | half(at + 16) << 16;
#else
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Full;
  const std::uint64_t spread = 0x0101010101010101ull * static_cast<unsigned char>(value);
  std::uint32_t mask = 0;
  for (unsigned word = 0; word < 4; ++word) {
    std::uint64_t bytes;
    std::memcpy(&bytes, at + 8 * word, 8);
    if constexpr (std::endian::native == std::endian::big) bytes = __builtin_bswap64(bytes);
    const std::uint64_t x = bytes ^ spread;  // zero bytes where the value is
    const std::uint64_t zero = ~(((x & kLow7) + kLow7) | x | kLow7);
    // Each byte's top bit to one bit of the top byte, byte j to bit j.
    mask |= static_cast<std::uint32_t>(((zero >> 7) * 0x0102040810204080ull) >> 56) << (8 * word);
  }
  return mask;
#endif
}

}  // namespace quillnest
