// Buffers of many megabytes that are filled once, front to back, right after they are allocated:
// a rules file, a list's text, offsets and index. Filling them is mostly page faults, one per
// 4 KiB; on Linux they are offered transparent huge pages (one fault per 2 MiB where the kernel
// has them). Elsewhere, and for smaller buffers, nothing happens.
#pragma once

#include <cstddef>
#include <thread>

namespace quillnest {

void adviseHugePages(void* data, std::size_t bytes);

// Makes a buffer's pages on another thread while the caller fills it from the front, where a core
// is spare: the kernel's zeroing of fresh pages costs as much as the filling. Joins when
// destroyed. Without a thread or the kernel's support, the pages are made as they are written.
class PagesMadeAhead {
 public:
  PagesMadeAhead(void* data, std::size_t bytes);
  ~PagesMadeAhead();
  PagesMadeAhead(const PagesMadeAhead&) = delete;
  PagesMadeAhead& operator=(const PagesMadeAhead&) = delete;

 private:
  std::thread thread_;
};

}  // namespace quillnest
