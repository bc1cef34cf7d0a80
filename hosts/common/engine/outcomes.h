// Why a connection (or one HTTP request on it) reached its state: one table gives each outcome
// its key in `status` and the JSON of a replay, and the text a replay prints. A new outcome is
// one enumerator and one row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quillnest::hosts {

enum class Outcome : std::uint8_t {
  pending,
  newFlowAllow,
  newFlowDrop,
  dataAllow,
  dataDrop,
  clientClosed,
  holdExpired,
  limitReached,
  noHandshake,
  updateFlowDrop,
  tableFull,
  conflictingData,
  evicted,
  httpRequestDrop,
  tlsPrefaceRecords,
  observationLost,
  staleHeldData,
  ackOvertook,
  httpHeadTooLarge,
  httpUnknownMethod,
  httpMalformed,
  tlsHelloTooLarge,
  tableFullDrop,
  tlsRetryNameChanged,
  count_,
};
inline constexpr std::size_t kOutcomeCount = static_cast<std::size_t>(Outcome::count_);

struct OutcomeRow {
  Outcome outcome;
  std::string_view key;   // status and JSON
  std::string_view text;  // replay lines
  bool dropped;           // the connection is dropped and reset
  bool failOpen;          // inspection ended without a reading
};

inline constexpr std::array<OutcomeRow, kOutcomeCount> kOutcomes = {{
    {Outcome::pending, "pending", "pending", false, false},
    {Outcome::newFlowAllow, "allowed", "allowed", false, false},
    {Outcome::newFlowDrop, "dropped", "dropped", true, false},
    {Outcome::dataAllow, "allowedAfterInspection", "allowed after inspection", false, false},
    {Outcome::dataDrop, "droppedAfterInspection", "dropped after inspection", true, false},
    {Outcome::clientClosed, "allowedClientClosed", "allowed: client closed during inspection",
     false, false},
    {Outcome::holdExpired, "failOpenHoldExpired", "allowed: hold expired (fail open)", false, true},
    {Outcome::limitReached, "failOpenLimitReached", "allowed: inspection limit reached (fail open)",
     false, true},
    {Outcome::noHandshake, "failOpenNoHandshake", "allowed: no handshake seen (fail open)", false,
     true},
    {Outcome::updateFlowDrop, "droppedByRulesChange", "dropped by rules change", true, false},
    {Outcome::tableFull, "allowedTableFull", "allowed: connection table full", false, false},
    {Outcome::conflictingData, "droppedConflictingData",
     "dropped: conflicting copies of the same bytes", true, false},
    {Outcome::evicted, "droppedEvicted",
     "dropped: idle longest while the inspection table was full", true, false},
    {Outcome::httpRequestDrop, "droppedHttpRequest",
     "dropped: a later request on the connection named a blocked host", true, false},
    {Outcome::tlsPrefaceRecords, "droppedTlsPrefaceRecords",
     "dropped: too many records before the ClientHello", true, false},
    {Outcome::observationLost, "droppedObservationLost",
     "dropped: acknowledgments passed unqueued were lost before the filter read them", true, false},
    {Outcome::staleHeldData, "droppedStaleHeldData",
     "dropped: held data the server would no longer take after a newer segment passed", true,
     false},
    {Outcome::ackOvertook, "droppedAckOvertook",
     "dropped: an acknowledgment passed unqueued ahead of data the filter had read", true, false},
    {Outcome::httpHeadTooLarge, "droppedHttpHeadTooLarge",
     "dropped: a request head longer than 64 KiB", true, false},
    {Outcome::httpUnknownMethod, "droppedHttpUnknownMethod",
     "dropped: a request with a method the filter cannot read", true, false},
    {Outcome::httpMalformed, "droppedHttpMalformed",
     "dropped: a request the filter cannot read as a server may read it", true, false},
    {Outcome::tlsHelloTooLarge, "droppedTlsHelloTooLarge",
     "dropped: a ClientHello longer than the filter reads", true, false},
    {Outcome::tableFullDrop, "droppedTableFull", "dropped: connection table full (fails closed)",
     true, false},
    {Outcome::tlsRetryNameChanged, "droppedTlsRetryNameChanged",
     "dropped: the ClientHello after a HelloRetryRequest names another server", true, false},
}};

constexpr const OutcomeRow& outcomeRow(Outcome outcome) {
  return kOutcomes[static_cast<std::size_t>(outcome)];
}
constexpr std::string_view outcomeText(Outcome outcome) { return outcomeRow(outcome).text; }
constexpr std::string_view outcomeKey(Outcome outcome) { return outcomeRow(outcome).key; }

// The rows stand in enumerator order.
constexpr bool outcomesInOrder() {
  for (std::size_t i = 0; i < kOutcomeCount; ++i) {
    if (static_cast<std::size_t>(kOutcomes[i].outcome) != i) return false;
  }
  return true;
}
static_assert(outcomesInOrder());

}  // namespace quillnest::hosts
