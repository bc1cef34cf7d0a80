// `import` on any bytes as a blocklist. Whatever it keeps must be a name the filter can match as
// written, and the rules file it writes must load and pass `check` with no problem at all.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/control/blocklist_import.h"
#include "hosts/linux/control/rules_check.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  using fuzz::check;
  const std::string_view text = fuzz::text(data, size);
  const linuxhost::ImportResult result = linuxhost::importBlocklist(text);
  const std::vector<std::string> domains = result.domains().strings();

  check(result.lines <= fuzz::split(text, '\n').size(), "line count");
  check(domains.size() + result.folded + result.skippedTotal() <= size,
        "one outcome per name at most");
  check(result.internationalised <= domains.size(), "converted names are kept names");
  std::set<std::string> unique;
  for (const std::string& domain : domains) {
    check(unique.insert(domain).second, "no duplicates kept");
    const auto normalized = normalizedHost(domain);
    check(normalized && *normalized == domain, "kept names are normalised");
    check(!isIPAddressLiteral(domain), "no address kept");
    check(domain.find('.') != std::string::npos, "no single label kept");
    check(std::all_of(domain.begin(), domain.end(), [](char c) { return (c & 0x80) == 0; }),
          "kept names are A-labels");
  }

  const std::string file = linuxhost::rulesFileText(result.domains());
  check(!file.empty() && file.back() == '\n', "rules file ends with a newline");
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(file.data()),
                                            file.size());
  const DecodeResult decoded = decodeFilterRules(bytes);
  check(decoded.rules.has_value(), "written rules load");
  check(decoded.rules->isEnabled(), "written rules are enabled");
  std::vector<std::string> sorted(domains);
  std::sort(sorted.begin(), sorted.end());
  check(decoded.rules->domains() == sorted, "written rules hold exactly the kept names");
  const linuxhost::RulesCheck checked = linuxhost::checkRules(bytes);
  check(checked.loads && checked.problems.empty(), "written rules pass check");
  check(linuxhost::domainEntryLines(file).size() == domains.size(), "a line per entry");
  return 0;
}
