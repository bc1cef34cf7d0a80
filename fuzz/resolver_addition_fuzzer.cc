// The resolver names added to any bytes as a rules text: a text that did not load still does not,
// rules that are off are left as they were, and rules that block keep their entries in order with
// the names added after them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/dns/encrypted_dns.h"
#include "rules/filter_rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest;
  using quillnest::fuzz::check;
  static const std::vector<std::string> names{"dns.google", "dns.quad9.net"};
  const Bytes before(data, data + size);
  Bytes after = before;
  const std::size_t added = linuxhost::dns::addBlockedResolvers(after, names);
  const DecodeResult was = decodeFilterRules(before);
  const DecodeResult is = decodeFilterRules(after);
  check(was.rules.has_value() == is.rules.has_value(), "loads as it did");
  if (!was.rules) return 0;  // names may be added to its top level; it still does not load
  if (!was.rules->isEnabled()) {
    check(added == 0 && after == before, "nothing added to rules that do not block");
    return 0;
  }
  const DomainEntries old = was.rules->domains();
  const DomainEntries now = is.rules->domains();
  check(is.rules->isEnabled(), "still blocking");
  check(now.size() == old.size() + added, "added as counted");
  check(std::equal(old.begin(), old.end(), now.begin()), "the entries first, as they were");
  for (const std::string& name : names) {
    check(std::find(now.begin(), now.end(), name) != now.end() || is.rules->matchesHost(name),
          "every name blocked");
  }
  return 0;
}
