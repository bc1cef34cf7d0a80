// The index against the plain walk. The input is split at NUL bytes: the first piece is the host,
// the rest are the list's entries, taken as they are and, a second time, normalised.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace {

void check(const quillnest::FilterRules& rules, std::string_view host) {
  if (rules.matchesHost(host) != quillnest::matchesHostByWalk(rules.domains(), host)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = input.find('\0', start);
    pieces.emplace_back(input.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  const std::string host = pieces.front();
  const std::vector<std::string> domains(pieces.begin() + 1, pieces.end());

  const FilterRules asWritten(true, domains);
  const FilterRules normalized = makeFilterRules(true, domains);
  check(asWritten, host);
  check(normalized, host);
  // Every entry, and every entry under a label, against both lists.
  for (const std::string& entry : domains) {
    check(asWritten, entry);
    check(normalized, entry);
    check(asWritten, host + "." + entry);
    check(normalized, "x." + entry);
  }

  // A normalised name is never empty and never ends with a dot. (It is not idempotent: white
  // space that stood before a trailing dot is trimmed the second time.)
  if (const std::optional<std::string> h = normalizedHost(host)) {
    if (h->empty() || h->back() == '.') std::abort();
  }
  const std::string serverName = normalizedServerName(host);
  if (!serverName.empty() && serverName.back() == '.') std::abort();
  (void)isIPAddressLiteral(host);
  return 0;
}
