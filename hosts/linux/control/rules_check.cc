#include "hosts/linux/control/rules_check.h"

#include "hosts/linux/control/host_names.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isJsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isAsciiSpace(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

}  // namespace

std::vector<std::size_t> domainEntryLines(std::string_view json) {
  std::vector<std::size_t> lines;
  std::size_t line = 1;
  int depth = 0;
  bool expectingKey = false;
  bool domainsNext = false;  // the value after the "domains" key comes next
  int domainsDepth = -1;     // depth inside the domains array, when in it
  std::string key;
  for (std::size_t i = 0; i < json.size(); ++i) {
    const char c = json[i];
    if (c == '\n') {
      ++line;
      continue;
    }
    if (isJsonSpace(c) || c == ':') continue;
    if (c == '"') {
      std::string raw;
      for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] == '\\' && i + 1 < json.size()) raw.push_back(json[i++]);
        raw.push_back(json[i]);
      }
      if (depth == 1 && expectingKey) {
        key = raw;
        expectingKey = false;
        domainsNext = key == "domains";
      } else {
        if (depth == domainsDepth) lines.push_back(line);
        domainsNext = false;
      }
      continue;
    }
    if (c == '{' || c == '[') {
      ++depth;
      if (c == '[' && domainsNext && depth == 2) domainsDepth = 2;
      domainsNext = false;
      if (c == '{' && depth == 1) expectingKey = true;
      continue;
    }
    if (c == '}' || c == ']') {
      if (depth == domainsDepth) domainsDepth = -2;  // that array is done
      --depth;
      continue;
    }
    if (c == ',') {
      if (depth == 1) expectingKey = true;
      continue;
    }
    domainsNext = false;  // a literal or number value
  }
  return lines;
}

std::string entryProblem(std::string_view entry) {
  if (entry.empty()) return "empty";
  const auto normalized = normalizedHost(entry);
  if (!normalized) return "nothing but white space and dots";
  std::vector<std::string> reasons;
  if (isAsciiSpace(entry.front()) || isAsciiSpace(entry.back())) {
    reasons.emplace_back("white space at either end");
  }
  std::string_view core = entry;
  while (!core.empty() && isAsciiSpace(core.back())) core.remove_suffix(1);
  if (!core.empty() && core.back() == '.') reasons.emplace_back("trailing dot");
  bool upper = false;
  for (const char c : entry) upper = upper || (c >= 'A' && c <= 'Z');
  if (upper) reasons.emplace_back("upper case (host names are compared in lower case)");
  if (reasons.empty() && *normalized != entry) {
    // Non-ASCII capitals or white space: the filter compares with the normalised form.
    reasons.emplace_back("differs from its normalised form \"" + *normalized + "\"");
  }
  std::string name = *normalized;
  std::string idnError;
  if (auto aLabels = aLabelName(name, idnError); !aLabels) {
    reasons.emplace_back("Unicode, and invalid under UTS #46 (" + idnError +
                         "), so no flow carries it");
  } else if (*aLabels != name) {
    reasons.emplace_back("Unicode; flows carry the A-label form \"" + *aLabels +
                         "\", which would match");
    name = std::move(*aLabels);
  }
  if (std::string shape = nameShapeProblem(name); !shape.empty()) {
    reasons.push_back(std::move(shape));
  }
  std::string joined;
  for (const auto& reason : reasons) {
    if (!joined.empty()) joined += "; ";
    joined += reason;
  }
  return joined;
}

RulesCheck checkRules(std::span<const std::uint8_t> json, std::size_t readablePastEnd) {
  RulesCheck check;
  const DecodeResult decoded = decodeFilterRules(json, readablePastEnd);
  if (!decoded.rules) {
    check.error = decoded.error.message;
    return check;
  }
  check.loads = true;
  check.isEnabled = decoded.rules->isEnabled();
  const auto& domains = decoded.rules->domains();
  check.entryCount = domains.size();
  auto lines =
      domainEntryLines(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()));
  if (lines.size() != domains.size()) lines.clear();

  const auto where = [&](std::size_t index) {
    std::string text = "entry " + std::to_string(index + 1);
    if (!lines.empty()) text += " (line " + std::to_string(lines[index]) + ")";
    return text;
  };
  // The list's own index answers which entry comes first among equals.
  const DomainList& list = *decoded.rules->storage();
  const auto coveringFromAbove = [&](std::string_view name) {
    std::optional<std::size_t> first;
    for (std::size_t dot = name.find('.'); dot != std::string_view::npos;
         dot = name.find('.', dot + 1)) {
      const auto at = list.firstEqual(name.substr(dot + 1));
      if (at && (!first || *at < *first)) first = at;
    }
    return first;
  };
  for (std::size_t i = 0; i < domains.size(); ++i) {
    const std::size_t line = lines.empty() ? 0 : lines[i];
    std::string reason = entryProblem(domains[i]);
    std::string redundant;
    if (const auto same = list.firstEqual(domains[i]); same && *same < i) {
      redundant = "duplicate of " + where(*same);
    } else if (const auto above = coveringFromAbove(domains[i])) {
      redundant = "covered by " + where(*above) + " \"" + std::string(domains[*above]) + "\"";
    }
    if (!reason.empty()) {
      if (!redundant.empty()) reason = redundant + "; " + reason;
      check.problems.push_back({i, line, std::string(domains[i]), std::move(reason), false});
    } else if (!redundant.empty()) {
      check.problems.push_back({i, line, std::string(domains[i]), std::move(redundant), true});
    }
  }
  return check;
}

}  // namespace quillnest::linuxhost
