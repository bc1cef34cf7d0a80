// Replays recorded traffic (pcap or pcapng) through the same flow engine and provider a live host
// uses: `quillnest-filter replay FILE --rules RULES [--json]`.
//
// The side that sends a connection's first packet (its SYN, when the capture has it) is the
// client; its packets are outbound. Hold expiry runs on capture time, and every connection still
// open at the end of the capture is reported closed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "host/configuration.h"

namespace quillnest::replay {

struct ReplayOptions {
  std::string capturePath;
  std::string rulesPath;  // JSON served as the vendor dictionary's "filterRules" bytes
  bool json = false;
};

struct ReplayFlow {
  double time = 0;         // seconds since the capture's first packet
  std::string protocol;    // "tcp" or "udp"
  std::string remote;      // "198.51.100.2:443", "[2001:db8::1]:443"
  std::string serverName;  // from the ClientHello the provider read, if any
  std::string verdict;     // "allow" or "drop"
  std::string why;
  std::string outcome;  // the engine's outcome key ("droppedAfterInspection", ...)
};

struct ReplaySummary {
  std::uint64_t packets = 0;
  std::uint64_t unparseable = 0;
  // Frames the capture kept only the start of (its snapshot length): their data is not known.
  std::uint64_t cutShort = 0;
  std::uint32_t snapLength = 0;  // the capture's, when it cut any
  std::uint64_t flows = 0;
  std::uint64_t allowed = 0;
  std::uint64_t dropped = 0;
  std::uint64_t inspected = 0;
  std::uint64_t failOpen = 0;
  std::uint64_t blockNotifications = 0;
};

struct ReplayResult {
  std::vector<ReplayFlow> flows;  // in order of their first packet
  ReplaySummary summary;
};

// Runs the capture through a provider configured with the rules bytes. On a capture that cannot
// be read (missing, corrupt, truncated, foreign link type) returns nothing and sets error to a
// message naming the packet number where it failed.
std::optional<ReplayResult> replayCapture(const std::string& capturePath,
                                          const std::string& rulesBytes, std::string& error);
// The same with the rules file's bytes as read (decoded where they lie).
std::optional<ReplayResult> replayCapture(const std::string& capturePath, Bytes rulesBytes,
                                          std::string& error);

// The subcommand: prints one line per flow and a summary (or one JSON document with --json) on
// out, errors on err. Returns 0 on success, 1 when the rules or capture cannot be read.
int runReplay(const ReplayOptions& options, std::ostream& out, std::ostream& err);

}  // namespace quillnest::replay
