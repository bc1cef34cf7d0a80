// `check` on any bytes as a rules file: it must agree with the loader on whether the file loads
// and how many entries it has, name only entries that exist, and give each a line inside the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/control/rules_check.h"
#include "rules/filter_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  using fuzz::check;
  const std::span<const std::uint8_t> input(data, size);
  const std::string_view text = fuzz::text(data, size);
  const linuxhost::RulesCheck result = linuxhost::checkRules(input);
  const DecodeResult decoded = decodeFilterRules(input);

  check(result.loads == decoded.rules.has_value(), "loads as the filter loads");
  if (!result.loads) {
    check(!result.error.empty(), "a refusal says why");
    check(result.problems.empty(), "no entry problems for a file that does not load");
    return 0;
  }
  check(result.isEnabled == decoded.rules->isEnabled(), "isEnabled");
  check(result.entryCount == decoded.rules->domains().size(), "entry count");
  const std::size_t lineCount = fuzz::split(text, '\n').size();
  std::size_t previous = 0;
  for (std::size_t i = 0; i < result.problems.size(); ++i) {
    const auto& problem = result.problems[i];
    check(problem.index < result.entryCount, "problem names an existing entry");
    check(i == 0 || problem.index > previous, "problems in entry order, once each");
    previous = problem.index;
    check(problem.entry == decoded.rules->domains()[problem.index], "problem quotes its entry");
    check(!problem.reason.empty(), "problem says why");
    check(problem.line <= lineCount, "line inside the text");
  }
  const auto lines = linuxhost::domainEntryLines(text);
  for (std::size_t line : lines)
    check(line >= 1 && line <= lineCount, "entry line inside the text");
  check(std::is_sorted(lines.begin(), lines.end()), "entry lines in order");
  return 0;
}
