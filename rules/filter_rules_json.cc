// The JSON form of FilterRules: strict decoding with simdjson On-Demand, and the encoder.
#include <simdjson.h>
#include <utf8proc.h>

#include <algorithm>
#include <initializer_list>
#include <limits>
#include <optional>
#include <string>

#include "rules/domain_list.h"
#include "rules/filter_rules.h"
#include "rules/json_text.h"
#include "rules/large_buffer.h"

namespace quillnest {
namespace {

static_assert(kJsonReadPadding >= simdjson::SIMDJSON_PADDING);

// Containers may nest this deep, the root counting as one (the DOM parser's limit, kept).
constexpr std::size_t kMaxDepth = 1024;

// Joins the pieces of a message. (Chains of std::string operator+ trip a false -Wrestrict in
// GCC 12 at -O3.)
DecodeResult failure(std::initializer_list<std::string_view> pieces) {
  std::string message;
  for (const std::string_view piece : pieces) message.append(piece);
  return DecodeResult{std::nullopt, {std::move(message)}};
}

namespace od = simdjson::ondemand;

std::string_view typeName(od::json_type type) {
  switch (type) {
    case od::json_type::array:
      return "an array";
    case od::json_type::object:
      return "an object";
    case od::json_type::number:
      return "a number";
    case od::json_type::string:
      return "a string";
    case od::json_type::boolean:
      return "a boolean";
    case od::json_type::null:
      return "null";
  }
  return "an unknown value";
}

// One pass over the text. The whole text is validated, values under unknown keys included, and
// an invalid text is reported as such whatever else is wrong with it, so problems of the record
// (a missing key, a wrong type) are noted on the way and reported only at the end. Entries are
// unescaped straight into one block of text.
// The document with its end in sight, to tell trailing content.
class Document : public od::document {
 public:
  // A reader that met an error abandons the iterator, and its end is then out of reach.
  bool alive() const { return iter.is_alive(); }
  bool atEnd() const { return iter.at_end(); }
};

// How simdjson reads token (a number) as the element of an array.
simdjson::error_code numberAsElement(std::string_view token) {
  token = token.substr(0, token.find_last_not_of(" \t\n\r") + 1);
  const simdjson::padded_string wrapped("[" + std::string(token) + "]");
  od::parser parser;
  od::document document;
  od::array array;
  if (const auto error = parser.iterate(wrapped).get(document)) return error;
  if (const auto error = document.get_array().get(array)) return error;
  for (auto element : array) {
    od::number number;
    return element.get_number().get(number);
  }
  return simdjson::NUMBER_ERROR;
}

class Decoder {
 public:
  Decoder(const std::uint8_t* json, std::size_t size, std::size_t capacity,
          const DecodeOptions& options)
      : json_(json), size_(size), capacity_(capacity), options_(options) {}

  DecodeResult run();

 private:
  bool invalid(simdjson::error_code error) {
    if (jsonError_ == simdjson::SUCCESS) jsonError_ = error;
    return false;
  }
  bool validate(od::value value, std::size_t depth);
  bool readField(od::field field);
  bool readDomains(od::value value);
  void noteProblem(std::optional<std::string>& slot, std::initializer_list<std::string_view> p) {
    if (slot) return;
    slot.emplace();
    for (const std::string_view piece : p) slot->append(piece);
  }

  const std::uint8_t* json_;
  std::size_t size_;
  std::size_t capacity_;
  const DecodeOptions& options_;
  std::optional<od::parser> parser_;
  simdjson::error_code jsonError_ = simdjson::SUCCESS;

  bool sawIsEnabled_ = false;
  bool sawDomains_ = false;
  bool isEnabled_ = false;
  std::optional<std::string> duplicateKey_;
  std::optional<std::string> isEnabledProblem_;
  std::optional<std::string> domainsProblem_;
  std::optional<std::string> elementProblem_;

