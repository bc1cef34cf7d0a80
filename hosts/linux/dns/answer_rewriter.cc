#include "hosts/linux/dns/answer_rewriter.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "host/byte_cursor.h"
#include "hosts/linux/dns/ldns_include.h"
#include "rules/normalization.h"

namespace quillnest::linuxhost::dns {
namespace {

struct PacketFree {
  void operator()(ldns_pkt* packet) const { ldns_pkt_free(packet); }
};
struct RecordFree {
  void operator()(ldns_rr* record) const { ldns_rr_free(record); }
};
using Packet = std::unique_ptr<ldns_pkt, PacketFree>;
using Record = std::unique_ptr<ldns_rr, RecordFree>;

}  // namespace

Canary canaryOf(std::string_view name) {
  // Firefox's canary, then Apple's private relay; a name error keeps each on the system resolver.
  static constexpr std::array<std::string_view, 3> nameErrors = {
      "use-application-dns.net", "mask.icloud.com", "mask-h2.icloud.com"};
  if (std::find(nameErrors.begin(), nameErrors.end(), name) != nameErrors.end())
    return Canary::nameError;
  // Discovery of designated resolvers (RFC 9462): no answer, no upgrade.
  if (name == "_dns.resolver.arpa") return Canary::noData;
  return Canary::none;
}

bool canaryAnswered(Canary canary, unsigned rcode, bool noRecords) {
  return noRecords && (rcode == LDNS_RCODE_NXDOMAIN ||
                       (canary == Canary::noData && rcode == LDNS_RCODE_NOERROR));
}

namespace {

std::string nameOf(const ldns_rdf* name) {
  if (name == nullptr) return {};
  char* text = ldns_rdf2str(name);
  std::string result = text ? normalizedServerName(text) : std::string();
  std::free(text);
  return result;
}

bool isServiceBinding(const ldns_rr* record) {
  const ldns_rr_type type = ldns_rr_get_type(record);
  return (type == LDNS_RR_TYPE_HTTPS || type == LDNS_RR_TYPE_SVCB) &&
         ldns_rr_rd_count(record) >= 3 &&
         ldns_rdf_get_type(ldns_rr_rdf(record, 2)) == LDNS_RDF_TYPE_SVCPARAMS;
}

std::span<const std::uint8_t> bytesOf(const ldns_rdf* field) {
  return {ldns_rdf_data(field), ldns_rdf_size(field)};
}

// Every parameter of one key within a SvcParams field (a malformed field may repeat it): where its
// key starts and its size with key and length. None when the field does not read as
// key-length-value triples.
struct ParamSpan {
  std::size_t offset = 0;
  std::size_t size = 0;
};

std::vector<ParamSpan> findParams(std::span<const std::uint8_t> params, std::uint16_t wanted) {
  std::vector<ParamSpan> found;
  ByteCursor cursor(params);
  while (!cursor.empty()) {
    const std::size_t offset = params.size() - cursor.size();
    std::uint16_t key = 0;
    ByteCursor value;
    if (!cursor.readU16(key) || !cursor.readU16LengthPrefixed(value)) return {};
    if (key == wanted) found.push_back({offset, 4 + value.size()});
  }
  return found;
}

// The port parameters of an HTTPS record that send its clients to a port other than 443, where
// nothing reads their ClientHello. Set to 443, clients go where the verdict is made.
std::vector<ParamSpan> portsToRewrite(const ldns_rr* record, std::span<const std::uint8_t> params) {
  if (ldns_rr_get_type(record) != LDNS_RR_TYPE_HTTPS) return {};
  std::vector<ParamSpan> ports = findParams(params, kSvcParamPort);
  std::erase_if(ports, [&](const ParamSpan& port) {
    return port.size != 4 + 2 ||
           (params[port.offset + 4] << 8 | params[port.offset + 5]) == kRewrittenPort;
  });
  return ports;
}

void setPort(std::uint8_t* value) {
  value[0] = static_cast<std::uint8_t>(kRewrittenPort >> 8);
  value[1] = static_cast<std::uint8_t>(kRewrittenPort);
}

// The question name and every name its answer's CNAME chain leads through.
std::vector<std::string> chainNames(const ldns_pkt* packet) {
  std::vector<std::string> names;
  const ldns_rr_list* questions = ldns_pkt_question(packet);
  if (questions == nullptr || ldns_rr_list_rr_count(questions) == 0) return names;
  names.push_back(nameOf(ldns_rr_owner(ldns_rr_list_rr(questions, 0))));
  const ldns_rr_list* answers = ldns_pkt_answer(packet);
  const std::size_t count = answers ? ldns_rr_list_rr_count(answers) : 0;
  // Each round adds at least one name or stops, so count + 1 rounds bound a looping chain.
  for (std::size_t round = 0; round <= count; ++round) {
    bool grew = false;
    for (std::size_t i = 0; i < count; ++i) {
      const ldns_rr* record = ldns_rr_list_rr(answers, i);
      if (ldns_rr_get_type(record) != LDNS_RR_TYPE_CNAME || ldns_rr_rd_count(record) < 1) continue;
      if (std::find(names.begin(), names.end(), nameOf(ldns_rr_owner(record))) == names.end())
        continue;
      std::string target = nameOf(ldns_rr_rdf(record, 0));
      if (std::find(names.begin(), names.end(), target) != names.end()) continue;
      names.push_back(std::move(target));
      grew = true;
    }
    if (!grew) break;
  }
  return names;
}

struct BindingEdits {
  unsigned ech = 0;
  unsigned ports = 0;
};

// Removes ech from the parsed records of both sections that can carry service bindings, and sets
// their HTTPS records' ports to 443.
BindingEdits editParsedBindings(ldns_pkt* packet) {
  BindingEdits edits;
  for (ldns_rr_list* list : {ldns_pkt_answer(packet), ldns_pkt_additional(packet)}) {
    const std::size_t count = list ? ldns_rr_list_rr_count(list) : 0;
    for (std::size_t i = 0; i < count; ++i) {
      ldns_rr* record = ldns_rr_list_rr(list, i);
      if (!isServiceBinding(record)) continue;
      const auto params = bytesOf(ldns_rr_rdf(record, 2));
      const auto ech = findParams(params, kSvcParamEch);
      const auto ports = portsToRewrite(record, params);
      if (ech.empty() && ports.empty()) continue;
      std::vector<std::uint8_t> edited(params.begin(), params.end());
      for (const auto& port : ports) setPort(&edited[port.offset + 4]);
      for (auto param = ech.rbegin(); param != ech.rend(); ++param) {
        const auto from = edited.begin() + static_cast<std::ptrdiff_t>(param->offset);
        edited.erase(from, from + static_cast<std::ptrdiff_t>(param->size));
      }
      if (edited.empty()) {
        ldns_rdf_deep_free(ldns_rr_pop_rdf(record));
      } else {
        ldns_rdf* field =
            ldns_rdf_new_frm_data(LDNS_RDF_TYPE_SVCPARAMS, edited.size(), edited.data());
        if (field == nullptr) continue;
        ldns_rdf_deep_free(ldns_rr_set_rdf(record, field, 2));
      }
      edits.ech += static_cast<unsigned>(ech.size());
      edits.ports += static_cast<unsigned>(ports.size());
    }
  }
  return edits;
}

// Overwrites, in place, the ECH configuration list of every service binding in the answer and
// additional sections, and the ports of its HTTPS records. The records are walked on the wire
// with ldns, which gives where each ends; the SvcParams field is the last of its record, and is
// located only where the wire bytes there are the field ldns read.
BindingEdits editBindingsInPlace(std::vector<std::uint8_t>& wire) {
  const std::uint8_t* data = wire.data();
  const std::size_t counts[4] = {LDNS_QDCOUNT(data), LDNS_ANCOUNT(data), LDNS_NSCOUNT(data),
                                 LDNS_ARCOUNT(data)};
  const ldns_pkt_section sections[4] = {LDNS_SECTION_QUESTION, LDNS_SECTION_ANSWER,
                                        LDNS_SECTION_AUTHORITY, LDNS_SECTION_ADDITIONAL};
  struct Overwrite {
    std::size_t at = 0;
    std::size_t size = 0;
  };
  std::vector<Overwrite> lists;
  std::vector<std::size_t> ports;
  std::size_t position = LDNS_HEADER_SIZE;
  for (int section = 0; section < 4; ++section) {
    for (std::size_t i = 0; i < counts[section]; ++i) {
      ldns_rr* raw = nullptr;
      if (ldns_wire2rr(&raw, data, wire.size(), &position, sections[section]) != LDNS_STATUS_OK)
        return {};
      Record record(raw);
      if (section == 0 || section == 2 || !isServiceBinding(record.get())) continue;
      const auto params = bytesOf(ldns_rr_rdf(record.get(), 2));
      if (params.size() > position) continue;
      const std::size_t fieldStart = position - params.size();
      if (!std::equal(params.begin(), params.end(), wire.begin() + fieldStart)) continue;
      for (const auto& ech : findParams(params, kSvcParamEch)) {
        // Four bytes of key and length, then at least the list length and one configuration's
        // version and length; a shorter list is of no use to any client as it is.
        if (ech.size >= 4 + 6) lists.push_back({fieldStart + ech.offset + 4, ech.size - 4});
      }
      for (const auto& port : portsToRewrite(record.get(), params))
        ports.push_back(fieldStart + port.offset + 4);
    }
  }
  for (const auto& overwrite : lists) {
    const auto list = unusableEchConfigList(overwrite.size);
    std::copy(list.begin(), list.end(), wire.begin() + overwrite.at);
  }
  for (const std::size_t port : ports) setPort(&wire[port]);
  return {static_cast<unsigned>(lists.size()), static_cast<unsigned>(ports.size())};
}

AnswerEdit answerCanary(Packet packet, std::span<const std::uint8_t> message, Canary canary,
                        bool keepLength) {
  AnswerEdit edit;
  edit.canaryAnswered = true;
  if (canaryAnswered(canary, ldns_pkt_get_rcode(packet.get()), ldns_pkt_ancount(packet.get()) == 0))
    return edit;
  if (keepLength) {
    // Records cannot go without changing the length; clients read no records under a name
    // error.
    edit.message.assign(message.begin(), message.end());
    LDNS_RCODE_SET(edit.message.data(), LDNS_RCODE_NXDOMAIN);
    edit.outcome = AnswerOutcome::rewritten;
    return edit;
  }
  ldns_pkt_set_rcode(packet.get(),
                     canary == Canary::nameError ? LDNS_RCODE_NXDOMAIN : LDNS_RCODE_NOERROR);
  ldns_rr_list_deep_free(ldns_pkt_answer(packet.get()));
  ldns_pkt_set_answer(packet.get(), ldns_rr_list_new());
  ldns_pkt_set_ancount(packet.get(), 0);
  ldns_rr_list_deep_free(ldns_pkt_authority(packet.get()));
  ldns_pkt_set_authority(packet.get(), ldns_rr_list_new());
  ldns_pkt_set_nscount(packet.get(), 0);
  ldns_rr_list_deep_free(ldns_pkt_additional(packet.get()));
  ldns_pkt_set_additional(packet.get(), ldns_rr_list_new());
  ldns_pkt_set_arcount(packet.get(), 0);
  std::uint8_t* wire = nullptr;
  std::size_t size = 0;
  if (ldns_pkt2wire(&wire, packet.get(), &size) != LDNS_STATUS_OK) {
    edit.outcome = AnswerOutcome::unparsed;
    return edit;
  }
  edit.message.assign(wire, wire + size);
  std::free(wire);
  edit.outcome = AnswerOutcome::rewritten;
  return edit;
}

}  // namespace

std::vector<std::uint8_t> unusableEchConfigList(std::size_t size) {
  std::vector<std::uint8_t> list(size, 0);
  if (size < 6) return list;
  auto put16 = [&list](std::size_t at, std::size_t value) {
    list[at] = static_cast<std::uint8_t>(value >> 8);
    list[at + 1] = static_cast<std::uint8_t>(value);
  };
  put16(0, size - 2);
  // No draft or final ECH version ever used 0xff00; clients skip configurations of versions
  // they do not know.
  put16(2, 0xff00);
  put16(4, size - 6);
  return list;
}

namespace {

// ldns keeps only the last TSIG record of a message and loses the others with their memory. A
// message may carry one at most, so one with more is read as unparsable before ldns builds it.
bool hasSeveralTsigRecords(std::span<const std::uint8_t> message) {
  const std::uint8_t* wire = message.data();
  const std::size_t counts[] = {LDNS_QDCOUNT(wire), LDNS_ANCOUNT(wire), LDNS_NSCOUNT(wire),
                                LDNS_ARCOUNT(wire)};
  const ldns_pkt_section sections[] = {LDNS_SECTION_QUESTION, LDNS_SECTION_ANSWER,
                                       LDNS_SECTION_AUTHORITY, LDNS_SECTION_ADDITIONAL};
  std::size_t position = LDNS_HEADER_SIZE;
  int tsigRecords = 0;
  for (std::size_t section = 0; section < 4; ++section) {
    for (std::size_t i = 0; i < counts[section]; ++i) {
      ldns_rr* record = nullptr;
      if (ldns_wire2rr(&record, wire, message.size(), &position, sections[section]) !=
          LDNS_STATUS_OK) {
        ldns_rr_free(record);
        return false;  // ldns_wire2pkt refuses it for itself
      }
      if (ldns_rr_get_type(record) == LDNS_RR_TYPE_TSIG) ++tsigRecords;
      ldns_rr_free(record);
      if (tsigRecords > 1) return true;
    }
  }
  return false;
}

}  // namespace

AnswerEdit rewriteAnswer(std::span<const std::uint8_t> message, const AnswerPolicy& policy) {
  AnswerEdit edit;
  ldns_pkt* raw = nullptr;
  if (message.size() < LDNS_HEADER_SIZE || hasSeveralTsigRecords(message) ||
      ldns_wire2pkt(&raw, message.data(), message.size()) != LDNS_STATUS_OK || raw == nullptr) {
    ldns_pkt_free(raw);
    edit.outcome = AnswerOutcome::unparsed;
    return edit;
  }
  Packet packet(raw);
  if (!ldns_pkt_qr(packet.get()) || ldns_pkt_get_opcode(packet.get()) != LDNS_PACKET_QUERY) {
    edit.outcome = AnswerOutcome::notAnAnswer;
    return edit;
  }
  const std::vector<std::string> names = chainNames(packet.get());
  if (names.empty()) return edit;

  if (policy.closeEncryptedDns) {
    if (Canary canary = canaryOf(names.front()); canary != Canary::none)
      return answerCanary(std::move(packet), message, canary, policy.keepLength);
  }

  if (!policy.isBlocked || std::none_of(names.begin(), names.end(), [&](const std::string& name) {
        return policy.isBlocked(name);
      }))
    return edit;

  if (!policy.keepLength) {
    const BindingEdits edits = editParsedBindings(packet.get());
    edit.echRemoved = edits.ech;
    edit.portsRewritten = edits.ports;
    if (edits.ech == 0 && edits.ports == 0) return edit;
    std::uint8_t* wire = nullptr;
    std::size_t size = 0;
    if (ldns_pkt2wire(&wire, packet.get(), &size) == LDNS_STATUS_OK && size <= message.size()) {
      edit.message.assign(wire, wire + size);
      std::free(wire);
      edit.outcome = AnswerOutcome::rewritten;
      return edit;
    }
    // Longer than the original (compressed differently): the client may have asked for no more,
    // so keep the length instead.
    std::free(wire);
  }
  edit.message.assign(message.begin(), message.end());
  const BindingEdits edits = editBindingsInPlace(edit.message);
  edit.echRemoved = edits.ech;
  edit.portsRewritten = edits.ports;
  if (edits.ech == 0 && edits.ports == 0) {
    edit.message.clear();
    return edit;
  }
  edit.outcome = AnswerOutcome::rewritten;
  return edit;
}

StreamEdit rewriteTcpPayload(std::span<const std::uint8_t> payload, const AnswerPolicy& policy) {
  StreamEdit edit;
  // Whole messages only: a segment that starts or ends inside one is not read at all, so a
  // continuation is never taken for a length.
  std::vector<std::span<const std::uint8_t>> messages;
  ByteCursor cursor(payload);
  while (!cursor.empty()) {
    ByteCursor message;
    if (!cursor.readU16LengthPrefixed(message)) {
      edit.outcome = AnswerOutcome::unparsed;
      edit.unparsed = 1;
      return edit;
    }
    messages.push_back(message.span());
  }
  if (messages.empty()) return edit;  // a bare ACK or FIN

  AnswerPolicy keep = policy;
  keep.keepLength = true;
  std::vector<std::uint8_t> rewritten(payload.begin(), payload.end());
  bool changed = false;
  bool anyRead = false;
  for (const auto message : messages) {
    AnswerEdit answer = rewriteAnswer(message, keep);
    switch (answer.outcome) {
      case AnswerOutcome::unparsed:
        ++edit.unparsed;
        continue;
      case AnswerOutcome::notAnAnswer:
        continue;
      case AnswerOutcome::rewritten:
        if (answer.message.size() == message.size()) {
          std::copy(answer.message.begin(), answer.message.end(),
                    rewritten.begin() + (message.data() - payload.data()));
          changed = true;
        }
        break;
      case AnswerOutcome::unchanged:
        break;
    }
    anyRead = true;
    ++edit.answersRead;
    edit.echRemoved += answer.echRemoved;
    edit.portsRewritten += answer.portsRewritten;
    edit.canariesAnswered += answer.canaryAnswered ? 1 : 0;
  }
  if (changed) {
    edit.outcome = AnswerOutcome::rewritten;
    edit.payload = std::move(rewritten);
  } else if (!anyRead && edit.unparsed > 0) {
    edit.outcome = AnswerOutcome::unparsed;
  }
  return edit;
}

}  // namespace quillnest::linuxhost::dns
