// A second reading of the ClientHello rules, by plain indices and in the order the checks are
// stated, kept apart from the cursor version on purpose: differential tests and the fuzzer compare
// the two, which pins every bound check and every total, not just the happy path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "inspection/server_name.h"
#include "rules/normalization.h"

namespace quillnest::literal {

using Span = std::span<const std::uint8_t>;

// Decodes to code points and rejects what RFC 3629 forbids.
inline bool validUtf8(Span b) {
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint32_t lead = b[i];
    std::size_t count;
    std::uint32_t cp;
    if (lead < 0x80) {
      count = 0, cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      count = 1, cp = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      count = 2, cp = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      count = 3, cp = lead & 0x07;
    } else {
      return false;
    }
    if (b.size() - i - 1 < count) return false;
    for (std::size_t k = 1; k <= count; ++k) {
      if ((b[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[count] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += count + 1;
  }
  return true;
}

inline ServerNameResult parseServerNameList(Span E) {
  const std::size_t d = E.size();
  if (d < 2) return ServerNameResult::unavailable();
  const std::size_t listLength = E[0] * 256u + E[1];
  const std::size_t z = listLength + 2;
  if (d < z || listLength < 3) return ServerNameResult::unavailable();
  std::size_t i = 2;
  for (;;) {
    if (i + 2 >= d) return ServerNameResult::unavailable();
    const std::size_t y = i + 3 + (E[i + 1] * 256u + E[i + 2]);
    if (z < y) return ServerNameResult::unavailable();
    if (E[i] == 0) {
      const Span name = E.subspan(i + 3, y - (i + 3));
      if (validUtf8(name)) {
        return ServerNameResult::found(normalizedServerName(
            std::string_view(reinterpret_cast<const char*>(name.data()), name.size())));
      }
    }
    if (z < y + 3) return ServerNameResult::unavailable();
    i = y;
  }
}

inline ServerNameResult parseClientHello(Span M) {
  const std::size_t L = M.size();
  if (L < 39) return ServerNameResult::unavailable();
  const std::size_t s = M[38];
  if (L < s + 39 || s + 40 >= L) return ServerNameResult::unavailable();
  const std::size_t c = M[s + 39] * 256u + M[s + 40];
  const std::size_t k = s + 41 + c;
  if (k >= L) return ServerNameResult::unavailable();
  const std::size_t x = k + 1 + M[k];
  if (L < x || x + 1 >= L) return ServerNameResult::unavailable();
  const std::size_t a = x + 2;
  const std::size_t e = a + (M[x] * 256u + M[x + 1]);
  if (L < e) return ServerNameResult::unavailable();
  std::size_t q = a;
  for (;;) {
    if (e < q + 4) return ServerNameResult::unavailable();
    const std::size_t t = q + 4 + (M[q + 2] * 256u + M[q + 3]);
    if (e < t) return ServerNameResult::unavailable();
    if (M[q] * 256u + M[q + 1] == 0) return parseServerNameList(M.subspan(q + 4, t - (q + 4)));
    q = t;
  }
}

inline ServerNameResult extractServerName(Span B) {
  const std::size_t n = B.size();
  if (n < 5) return ServerNameResult::needMore(5);
  std::size_t p = 0;
  std::vector<std::uint8_t> H;
  for (;;) {
    const std::size_t h = p + 5;
    if (n < h) return h <= 65535 ? ServerNameResult::needMore(h) : ServerNameResult::unavailable();
    if (B[p] != 22) return ServerNameResult::unavailable();
    const std::size_t r = h + (B[p + 3] * 256u + B[p + 4]);
    if (n < r) return r <= 65535 ? ServerNameResult::needMore(r) : ServerNameResult::unavailable();
    H.insert(H.end(), B.begin() + static_cast<std::ptrdiff_t>(h),
             B.begin() + static_cast<std::ptrdiff_t>(r));
    if (H.size() >= 4) {
      if (H[0] != 1) return ServerNameResult::unavailable();
      const std::size_t m = (H[1] * 65536u + H[2] * 256u + H[3]) + 4;
      if (H.size() >= m) return parseClientHello(Span(H).first(m));
    }
    if (r >= n) {
      return r + 5 <= 65535 ? ServerNameResult::needMore(r + 5) : ServerNameResult::unavailable();
    }
    p = r;
  }
}

}  // namespace quillnest::literal
