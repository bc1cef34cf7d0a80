#include "hosts/common/rules_file_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "rules/filter_rules.h"

namespace quillnest {
namespace {

namespace fs = std::filesystem;

TEST(RulesFileReaderTest, ReadsOrSaysWhyNot) {
  struct Case {
    std::string name;
    std::function<void(const fs::path&)> prepare;
    std::size_t maximumSize;
    std::optional<std::string> bytes;  // absent: not read
    int error;
    std::string problemPart;
  };
  const auto write = [](std::string text) {
    return [text](const fs::path& p) { std::ofstream(p, std::ios::binary) << text; };
  };
  const std::string nul("{\"a\":\0}\n", 8);
  // Big enough to be read in two halves, and of an odd size: no byte lost or doubled at the seam.
  std::string big(9u * 1024 * 1024 + 4097, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 131 % 251);
  const std::vector<Case> cases = {
      {"text", write(nul), 100, nul, 0, ""},
      {"empty", write(""), 100, "", 0, ""},
      {"exactly the limit", write("0123456789"), 10, "0123456789", 0, ""},
      {"big", write(big), big.size(), big, 0, ""},
      {"one byte over", write("0123456789x"), 10, std::nullopt, EFBIG, "larger than 10 bytes"},
      {"missing", [](const fs::path&) {}, 100, std::nullopt, ENOENT, "cannot read"},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, 100, std::nullopt, EISDIR,
       "is a directory, not a regular file"},
      // A FIFO would block a plain open until a writer comes.
      {"fifo", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, 100,
       std::nullopt, EINVAL, "not a regular file"},
  };
  const fs::path directory =
      fs::temp_directory_path() / ("rules-reader-" + std::to_string(::getpid()));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(directory);
    fs::create_directories(directory);
    const fs::path path = directory / "rules.json";
    c.prepare(path);
    const RulesFileBytes read = readRulesFileBytes(path, c.maximumSize);
    EXPECT_EQ(read.error, c.error);
    ASSERT_EQ(read.bytes.has_value(), c.bytes.has_value()) << read.problem;
    if (c.bytes) {
      EXPECT_EQ(std::string(read.bytes->begin(), read.bytes->end()), *c.bytes);
      // The decoder's padding stays behind the text, zeroed.
      ASSERT_GE(read.bytes->capacity() - read.bytes->size(), kJsonReadPadding);
      const std::uint8_t* end = read.bytes->data() + read.bytes->size();
      EXPECT_EQ(std::count(end, end + kJsonReadPadding, 0), static_cast<long>(kJsonReadPadding));
      EXPECT_TRUE(read.problem.empty());
    } else {
      EXPECT_NE(read.problem.find(c.problemPart), std::string::npos) << read.problem;
      EXPECT_NE(read.problem.find(path.string()), std::string::npos) << read.problem;
    }
  }
  fs::remove_all(directory);
}

// A file holding more than its size says (procfs announces 0 bytes; a file still being written
// grows) is read to its end, the padding still behind it.
TEST(RulesFileReaderTest, ReadsPastTheAnnouncedSize) {
  const RulesFileBytes read = readRulesFileBytes("/proc/self/status", 1 << 20);
  ASSERT_TRUE(read.bytes.has_value()) << read.problem;
  const std::string text(read.bytes->begin(), read.bytes->end());
  EXPECT_TRUE(text.starts_with("Name:")) << text;
  EXPECT_NE(text.find("VmHWM:"), std::string::npos);
  EXPECT_GE(read.bytes->capacity() - read.bytes->size(), kJsonReadPadding);
  EXPECT_EQ(readRulesFileBytes("/proc/self/status", 16).error, EFBIG);
}

}  // namespace
}  // namespace quillnest
