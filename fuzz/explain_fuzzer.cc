// `explain` on any name against any list (first line: the name; the rest: one entry a line). When
// it answers, it must agree with the filter's own match, and every entry it names must cover the
// host it judged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/control/explain.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  using quillnest::fuzz::check;
  const auto lines = fuzz::split(fuzz::text(data, size), '\n');
  const std::string_view name = lines.front();
  std::vector<std::string> entries(lines.begin() + 1, lines.end());
  if (!entries.empty() && entries.back().empty()) entries.pop_back();  // a final newline
  const FilterRules rules(true, entries);
  std::string error;
  const auto explanation = linuxhost::explainName(rules, {}, name, error);
  if (!explanation) {
    check(!error.empty(), "a refusal says why");
    return 0;
  }
  check(normalizedHost(explanation->host) == explanation->host, "the host is normalised");
  check(explanation->matches == rules.matchesHost(explanation->host), "agrees with matchesHost");
  check(explanation->matches == !explanation->covering.empty(), "a match names its entry");
  for (const auto& covering : explanation->covering) {
    check(covering.position >= 1 && covering.position <= entries.size(), "an existing entry");
    const std::string& entry = entries[covering.position - 1];
    check(covering.entry == entry, "quotes its entry");
    check(explanation->host == entry || explanation->host.ends_with("." + entry), "covers");
  }
  const std::string json = linuxhost::encodeExplanation(*explanation);
  check(json.front() == '{' && json.back() == '}', "one JSON object");
  return 0;
}
