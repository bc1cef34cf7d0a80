#include "hosts/linux/control/rules_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <future>
#include <system_error>

#include "hosts/linux/control/host_names.h"
#include "rules/byte_masks.h"
#include "rules/covering_entries.h"
#include "rules/filter_rules.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isAsciiSpace(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

// Long lists are checked on two cores: the index built while the list is decoded, the findings
// made in two halves. Below this a thread costs more than the work.
constexpr std::size_t kSplitAt = 100000;  // entries

// Runs work on another thread when apart and a thread can be had, else when its result is taken.
template <typename Work>
auto started(bool apart, const Work& work) {
  try {
    return std::async(apart ? std::launch::async : std::launch::deferred, work);
  } catch (const std::system_error&) {
    return std::async(std::launch::deferred, work);
  }
}

using Bytes16 = unsigned char __attribute__((vector_size(16)));

Bytes16 bytes16(const char* at) {
  Bytes16 bytes;
  std::memcpy(&bytes, at, sizeof bytes);
  return bytes;
}

bool anySet(Bytes16 flags) {
  std::uint64_t halves[2];
  std::memcpy(halves, &flags, sizeof halves);
  return (halves[0] | halves[1]) != 0;
}

// Which 64-byte stretches of text hold a byte no name on the wire has, an upper-case letter, or
// two dots in a row. Judged 16 bytes at a time over a whole list's text: a clean stretch spares
// every entry in it the byte-by-byte look.
std::vector<bool> roughStretches(std::string_view text) {
  constexpr std::size_t kStretch = 64;
  std::vector<bool> rough((text.size() + kStretch - 1) / kStretch);
  for (std::size_t s = 0; s < rough.size(); ++s) {
    const std::size_t begin = s * kStretch;
    if (begin + kStretch >= text.size()) {  // the last: no byte after it to read
      const std::string_view tail = text.substr(begin);
      rough[s] = tail.find("..") != std::string_view::npos ||
                 !std::all_of(tail.begin(), tail.end(), [](char c) {
                   return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
                          c == '_' || c == '.';
                 });
      continue;
    }
    Bytes16 bad{};
    for (std::size_t at = begin; at < begin + kStretch; at += 16) {
      const Bytes16 c = bytes16(text.data() + at);
      const Bytes16 next = bytes16(text.data() + at + 1);
      const auto ok = (Bytes16)(c - 'a' < 26) | (Bytes16)(c - '0' < 10) | (Bytes16)(c == '-') |
                      (Bytes16)(c == '_') | (Bytes16)(c == '.');
      bad |= ~ok | ((Bytes16)(c == '.') & (Bytes16)(next == '.'));
    }
    rough[s] = anySet(bad);
  }
  return rough;
}

// True for the common entry entryProblem has nothing to say about: lower-case name bytes in
// labels of 1 to 63 bytes, 63 bytes in all at most, in stretches of text that are not rough.
bool isPlainName(std::string_view entry, std::string_view text, const std::vector<bool>& rough) {
  if (entry.empty() || entry.size() > 63 || entry.front() == '.' || entry.back() == '.') {
    return false;
  }
  const std::size_t begin = static_cast<std::size_t>(entry.data() - text.data());
  return !rough[begin / 64] && !rough[(begin + entry.size() - 1) / 64];
}

}  // namespace

std::vector<std::uint32_t> linesAt(std::string_view json, std::vector<std::uint32_t> offsets) {
  std::uint32_t line = 1;
  std::size_t at = 0;
  // Newlines are rare: a few bits to clear in a mask of 32 bytes.
  const auto count = [&line](std::uint32_t newlines) {
    for (; newlines != 0; newlines &= newlines - 1) ++line;
  };
  for (std::uint32_t& offset : offsets) {
    for (; at + 32 <= offset; at += 32) count(bytesEqual32(json.data() + at, '\n'));
    if (at < offset && at + 32 <= json.size()) {
      count(bytesEqual32(json.data() + at, '\n') & ((std::uint32_t{1} << (offset - at)) - 1));
      at = offset;
    }
    for (; at < offset; ++at) line += json[at] == '\n' ? 1 : 0;
    offset = line;
  }
  return offsets;
}

