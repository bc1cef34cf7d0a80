// The index against the plain walk. The input is split at NUL bytes: the first piece is the host,
// the rest are the list's entries, taken as they are and, a second time, normalised.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace {

using quillnest::fuzz::check;

void check(const quillnest::FilterRules& rules, std::string_view host) {
  check(rules.matchesHost(host) == quillnest::matchesHostByWalk(rules.domains(), host),
        "the index and the walk differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  const auto pieces = fuzz::split(fuzz::text(data, size), '\0');
  const std::string host(pieces.front());
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
    check(!h->empty() && h->back() != '.', "a normalised name");
  }
  const std::string serverName = normalizedServerName(host);
  check(serverName.empty() || serverName.back() != '.', "a normalised server name");
  (void)isIPAddressLiteral(host);
  return 0;
}
