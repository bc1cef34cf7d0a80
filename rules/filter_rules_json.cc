// The JSON form of FilterRules: strict decoding with simdjson, and the encoder.
#include <simdjson.h>
#include <utf8proc.h>

#include <initializer_list>
#include <string>

#include "rules/filter_rules.h"
#include "rules/json_text.h"

namespace quillnest {
namespace {

std::string_view typeName(simdjson::dom::element_type type) {
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

// Joins the pieces of a message. (Chains of std::string operator+ trip a false -Wrestrict in
// GCC 12 at -O3.)
DecodeResult failure(std::initializer_list<std::string_view> pieces) {
  std::string message;
  for (const std::string_view piece : pieces) message.append(piece);
  return DecodeResult{std::nullopt, {std::move(message)}};
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      utf8proc_int32_t cp = -1;
      const utf8proc_ssize_t n =
          utf8proc_iterate(bytes + i, static_cast<utf8proc_ssize_t>(text.size() - i), &cp);
      if (n > 0) {
        out.append(text.substr(i, static_cast<std::size_t>(n)));
        i += static_cast<std::size_t>(n);
      } else {
        // JSON text is UTF-8; a malformed byte is written as U+FFFD rather than making the
        // output unreadable.
        out.append("\xEF\xBF\xBD");
        ++i;
      }
      continue;
    }
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

DecodeResult decodeFilterRules(std::span<const std::uint8_t> json) {
  if (json.empty()) return failure({"the rules text is empty"});
  // A parser of its own per call: decoding keeps nothing between calls and may run on any thread.
  simdjson::dom::parser parser;
  simdjson::dom::element document;
  // Parsing validates the whole text, UTF-8 included, before anything is read from it.
  if (const simdjson::error_code error = parser.parse(json.data(), json.size()).get(document)) {
    return failure({"the rules text is not valid JSON: ", simdjson::error_message(error)});
  }
  simdjson::dom::object object;
  if (document.get(object) != simdjson::SUCCESS) {
    return failure({"the rules text is ", typeName(document.type()), ", not a JSON object"});
  }

  std::optional<simdjson::dom::element> isEnabledValue;
  std::optional<simdjson::dom::element> domainsValue;
  for (const simdjson::dom::key_value_pair field : object) {
    const std::optional<FilterRules::CodingKeys> key = FilterRules::codingKey(field.key);
    if (!key) continue;
    std::optional<simdjson::dom::element>& slot =
        *key == FilterRules::CodingKeys::isEnabled ? isEnabledValue : domainsValue;
    // Which of two values would win is parser lore; refusing both leaves no doubt.
    if (slot) return failure({"key \"", field.key, "\" appears more than once"});
    slot = field.value;
  }

  const std::string_view isEnabledKey =
      FilterRules::stringValue(FilterRules::CodingKeys::isEnabled);
  const std::string_view domainsKey = FilterRules::stringValue(FilterRules::CodingKeys::domains);
  if (!isEnabledValue) return failure({"key \"", isEnabledKey, "\" is missing"});
  bool isEnabled = false;
  if (isEnabledValue->get(isEnabled) != simdjson::SUCCESS) {
    return failure(
        {"\"", isEnabledKey, "\" is ", typeName(isEnabledValue->type()), ", not true or false"});
  }
  if (!domainsValue) return failure({"key \"", domainsKey, "\" is missing"});
  simdjson::dom::array array;
  if (domainsValue->get(array) != simdjson::SUCCESS) {
    return failure(
        {"\"", domainsKey, "\" is ", typeName(domainsValue->type()), ", not an array of strings"});
  }

  std::vector<std::string> domains;
  domains.reserve(array.size());
  std::size_t index = 0;
  for (const simdjson::dom::element element : array) {
    std::string_view text;
    if (element.get(text) != simdjson::SUCCESS) {
      return failure({"\"", domainsKey, "\" element ", std::to_string(index), " is ",
                      typeName(element.type()), ", not a string"});
    }
    // Escapes such as an unpaired surrogate must not smuggle malformed UTF-8 into the list.
    if (!simdjson::validate_utf8(text.data(), text.size())) {
      return failure({"\"", domainsKey, "\" element ", std::to_string(index),
                      " is not valid UTF-8 once its escapes are decoded"});
    }
    domains.emplace_back(text);
    ++index;
  }
  return DecodeResult{FilterRules(isEnabled, std::move(domains)), {}};
}

std::string encodeFilterRules(const FilterRules& rules) {
  std::string out;
  std::size_t size = 40;
  for (const std::string& domain : rules.domains()) size += domain.size() + 3;
  out.reserve(size);
  out.append("{\"");
  out.append(FilterRules::stringValue(FilterRules::CodingKeys::isEnabled));
  out.append(rules.isEnabled() ? "\":true,\"" : "\":false,\"");
  out.append(FilterRules::stringValue(FilterRules::CodingKeys::domains));
  out.append("\":[");
  bool first = true;
  for (const std::string& domain : rules.domains()) {
    if (!first) out.push_back(',');
    first = false;
    appendJsonString(out, domain);
  }
  out.append("]}");
  return out;
}

}  // namespace quillnest
