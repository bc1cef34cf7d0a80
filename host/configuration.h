// The filter configuration the host keeps for the provider, and the settings the provider applies.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace quillnest {

using Bytes = std::vector<std::uint8_t>;

// A vendor-dictionary value of a kind the filter does not read (a nested dictionary, a date...).
struct OtherValue {
  std::string typeName;
  friend bool operator==(const OtherValue&, const OtherValue&) = default;
};

// Values of the vendor dictionary keep their kind: bytes are not strings.
using ConfigurationValue = std::variant<Bytes, std::string, std::int64_t, double, bool, OtherValue>;
using VendorConfiguration = std::map<std::string, ConfigurationValue, std::less<>>;

class NEFilterProviderConfiguration {
 public:
  NEFilterProviderConfiguration() = default;
  explicit NEFilterProviderConfiguration(std::optional<VendorConfiguration> vendor)
      : vendorConfiguration_(std::move(vendor)) {}

  const std::optional<VendorConfiguration>& vendorConfiguration() const {
    return vendorConfiguration_;
  }

 private:
  std::optional<VendorConfiguration> vendorConfiguration_;
};

using ConfigurationRef = std::shared_ptr<const NEFilterProviderConfiguration>;

// Only the default action matters to this filter; rules are kept for completeness of the form.
struct NEFilterRule {
  std::string description;
};

enum class NEFilterAction : std::int64_t {
  invalid = 0,
  allow = 1,
  drop = 2,
  remediate = 3,
  filterData = 4,
};

class NEFilterSettings {
 public:
  NEFilterSettings(std::vector<NEFilterRule> rules, NEFilterAction defaultAction)
      : rules_(std::move(rules)), defaultAction_(defaultAction) {}
  static NEFilterSettings initWithRules(std::vector<NEFilterRule> rules,
                                        NEFilterAction defaultAction) {
    return NEFilterSettings(std::move(rules), defaultAction);
  }
  const std::vector<NEFilterRule>& rules() const { return rules_; }
  NEFilterAction defaultAction() const { return defaultAction_; }

 private:
  std::vector<NEFilterRule> rules_;
  NEFilterAction defaultAction_;
};

}  // namespace quillnest
