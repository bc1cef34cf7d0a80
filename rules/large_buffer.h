// Buffers of many megabytes that are filled once, front to back, right after they are allocated:
// a rules file, a list's text, offsets and index. Filling them is mostly page faults, one per
// 4 KiB; on Linux they are offered transparent huge pages (one fault per 2 MiB where the kernel
// has them). Elsewhere, and for smaller buffers, nothing happens.
#pragma once

#include <cstddef>

namespace quillnest {

void adviseHugePages(void* data, std::size_t bytes);

}  // namespace quillnest