std::vector<std::uint32_t> domainEntryLines(std::string_view json) {
  std::vector<std::uint32_t> offsets;
  const DecodeResult decoded =
      decodeFilterRules(std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()),
                        0, {.entryOffsets = &offsets});
  return decoded.rules ? linesAt(json, std::move(offsets)) : std::vector<std::uint32_t>{};
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
  std::vector<std::uint32_t> offsets;
  std::optional<CoveringEntries> covering;
  std::vector<bool> rough;
  // Memory is not what a check is short of: the index is built on the side, and what needs only
  // the entries is done meanwhile.
  DecodeOptions options{.indexAlongside = true, .entryOffsets = &offsets};
  options.whileIndexing = [&](DomainEntries entries) {
    // The index is nearly done by now, so its core is mostly free.
    auto roughDone = started(entries.size() >= kSplitAt,
                             [&rough, entries] { rough = roughStretches(entries.text()); });
    covering.emplace(entries);
    roughDone.get();
  };
  const DecodeResult decoded = decodeFilterRules(json, readablePastEnd, options);
  if (!decoded.rules) {
    check.error = decoded.error.message;
    return check;
  }
  check.loads = true;
  check.isEnabled = decoded.rules->isEnabled();
  const auto& domains = decoded.rules->domains();
  check.entryCount = domains.size();
  const DomainList& list = *decoded.rules->storage();
  // The index answers which entry comes first among equals.
  const std::vector<bool> firstOfEquals = list.firstOfEquals();

  // What is found of an entry before its line is known: lines are counted for these alone.
  struct Found {
    std::size_t index;
    std::string reason;  // why it never matches, or empty
    std::optional<std::size_t> duplicateOf;
    std::optional<std::size_t> coveredBy;
  };
  const auto foundIn = [&](std::size_t begin, std::size_t end) {
    std::vector<Found> found;
    constexpr std::size_t kRun = 512;
    std::array<std::optional<std::size_t>, kRun> above;
    for (std::size_t i = begin; i < end; ++i) {
      if ((i - begin) % kRun == 0) {
        covering->firstFromAbove(list, i, std::span(above).first(std::min(kRun, end - i)));
      }
      const std::string_view entry = domains[i];
      const bool plain = isPlainName(entry, domains.text(), rough);
      const std::optional<std::size_t> by = above[(i - begin) % kRun];
      if (plain && firstOfEquals[i] && !by) continue;  // most entries
      Found f{i, plain ? std::string() : entryProblem(entry), std::nullopt, std::nullopt};
      if (!firstOfEquals[i]) {
        f.duplicateOf = list.firstEqual(entry);
      } else {
        f.coveredBy = by;
      }
      if (!f.reason.empty() || f.duplicateOf || f.coveredBy) found.push_back(std::move(f));
    }
    return found;
  };
  // A long list in two halves, the second on another core.
  const bool apart = domains.size() >= kSplitAt;
  const std::size_t half = apart ? domains.size() / 2 : domains.size();
  auto secondHalf =
      started(apart, [&foundIn, half, &domains] { return foundIn(half, domains.size()); });
  std::vector<Found> found = foundIn(0, half);
  for (Found& f : secondHalf.get()) found.push_back(std::move(f));

  std::vector<std::uint32_t> named;  // entries whose line is told, ascending
  // A list with many findings names about as many entries as it has: they are then put in order
  // by marking them, in one pass, and their lines are kept in a table by entry.
  const bool many = found.size() > domains.size() / 32;
  if (offsets.size() == domains.size()) {
    for (const Found& f : found) {
      named.push_back(static_cast<std::uint32_t>(f.index));
      if (f.duplicateOf) named.push_back(static_cast<std::uint32_t>(*f.duplicateOf));
      if (f.coveredBy) named.push_back(static_cast<std::uint32_t>(*f.coveredBy));
    }
    if (many) {
      std::vector<bool> marked(domains.size());
      for (const std::uint32_t index : named) marked[index] = true;
      named.clear();
      for (std::size_t i = 0; i < marked.size(); ++i) {
        if (marked[i]) named.push_back(static_cast<std::uint32_t>(i));
      }
    } else {
      std::sort(named.begin(), named.end());
      named.erase(std::unique(named.begin(), named.end()), named.end());
    }
  }
  std::vector<std::uint32_t> namedOffsets(named.size());
  for (std::size_t k = 0; k < named.size(); ++k) namedOffsets[k] = offsets[named[k]];
  const std::vector<std::uint32_t> lines =
      linesAt(std::string_view(reinterpret_cast<const char*>(json.data()), json.size()),
              std::move(namedOffsets));
  std::vector<std::uint32_t> lineByEntry;
  if (many && !named.empty()) {
    lineByEntry.assign(domains.size(), 0);
    for (std::size_t k = 0; k < named.size(); ++k) lineByEntry[named[k]] = lines[k];
  }
  const auto lineOf = [&](std::size_t index) -> std::size_t {
    if (!lineByEntry.empty()) return lineByEntry[index];
    const auto at = std::lower_bound(named.begin(), named.end(), index);
    return at != named.end() && *at == index ? lines[at - named.begin()] : 0;
  };
  // A finding's text is built in one string: with hundreds of thousands of findings the
  // temporaries of piecewise concatenation cost more than everything else.
  const auto appendNumber = [](std::string& text, std::size_t number) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
    text.append(digits, end);
  };
  const auto appendWhere = [&](std::string& text, std::size_t index) {
    text += "entry ";
    appendNumber(text, index + 1);
    if (const std::size_t line = lineOf(index); line != 0) {
      text += " (line ";
      appendNumber(text, line);
      text += ')';
    }
  };
  check.problems.reserve(found.size());
  for (Found& f : found) {
    std::string reason;
    if (f.duplicateOf) {
      reason += "duplicate of ";
      appendWhere(reason, *f.duplicateOf);
    } else if (f.coveredBy) {
      const std::string_view by = domains[*f.coveredBy];
      reason.reserve(48 + by.size());
      reason += "covered by ";
      appendWhere(reason, *f.coveredBy);
      reason += " \"";
      reason += by;
      reason += '"';
    }
    const bool neverMatches = !f.reason.empty();
    if (neverMatches) {
      if (reason.empty()) {
        reason = std::move(f.reason);
      } else {
        reason += "; ";
        reason += f.reason;
      }
    }
    check.problems.push_back({f.index, lineOf(f.index), std::string(domains[f.index]),
                              std::move(reason), !neverMatches});
  }
  return check;
}

}  // namespace quillnest::linuxhost