  EntryText text_;
  std::vector<std::uint32_t> bounds_;
  // After the blocks it reads, so that it stops before they go.
  std::optional<IndexBuiltAlongside> index_;
};

// Reads a value of no interest to the record to its end, so that a malformed one is still found.
bool Decoder::validate(od::value value, std::size_t depth) {
  od::json_type type{};
  if (const auto error = value.type().get(type)) return invalid(error);
  switch (type) {
    case od::json_type::object: {
      if (depth + 1 > kMaxDepth) return invalid(simdjson::DEPTH_ERROR);
      od::object object;
      if (const auto error = value.get_object().get(object)) return invalid(error);
      for (auto result : object) {
        od::field field;
        std::string_view key;
        if (const auto error = std::move(result).get(field)) return invalid(error);
        if (const auto error = field.unescaped_key().get(key)) return invalid(error);
        if (!validate(field.value(), depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::array: {
      if (depth + 1 > kMaxDepth) return invalid(simdjson::DEPTH_ERROR);
      od::array array;
      if (const auto error = value.get_array().get(array)) return invalid(error);
      for (auto result : array) {
        od::value element;
        if (const auto error = std::move(result).get(element)) return invalid(error);
        if (!validate(element, depth + 1)) return false;
      }
      return true;
    }
    case od::json_type::string: {
      std::string_view text;
      if (const auto error = value.get_string().get(text)) return invalid(error);
      return true;
    }
    case od::json_type::number: {
      od::number number;
      if (const auto error = value.get_number().get(number)) return invalid(error);
      return true;
    }
    case od::json_type::boolean: {
      bool flag = false;
      if (const auto error = value.get_bool().get(flag)) return invalid(error);
      return true;
    }
    case od::json_type::null: {
      bool isNull = false;
      if (const auto error = value.is_null().get(isNull)) return invalid(error);
      return isNull || invalid(simdjson::N_ATOM_ERROR);
    }
  }
  return invalid(simdjson::TAPE_ERROR);
}

bool Decoder::readField(od::field field) {
  std::string_view key;
  if (const auto error = field.unescaped_key().get(key)) return invalid(error);
  const std::optional<FilterRules::CodingKeys> codingKey = FilterRules::codingKey(key);
  od::value value = field.value();
  if (!codingKey) return validate(value, 1);
  bool& seen = *codingKey == FilterRules::CodingKeys::isEnabled ? sawIsEnabled_ : sawDomains_;
  // Which of two values would win is parser lore; refusing both leaves no doubt.
  if (seen) {
    noteProblem(duplicateKey_, {"key \"", key, "\" appears more than once"});
    return validate(value, 1);
  }
  seen = true;
  od::json_type type{};
  if (const auto error = value.type().get(type)) return invalid(error);
  if (*codingKey == FilterRules::CodingKeys::isEnabled) {
    if (type != od::json_type::boolean) {
      noteProblem(isEnabledProblem_, {"\"", key, "\" is ", typeName(type), ", not true or false"});
      return validate(value, 1);
    }
    if (const auto error = value.get_bool().get(isEnabled_)) return invalid(error);
    return true;
  }
  if (type != od::json_type::array) {
    noteProblem(domainsProblem_,
                {"\"", key, "\" is ", typeName(type), ", not an array of strings"});
    return validate(value, 1);
  }
  return readDomains(value);
}

bool Decoder::readDomains(od::value value) {
  od::array array;
  if (const auto error = value.get_array().get(array)) return invalid(error);
  std::size_t count = 0;
  // Only a hint for the offsets' size: an array that cannot be counted fails below.
  if (array.count_elements().get(count) != simdjson::SUCCESS) count = 0;
  bounds_.reserve(count + 1);
  adviseHugePages(bounds_.data(), bounds_.capacity() * sizeof(std::uint32_t));
  bounds_.push_back(0);
  // Unescaping never lengthens a string, and the unescaper may write a block past the end of one.
  text_ = EntryText(size_ + simdjson::SIMDJSON_PADDING);
  auto* const start = reinterpret_cast<std::uint8_t*>(text_.data());
  std::uint8_t* end = start;
  std::vector<std::uint32_t>* const offsets =
      size_ <= std::numeric_limits<std::uint32_t>::max() ? options_.entryOffsets : nullptr;
  if (options_.entryOffsets != nullptr) options_.entryOffsets->clear();
  if (offsets != nullptr) {
    offsets->reserve(count);
    adviseHugePages(offsets->data(), offsets->capacity() * sizeof(std::uint32_t));
  }
  std::optional<PagesMadeAhead> textPages;
  if (options_.indexAlongside && count >= IndexBuiltAlongside::kWorthFrom) {
    try {
      index_.emplace(text_.data(), bounds_.data(), count);
      // The index leaves its core idle at times; the text's pages are made there meanwhile.
      textPages.emplace(text_.data(), size_);
    } catch (const std::bad_alloc&) {
      // Built once the list is complete instead.
    }
  }
  constexpr std::size_t kCompleteEvery = 16384;  // entries
  std::size_t index = 0;
  const std::string_view domainsKey = FilterRules::stringValue(FilterRules::CodingKeys::domains);
  for (auto result : array) {
    od::value element;
    if (const auto error = std::move(result).get(element)) return invalid(error);
    if (elementProblem_) {
      if (!validate(element, 2)) return false;
      continue;
    }
    od::raw_json_string raw;
    if (element.get_raw_json_string().get(raw) != simdjson::SUCCESS) {
      od::json_type type{};
      if (const auto error = element.type().get(type)) return invalid(error);
      noteProblem(elementProblem_, {"\"", domainsKey, "\" element ", std::to_string(index), " is ",
                                    typeName(type), ", not a string"});
      if (!validate(element, 2)) return false;
      continue;
    }
    std::string_view entry;
    if (const auto error = parser_->unescape(raw, end).get(entry)) return invalid(error);
    bounds_.push_back(static_cast<std::uint32_t>(end - start));
    if (offsets != nullptr) {
      offsets->push_back(
          static_cast<std::uint32_t>(reinterpret_cast<const std::uint8_t*>(raw.raw()) - json_));
    }
    ++index;
    if (index_ && index % kCompleteEvery == 0) index_->complete(index);
  }
  if (index_) index_->complete(index);
  return true;
}

DecodeResult Decoder::run() {
  parser_.emplace();
  // Deep enough that the limit below is always ours to report.
  if (const auto error = parser_->allocate(size_, kMaxDepth + 2)) {
    return failure({"the rules text is not valid JSON: ", simdjson::error_message(error)});
  }
  Document document;
  if (const auto error = parser_->iterate(simdjson::padded_string_view(json_, size_, capacity_))
                             .get(static_cast<od::document&>(document))) {
    return failure({"the rules text is not valid JSON: ", simdjson::error_message(error)});
  }
  od::json_type rootType{};
  bool lonelyAtom = false;
  if (const auto error = document.type().get(rootType)) {
    invalid(error);
  } else if (rootType == od::json_type::object) {
    od::object object;
    if (const auto error = document.get_object().get(object)) {
      invalid(error);
    } else {
      for (auto result : object) {
        od::field field;
        if (const auto error = std::move(result).get(field)) {
          invalid(error);
          break;
        }
        if (!readField(field)) break;
      }
    }
  } else if (rootType == od::json_type::array) {
    od::array array;
    if (const auto error = document.get_array().get(array)) {
      invalid(error);
    } else {
      for (auto result : array) {
        od::value element;
        if (const auto error = std::move(result).get(element)) {
          invalid(error);
          break;
        }
        if (!validate(element, 1)) break;
      }
    }
  } else if (rootType == od::json_type::string) {
    std::string_view text;
    if (const auto error = document.get_string().get(text)) invalid(error);
  } else if (rootType == od::json_type::number) {
    std::string_view token;
    od::number number;
    if (const auto error = document.raw_json_token().get(token)) {
      invalid(error);
    } else if (auto error = document.get_number().get(number)) {
      // A number at the root is copied to a buffer of bounded length first, so a long one that
      // reads fine anywhere else fails there: it is read again as an array's element.
      if (error == simdjson::NUMBER_ERROR) error = numberAsElement(token);
      if (error != simdjson::SUCCESS) {
        invalid(error);
      } else if (reinterpret_cast<const std::uint8_t*>(token.data() + token.size()) !=
                 json_ + size_) {
        invalid(simdjson::TRAILING_CONTENT);
      } else {
        lonelyAtom = true;  // read by its token, like the atoms below
      }
    }
  } else {
    // A lone atom: the root readers accept "falsey" as false, so the token is compared whole.
    std::string_view token;
    if (const auto error = document.raw_json_token().get(token)) {
      invalid(error);
    } else if (reinterpret_cast<const std::uint8_t*>(token.data() + token.size()) !=
               json_ + size_) {
      invalid(simdjson::TRAILING_CONTENT);
    } else {
      lonelyAtom = true;
      token = token.substr(0, token.find_last_not_of(" \t\n\r") + 1);
      const bool isBoolean = rootType == od::json_type::boolean;
      if (isBoolean ? token != "true" && token != "false" : token != "null") {
        invalid(isBoolean ? simdjson::T_ATOM_ERROR : simdjson::N_ATOM_ERROR);
      }
    }
  }
  if (jsonError_ == simdjson::SUCCESS && !lonelyAtom) {
    if (!document.alive()) {
      invalid(simdjson::TAPE_ERROR);
    } else if (!document.atEnd()) {
      invalid(simdjson::TRAILING_CONTENT);
    }
  }
  // The parser's buffers go before the index is built.
  parser_.reset();

  if (jsonError_ != simdjson::SUCCESS) {
    return failure({"the rules text is not valid JSON: ", simdjson::error_message(jsonError_)});
  }
  if (rootType != od::json_type::object) {
    return failure({"the rules text is ", typeName(rootType), ", not a JSON object"});
  }
  if (duplicateKey_) return DecodeResult{std::nullopt, {std::move(*duplicateKey_)}};
  const std::string_view isEnabledKey =
      FilterRules::stringValue(FilterRules::CodingKeys::isEnabled);
  const std::string_view domainsKey = FilterRules::stringValue(FilterRules::CodingKeys::domains);
  if (!sawIsEnabled_) return failure({"key \"", isEnabledKey, "\" is missing"});
  if (isEnabledProblem_) return DecodeResult{std::nullopt, {std::move(*isEnabledProblem_)}};
  if (!sawDomains_) return failure({"key \"", domainsKey, "\" is missing"});
  if (domainsProblem_) return DecodeResult{std::nullopt, {std::move(*domainsProblem_)}};

  // The text was valid UTF-8, so only an escape can have made an entry invalid; one pass over
  // the block tells, and only then are entries looked at one by one.
  const std::size_t textSize = bounds_.back();
  if (!simdjson::validate_utf8(text_.data(), textSize)) {
    for (std::size_t i = 0; i + 1 < bounds_.size(); ++i) {
      if (!simdjson::validate_utf8(text_.data() + bounds_[i], bounds_[i + 1] - bounds_[i])) {
        // Escapes such as an unpaired surrogate must not smuggle malformed UTF-8 into the list.
        return failure({"\"", domainsKey, "\" element ", std::to_string(i),
                        " is not valid UTF-8 once its escapes are decoded"});
      }
    }
  }
  if (elementProblem_) return DecodeResult{std::nullopt, {std::move(*elementProblem_)}};

  if (options_.whileIndexing) {
    options_.whileIndexing(DomainEntries(text_.data(), bounds_.data(), bounds_.size() - 1));
  }
  std::optional<DomainIndex> built;
  if (index_) built = index_->finish();
  index_.reset();
  text_.shrinkTo(textSize);
  if (bounds_.capacity() > bounds_.size() + bounds_.size() / 8) bounds_.shrink_to_fit();
  return DecodeResult{FilterRules(std::make_shared<const DomainList>(
                                      std::move(text_), std::move(bounds_), std::move(built)),
                                  isEnabled_),
                      {}};
}

// A text saved by an editor in another encoding, or with a byte-order mark, looks right on screen
// and fails as "not valid JSON"; it is named instead.
std::optional<DecodeResult> wrongEncoding(std::span<const std::uint8_t> json) {
  const auto startsWith = [json](std::initializer_list<std::uint8_t> bytes) {
    return json.size() >= bytes.size() && std::equal(bytes.begin(), bytes.end(), json.begin());
  };
  if (startsWith({0xEF, 0xBB, 0xBF})) {
    return failure(
        {"the rules text is not valid JSON: it starts with a byte-order mark "
         "(EF BB BF); save it as UTF-8 without one"});
  }
  // Without a mark: a JSON text's first character is ASCII, so the other bytes of its unit are 0.
  const auto opens = [json](std::size_t at) {
    const std::uint8_t c = json[at];
    return c == '{' || c == '[' || c == ' ' || c == '\t' || c == '\n' || c == '\r';
  };
  const auto zero = [json](std::size_t from, std::size_t to) {
    return std::all_of(json.begin() + from, json.begin() + to,
                       [](std::uint8_t b) { return b == 0; });
  };
  const char* encoding = nullptr;
  if (startsWith({0xFF, 0xFE, 0, 0}) || startsWith({0, 0, 0xFE, 0xFF}) ||
      (json.size() >= 4 && ((opens(0) && zero(1, 4)) || (zero(0, 3) && opens(3))))) {
    encoding = "UTF-32";
  } else if (startsWith({0xFF, 0xFE}) || startsWith({0xFE, 0xFF}) ||
             (json.size() >= 2 && ((opens(0) && json[1] == 0) || (json[0] == 0 && opens(1))))) {
    encoding = "UTF-16";
  }
  if (encoding == nullptr) return std::nullopt;
  return failure(
      {"the rules text is not valid JSON: it is ", encoding, ", not UTF-8; save it as UTF-8"});
}

}  // namespace

void appendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  std::size_t i = 0;
  while (i < text.size()) {
    // Most text needs no escape: copy it a run at a time.
    std::size_t plain = i;
    while (plain < text.size()) {
      const auto b = static_cast<unsigned char>(text[plain]);
      if (b < 0x20 || b >= 0x80 || b == '"' || b == '\\') break;
      ++plain;
    }
    if (plain != i) {
      out.append(text.substr(i, plain - i));
      i = plain;
      continue;
    }
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
      default:  // the other control characters
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0xF]);
    }
    ++i;
  }
  out.push_back('"');
}

DecodeResult decodeFilterRules(std::span<const std::uint8_t> json, std::size_t readablePastEnd,
                               const DecodeOptions& options) {
  if (json.empty()) return failure({"the rules text is empty"});
  if (auto wrong = wrongEncoding(json)) return std::move(*wrong);
  if (readablePastEnd < simdjson::SIMDJSON_PADDING) {
    // The parser reads a little past the end of the text.
    const simdjson::padded_string padded(reinterpret_cast<const char*>(json.data()), json.size());
    return Decoder(reinterpret_cast<const std::uint8_t*>(padded.data()), padded.size(),
                   padded.size() + simdjson::SIMDJSON_PADDING, options)
        .run();
  }
  return Decoder(json.data(), json.size(), json.size() + readablePastEnd, options).run();
}

DecodeResult decodeFilterRules(const std::vector<std::uint8_t>& json) {
  return decodeFilterRules(json, json.capacity() - json.size());
}

std::string encodeFilterRules(const FilterRules& rules) {
  std::string out;
  std::size_t size = 40;
  for (const std::string_view domain : rules.domains()) size += domain.size() + 3;
  out.reserve(size);
  out.append("{\"");
  out.append(FilterRules::stringValue(FilterRules::CodingKeys::isEnabled));
  out.append(rules.isEnabled() ? "\":true,\"" : "\":false,\"");
  out.append(FilterRules::stringValue(FilterRules::CodingKeys::domains));
  out.append("\":[");
  bool first = true;
  for (const std::string_view domain : rules.domains()) {
    if (!first) out.push_back(',');
    first = false;
    appendJsonString(out, domain);
  }
  out.append("]}");
  return out;
}

}  // namespace quillnest
