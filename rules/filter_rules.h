// The rules record: a switch and the list of blocked domains.
//
// A FilterRules is a plain value. Its domain list lives in a shared, immutable object (one block
// of text, the entries' offsets and the index), so copying a record (the rules snapshot every
// decision takes under the provider's lock) copies a bool and a reference count, never the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rules/domain_list.h"

namespace quillnest {

class FilterRules {
 public:
  // The two JSON keys of the record.
  enum class CodingKeys { isEnabled, domains };
  static std::string_view stringValue(CodingKeys key);
  static std::optional<CodingKeys> codingKey(std::string_view stringValue);

  // Stores the list exactly as given: no trimming, case change, de-duplication or sorting.
  FilterRules(bool isEnabled, std::vector<std::string> domains);
  // A record over a list already built (the decoder lays entries out itself). The list first:
  // with the flag first, FilterRules(false, {}) would be ambiguous.
  FilterRules(std::shared_ptr<const DomainList> list, bool isEnabled);

  // Blocking off with no domains; one value per process, built on first use.
  static const FilterRules& disabled();

  bool isEnabled() const { return isEnabled_; }
  // The entries in stored order; the views stay valid while this record or a copy of it lives.
  DomainEntries domains() const;

  // True when host, normalised, equals an entry or ends with "." followed by one. Ignores
  // isEnabled.
  bool matchesHost(std::string_view host) const;

  // Same length, equal strings at every position, same switch.
  friend bool operator==(const FilterRules& a, const FilterRules& b);

  // The shared list object; equal for a record and its copies.
  const DomainList* storage() const { return list_.get(); }
  std::shared_ptr<const DomainList> sharedStorage() const { return list_; }

 private:
  bool isEnabled_;
  std::shared_ptr<const DomainList> list_;
};

// The normalising constructor: domains become normalizedDomains(domains).
FilterRules makeFilterRules(bool isEnabled, const std::vector<std::string>& domains);

// Why a JSON text did not decode; the text is for people (the check command), never logged by
// the filter itself.
struct DecodingError {
  std::string message;
};

struct DecodeResult {
  std::optional<FilterRules> rules;  // present on success
  DecodingError error;               // meaningful when rules is absent
};

// The bytes a JSON text must be followed by (readable, any value) to be decoded where it lies.
inline constexpr std::size_t kJsonReadPadding = 64;

// What a caller other than the filter may want from a decoding.
struct DecodeOptions {
  // Big lists get their index built on a second thread while they are decoded: quicker, but the
  // index then lives beside the parser's buffers, which raises the peak.
  bool indexAlongside = false;
  // When set, receives where each entry stands in the text: the offset just past its opening
  // quote. Left empty for a text of 4 GiB or more.
  std::vector<std::uint32_t>* entryOffsets = nullptr;
  // When set, called once all entries are decoded and valid, on the decoding thread, while the
  // index may still be in the making: for a caller's work that needs only the entries.
  std::function<void(DomainEntries)> whileIndexing = nullptr;
};

// Strict decoding of {"isEnabled": bool, "domains": [string...]}; other keys are ignored. When
// fewer than kJsonReadPadding bytes past the end may be read, the text is first copied.
DecodeResult decodeFilterRules(std::span<const std::uint8_t> json, std::size_t readablePastEnd = 0,
                               const DecodeOptions& options = {});
// Bytes whose spare capacity serves as that padding (as the rules-file reader leaves it).
DecodeResult decodeFilterRules(const std::vector<std::uint8_t>& json);
// {"isEnabled":...,"domains":[...]} with both keys always present, in that order.
std::string encodeFilterRules(const FilterRules& rules);

}  // namespace quillnest
