// Any bytes as a rules text: the decoder must not crash, must answer as the DOM decoder it
// replaced, and whatever it accepts must survive a round trip through the encoder unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "rules/filter_rules.h"
#include "tests/support/rules_json_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  const std::span<const std::uint8_t> input(data, size);
  const DecodeResult result = decodeFilterRules(input);
  if (!reference::differenceFromReference(input, result).empty()) std::abort();
  if (!result.rules) {
    if (result.error.message.empty()) std::abort();
    return 0;
  }
  const std::string encoded = encodeFilterRules(*result.rules);
  const DecodeResult again = decodeFilterRules(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
  if (!again.rules || !(*again.rules == *result.rules)) std::abort();
  if (encodeFilterRules(*again.rules) != encoded) std::abort();
  // Matching any entry against itself must not crash either, whatever bytes it holds.
  for (const std::string_view domain : result.rules->domains()) {
    (void)result.rules->matchesHost(domain);
  }
  return 0;
}
