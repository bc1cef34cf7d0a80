// Any bytes as a rules text: the decoder must not crash, must answer as the DOM decoder it
// replaced, and whatever it accepts must survive a round trip through the encoder unchanged.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "rules/filter_rules.h"
#include "tests/support/rules_json_reference.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  using fuzz::check;
  const std::span<const std::uint8_t> input(data, size);
  const DecodeResult result = decodeFilterRules(input);
  check(reference::differenceFromReference(input, result).empty(), "differs from the reference");
  if (!result.rules) {
    check(!result.error.message.empty(), "a refusal says why");
    return 0;
  }
  const std::string encoded = encodeFilterRules(*result.rules);
  const DecodeResult again = decodeFilterRules(std::span<const std::uint8_t>(
      reinterpret_cast<const std::uint8_t*>(encoded.data()), encoded.size()));
  check(again.rules && *again.rules == *result.rules, "round trip");
  check(encodeFilterRules(*again.rules) == encoded, "encoding is stable");
  // Matching any entry against itself must not crash either, whatever bytes it holds.
  for (const std::string_view domain : result.rules->domains()) {
    (void)result.rules->matchesHost(domain);
  }
  return 0;
}
