// The rules decoder as it was first written, on simdjson's DOM parser: the reference the
// streaming decoder is held to (same records, same rejections, same messages but for the
// parser's own wording of why a text is not JSON). Header-only, for tests and fuzzers.
#pragma once

#include <simdjson.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "rules/filter_rules.h"

namespace quillnest::reference {

inline std::string_view domTypeName(simdjson::dom::element_type type) {
  using simdjson::dom::element_type;
  switch (type) {
    case element_type::ARRAY:
      return "an array";
    case element_type::OBJECT:
      return "an object";
    case element_type::INT64:
    case element_type::UINT64:
    case element_type::DOUBLE:
      return "a number";
    case element_type::STRING:
      return "a string";
    case element_type::BOOL:
      return "a boolean";
    case element_type::NULL_VALUE:
      return "null";
  }
  return "an unknown value";
}

inline DecodeResult decodeWithDom(std::span<const std::uint8_t> json) {
  const auto fail = [](std::string message) { return DecodeResult{std::nullopt, {message}}; };
  if (json.empty()) return fail("the rules text is empty");
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  if (const auto error = parser.parse(json.data(), json.size()).get(document)) {
    return fail(std::string("the rules text is not valid JSON: ") + simdjson::error_message(error));
  }
  simdjson::dom::object object;
  if (document.get(object) != simdjson::SUCCESS) {
    return fail("the rules text is " + std::string(domTypeName(document.type())) +
                ", not a JSON object");
  }
  std::optional<simdjson::dom::element> isEnabledValue;
  std::optional<simdjson::dom::element> domainsValue;
  for (const simdjson::dom::key_value_pair field : object) {
    const auto key = FilterRules::codingKey(field.key);
    if (!key) continue;
    auto& slot = *key == FilterRules::CodingKeys::isEnabled ? isEnabledValue : domainsValue;
    if (slot) return fail("key \"" + std::string(field.key) + "\" appears more than once");
    slot = field.value;
  }
  if (!isEnabledValue) return fail("key \"isEnabled\" is missing");
  bool isEnabled = false;
  if (isEnabledValue->get(isEnabled) != simdjson::SUCCESS) {
    return fail("\"isEnabled\" is " + std::string(domTypeName(isEnabledValue->type())) +
                ", not true or false");
  }
  if (!domainsValue) return fail("key \"domains\" is missing");
  simdjson::dom::array array;
  if (domainsValue->get(array) != simdjson::SUCCESS) {
    return fail("\"domains\" is " + std::string(domTypeName(domainsValue->type())) +
                ", not an array of strings");
  }
  std::vector<std::string> domains;
  std::size_t index = 0;
  for (const simdjson::dom::element element : array) {
    std::string_view text;
    if (element.get(text) != simdjson::SUCCESS) {
      return fail("\"domains\" element " + std::to_string(index) + " is " +
                  std::string(domTypeName(element.type())) + ", not a string");
    }
    if (!simdjson::validate_utf8(text.data(), text.size())) {
      return fail("\"domains\" element " + std::to_string(index) +
                  " is not valid UTF-8 once its escapes are decoded");
    }
    domains.emplace_back(text);
    ++index;
  }
  return DecodeResult{FilterRules(isEnabled, std::move(domains)), {}};
}

// Empty when both decoders give the same answer, else what differs.
inline std::string differenceFromReference(std::span<const std::uint8_t> json,
                                           const DecodeResult& result) {
  const DecodeResult expected = decodeWithDom(json);
  if (expected.rules.has_value() != result.rules.has_value()) {
    return expected.rules ? "rejected what the reference accepts: " + result.error.message
                          : "accepted what the reference rejects: " + expected.error.message;
  }
  if (expected.rules) return *expected.rules == *result.rules ? "" : "another record";
  constexpr std::string_view kNotJson = "the rules text is not valid JSON: ";
  if (expected.error.message.starts_with(kNotJson)) {
    return result.error.message.starts_with(kNotJson)
               ? ""
               : "not called invalid JSON: " + result.error.message;
  }
  return expected.error.message == result.error.message
             ? ""
             : "message [" + result.error.message + "] instead of [" + expected.error.message + "]";
}

}  // namespace quillnest::reference
