#include "rules/filter_rules.h"

#include "rules/domain_list.h"
#include "rules/normalization.h"

namespace quillnest {
namespace {

// True when host needs no normalising: ASCII, no upper case, no white space at either end, no
// trailing dot. Spares the copy for the names that flows normally carry.
bool isAlreadyNormalized(std::string_view host) {
  if (host.empty() || host.back() == '.') return false;
  for (const char c : host) {
    if ((static_cast<unsigned char>(c) & 0x80) != 0 || (c >= 'A' && c <= 'Z')) return false;
  }
  const auto isSpace = [](char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); };
  return !isSpace(host.front()) && !isSpace(host.back());
}

}  // namespace

std::string_view FilterRules::stringValue(CodingKeys key) {
  switch (key) {
    case CodingKeys::isEnabled:
      return "isEnabled";
    case CodingKeys::domains:
      return "domains";
  }
  return {};
}

std::optional<FilterRules::CodingKeys> FilterRules::codingKey(std::string_view stringValue) {
  if (stringValue == "isEnabled") return CodingKeys::isEnabled;
  if (stringValue == "domains") return CodingKeys::domains;
  return std::nullopt;
}

FilterRules::FilterRules(bool isEnabled, std::vector<std::string> domains)
    : isEnabled_(isEnabled), list_(std::make_shared<const DomainList>(domains)) {}

FilterRules::FilterRules(std::shared_ptr<const DomainList> list, bool isEnabled)
    : isEnabled_(isEnabled), list_(std::move(list)) {}

const FilterRules& FilterRules::disabled() {
  // A function-local static: initialised once, thread-safe, never destroyed before its users.
  static const FilterRules value = makeFilterRules(false, {});
  return value;
}

DomainEntries FilterRules::domains() const { return list_->domains(); }

bool FilterRules::matchesHost(std::string_view host) const {
  if (isAlreadyNormalized(host)) return list_->matchesNormalizedHost(host);
  const std::optional<std::string> h = normalizedHost(host);
  return h && list_->matchesNormalizedHost(*h);
}

bool operator==(const FilterRules& a, const FilterRules& b) {
  if (a.isEnabled_ != b.isEnabled_) return false;
  if (a.list_ == b.list_) return true;
  return a.list_->domains() == b.list_->domains();
}

FilterRules makeFilterRules(bool isEnabled, const std::vector<std::string>& domains) {
  return FilterRules(std::make_shared<const DomainList>(normalizedDomains(domains)), isEnabled);
}

}  // namespace quillnest
