#include "rules/large_buffer.h"

#include <algorithm>
#include <cstdint>
#include <system_error>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace quillnest {

void adviseHugePages(void* data, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  if (bytes < 2 * kHugePage) return;
  // Only whole huge pages inside the buffer: the advice never reaches a neighbour's memory.
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kHugePage - 1);
  // Advice only: a kernel without huge pages refuses it and the buffer works as before.
  if (end > begin) (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

PagesMadeAhead::PagesMadeAhead([[maybe_unused]] void* data, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_POPULATE_WRITE)
  constexpr std::uintptr_t kPage = 4096;
  const auto start = reinterpret_cast<std::uintptr_t>(data);
  const std::uintptr_t begin = (start + kPage - 1) & ~(kPage - 1);
  const std::uintptr_t end = (start + bytes) & ~(kPage - 1);
  if (end <= begin) return;
  try {
    thread_ = std::thread([begin, end] {
      // From the end back, a huge page at a time, so that the two meet rather than race for
      // the same pages. A hint: on failure the pages are made as they are written.
      constexpr std::uintptr_t kStep = std::uintptr_t{2} << 20;
      for (std::uintptr_t to = end; to > begin;) {
        const std::uintptr_t from = std::max(begin, (to - std::min(to, kStep)) & ~(kStep - 1));
        if (::madvise(reinterpret_cast<void*>(from), to - from, MADV_POPULATE_WRITE) != 0) return;
        to = from;
      }
    });
  } catch (const std::system_error&) {
  }
#endif
}

PagesMadeAhead::~PagesMadeAhead() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace quillnest
