// The sources file of `update` on any bytes: every source it accepts has a location without
// white space, is a path or an http(s) URL, and comes from a line inside the text in order.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/control/list_update.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest::linuxhost;
  using quillnest::fuzz::check;
  const std::string_view text = quillnest::fuzz::text(data, size);
  std::string error;
  const auto sources = parseSources(text, error);
  if (!sources) {
    check(error.starts_with("line "), "a refusal names its line");
    return 0;
  }
  const std::size_t lines = quillnest::fuzz::split(text, '\n').size();
  std::size_t previous = 0;
  for (const auto& source : *sources) {
    check(!source.location.empty(), "a location");
    check(source.location.find_first_of(" \t\r\n") == std::string::npos, "no white space");
    check(source.location.find("://") == std::string::npos || isUrl(source.location),
          "only http(s) URLs");
    check(source.line > previous && source.line <= lines, "lines in order, inside the text");
    previous = source.line;
  }
  return 0;
}
