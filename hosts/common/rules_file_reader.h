// Reading a rules file whole: one size limit and one wording of what went wrong, for the daemon,
// `check`, `import -o` and `replay`. The bytes keep kJsonReadPadding zeroed bytes of spare
// capacity behind them, so the decoder parses them where they lie and a large file is never
// copied a second time.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

#include "host/configuration.h"

namespace quillnest {

// Files beyond this are not read (a rules file of a million domains is about 30 MB).
inline constexpr std::size_t kRulesFileMaximumSize = 256u * 1024 * 1024;

struct RulesFileBytes {
  std::optional<Bytes> bytes;  // present when the file was read
  int error = 0;               // the errno behind a failure (ENOENT: there is no such file)
  std::string problem;         // why it was not read, naming the file; empty when read
};

// A regular file of at most maximumSize bytes, read whole.
RulesFileBytes readRulesFileBytes(const std::filesystem::path& path,
                                  std::size_t maximumSize = kRulesFileMaximumSize);
// The same from a file already open (whoever opened it checked its owner and mode first), with
// spare bytes of capacity beyond the padding for a caller that adds to the text.
RulesFileBytes readRulesFileBytes(int fd, const std::filesystem::path& path,
                                  std::size_t maximumSize = kRulesFileMaximumSize,
                                  std::size_t spare = 0);

}  // namespace quillnest
