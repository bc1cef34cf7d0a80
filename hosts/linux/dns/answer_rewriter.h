// DNS answers on their way to this machine's clients: HTTPS and SVCB records of blocked names lose
// their ECH configurations (and HTTPS records any port but 443), and the names through which
// clients switch to encrypted DNS on their own get answers that keep them on the system resolver.
// Pure functions of the bytes; messages are read with ldns.
//
// A client that never receives an ECH configuration for a name sends that name in the clear, and
// one that is not sent to another port sends it to 443, where the TLS verdict judges it.
// Everything the user did not block keeps its ECH: answers that are not rewritten are returned
// byte for byte.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace quillnest::linuxhost::dns {

inline constexpr std::uint16_t kSvcParamPort = 3;
inline constexpr std::uint16_t kSvcParamEch = 5;
// What a blocked name's HTTPS records leave as their port: the one whose ClientHellos are judged.
inline constexpr std::uint16_t kRewrittenPort = 443;

struct AnswerPolicy {
  // Whether a name (presentation form, may end with ".") is blocked by the rules in force.
  std::function<bool(std::string_view)> isBlocked;
  // Canaries and designated-resolver discovery answered so that clients stay on plain DNS.
  bool closeEncryptedDns = true;
  // The message must keep its length (DNS over TCP: the stream's sequence numbers stay valid).
  // ECH configuration lists are then overwritten with one configuration of a version no client
  // knows, which clients skip, instead of being removed.
  bool keepLength = false;
};

// Owner names whose answer decides whether a client turns to encrypted DNS by itself.
enum class Canary { none, nameError, noData };
Canary canaryOf(std::string_view name);
// Whether an answer for a canary already says what we would make it say.
bool canaryAnswered(Canary canary, unsigned rcode, bool noRecords);

enum class AnswerOutcome { unchanged, rewritten, unparsed, notAnAnswer };

struct AnswerEdit {
  AnswerOutcome outcome = AnswerOutcome::unchanged;
  std::vector<std::uint8_t> message;  // the new message when rewritten
  unsigned echRemoved = 0;            // ech parameters removed or overwritten
  unsigned portsRewritten = 0;        // HTTPS records' ports other than 443 set to 443
  bool canaryAnswered = false;        // a canary or discovery name got our answer
};

// One DNS message, without the TCP length prefix.
AnswerEdit rewriteAnswer(std::span<const std::uint8_t> message, const AnswerPolicy& policy);

// The payload of one TCP segment from port 53: consecutive messages, each after its two-byte
// length. Only a payload that holds whole messages is read; the rest is unparsed. Rewriting keeps
// every length.
struct StreamCounts {
  unsigned answersRead = 0;
  unsigned unparsed = 0;
  unsigned echRemoved = 0;
  unsigned portsRewritten = 0;
  unsigned canariesAnswered = 0;
};

struct StreamEdit : StreamCounts {
  AnswerOutcome outcome = AnswerOutcome::unchanged;  // unparsed when no message could be read
  std::vector<std::uint8_t> payload;                 // when rewritten
};

StreamEdit rewriteTcpPayload(std::span<const std::uint8_t> payload, const AnswerPolicy& policy);

// A well-formed ECHConfigList of exactly size bytes (at least 6) holding one configuration of an
// unknown version.
std::vector<std::uint8_t> unusableEchConfigList(std::size_t size);

}  // namespace quillnest::linuxhost::dns
