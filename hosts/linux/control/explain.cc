#include "hosts/linux/control/explain.h"

#include <algorithm>

#include "hosts/common/http_request_head.h"
#include "hosts/linux/control/host_names.h"
#include "rules/domain_list.h"
#include "rules/json_text.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost {
namespace {

bool isSpace(char c) { return c == ' ' || (c >= 0x09 && c <= 0x0d); }

bool isAscii(std::string_view text) {
  for (const char c : text) {
    if ((static_cast<unsigned char>(c) & 0x80) != 0) return false;
  }
  return true;
}

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

}  // namespace

std::optional<ReadHost> readHostToExplain(std::string_view input, std::string& error) {
  ReadHost read;
  while (!input.empty() && isSpace(input.front())) input.remove_prefix(1);
  while (!input.empty() && isSpace(input.back())) input.remove_suffix(1);
  std::string_view authority = input;
  if (const auto scheme = input.find("://"); scheme != std::string_view::npos) {
    authority = input.substr(scheme + 3);
    read.notes.push_back("URL: its host");
  }
  if (const auto end = authority.find_first_of("/?#"); end != std::string_view::npos) {
    if (authority.size() == input.size()) read.notes.push_back("path dropped");
    authority = authority.substr(0, end);
  }
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority.remove_prefix(at + 1);
  }
  std::string text(authority);
  if (!isAscii(text)) {
    // Clients send internationalised names as A-labels; the port, if any, stays as it is.
    std::string port;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
      port = text.substr(colon);
      text.resize(colon);
    }
    const std::string unicode = text;
    auto aLabels = aLabelName(text, error);
    if (!aLabels) {
      error = "no client sends " + quoted(unicode) + ": invalid under UTS #46 (" + error + ")";
      return std::nullopt;
    }
    read.notes.push_back("internationalised: clients send " + quoted(*aLabels));
    text = *aLabels + port;
  }
  if (text.find(':') != std::string::npos && isIPAddressLiteral(text) && text.front() != '[') {
    text = "[" + text + "]";  // a bare IPv6 address: what a Host header would hold
  }
  if (text.empty()) {
    error = quoted(input) + " holds no host name a flow could carry";
    return std::nullopt;
  }
  const std::string head = "GET / HTTP/1.1\r\nHost: " + text + "\r\n\r\n";
  const hosts::HttpHeadResult result = hosts::readHttpRequestHead(head);
  if (result.status != hosts::HttpHeadStatus::named || text.find_first_of("\r\n") != text.npos) {
    error = quoted(input) + " holds no host name a flow could carry";
    return std::nullopt;
  }
  const bool port = text.front() == '[' ? text.find("]:") != std::string::npos
                                        : text.find(':') != std::string::npos;
  if (port) read.notes.push_back("port dropped");
  read.host = result.host;
  return read;
}

std::optional<Explanation> explainName(const FilterRules& rules,
                                       std::span<const std::uint32_t> entryLines,
                                       std::string_view input, std::string& error) {
  auto read = readHostToExplain(input, error);
  if (!read) return std::nullopt;
  const auto normalized = normalizedHost(read->host);
  if (!normalized) {
    error = quoted(input) + " holds no host name a flow could carry";
    return std::nullopt;
  }
  Explanation explanation;
  explanation.input = std::string(input);
  explanation.host = *normalized;
  explanation.notes = std::move(read->notes);
  if (explanation.host != read->host) explanation.notes.push_back("normalised");
  explanation.rulesEnabled = rules.isEnabled();
  explanation.matches = rules.matchesHost(read->host);
  explanation.blocked = explanation.rulesEnabled && explanation.matches;
  const auto& domains = rules.domains();
  // The host and every parent domain of it, looked up in the list's own index.
  std::vector<std::size_t> covering;
  const DomainList& list = *rules.storage();
  const std::string_view host = explanation.host;
  if (const auto first = list.firstEqual(host)) covering.push_back(*first);
  for (std::size_t dot = host.find('.'); dot != std::string_view::npos;
       dot = host.find('.', dot + 1)) {
    if (const auto first = list.firstEqual(host.substr(dot + 1))) covering.push_back(*first);
  }
  std::sort(covering.begin(), covering.end());
  for (const std::size_t position : covering) {
    const std::size_t line = position < entryLines.size() ? entryLines[position] : 0;
    explanation.covering.push_back({position + 1, line, std::string(domains[position])});
  }
  return explanation;
}

std::string encodeExplanation(const Explanation& e) {
  std::string out = "{\"input\":";
  appendJsonString(out, e.input);
  out += ",\"host\":";
  appendJsonString(out, e.host);
  out += ",\"blocked\":";
  out += e.blocked ? "true" : "false";
  out += ",\"matches\":";
  out += e.matches ? "true" : "false";
  out += ",\"rulesEnabled\":";
  out += e.rulesEnabled ? "true" : "false";
  out += ",\"entries\":[";
  for (std::size_t i = 0; i < e.covering.size(); ++i) {
    if (i != 0) out.push_back(',');
    out += "{\"entry\":";
    appendJsonString(out, e.covering[i].entry);
    out += ",\"position\":" + std::to_string(e.covering[i].position);
    if (e.covering[i].line != 0) out += ",\"line\":" + std::to_string(e.covering[i].line);
    if (e.covering[i].builtIn) out += ",\"builtIn\":true";
    out.push_back('}');
  }
  out += "],\"notes\":[";
  for (std::size_t i = 0; i < e.notes.size(); ++i) {
    if (i != 0) out.push_back(',');
    appendJsonString(out, e.notes[i]);
  }
  out += "],\"rulesFile\":";
  appendJsonString(out, e.rulesFile);
  out += ",\"rulesNotes\":[";
  for (std::size_t i = 0; i < e.rulesNotes.size(); ++i) {
    if (i != 0) out.push_back(',');
    appendJsonString(out, e.rulesNotes[i]);
  }
  out += "]}";
  return out;
}

std::string formatExplanation(const Explanation& e) {
  std::string out = e.input + ": " + (e.blocked ? "blocked" : "not blocked") + "\n";
  out += "  judged as host " + quoted(e.host);
  if (!e.notes.empty()) {
    out += " (";
    for (std::size_t i = 0; i < e.notes.size(); ++i) out += (i ? "; " : "") + e.notes[i];
    out += ")";
  }
  out += "\n";
  auto entryText = [](const CoveringEntry& c) {
    if (c.builtIn) return "the built-in DNS-over-HTTPS resolver name " + quoted(c.entry);
    std::string text = "entry " + std::to_string(c.position);
    if (c.line != 0) text += " (line " + std::to_string(c.line) + ")";
    return text + " " + quoted(c.entry);
  };
  if (e.covering.empty()) {
    out += "  no entry covers it\n";
  } else {
    out += std::string("  ") + (e.blocked ? "blocked by " : "covered by ") +
           entryText(e.covering.front()) + "\n";
    for (std::size_t i = 1; i < e.covering.size(); ++i) {
      out += "  also covered by " + entryText(e.covering[i]) + "\n";
    }
  }
  if (!e.rulesEnabled) out += "  blocking is off in these rules\n";
  if (!e.rulesFile.empty()) out += "  rules: " + e.rulesFile + "\n";
  for (const auto& note : e.rulesNotes) out += "  " + note + "\n";
  return out;
}

}  // namespace quillnest::linuxhost
