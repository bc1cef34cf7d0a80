#include "hosts/linux/control/control_server.h"

#include <poll.h>
#include <simdjson.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "hosts/linux/control/paths.h"
#include "rules/json_text.h"

namespace quillnest::linuxhost {
namespace {

struct NumberField {
  std::string_view key;
  std::uint64_t StatusReport::*member;
};

constexpr NumberField kNumbers[] = {
    {"ruleEntries", &StatusReport::ruleEntries},
    {"trackedFlows", &StatusReport::trackedFlows},
    {"heldFlows", &StatusReport::heldFlows},
    {"heldPackets", &StatusReport::heldPackets},
    {"flowsSeen", &StatusReport::flowsSeen},
    {"flowsAllowed", &StatusReport::flowsAllowed},
    {"blockedByHostName", &StatusReport::blockedByHostName},
    {"blockedByTLSName", &StatusReport::blockedByTLSName},
    {"udp443Drops", &StatusReport::udp443Drops},
    {"resets", &StatusReport::resets},
    {"failOpenEvents", &StatusReport::failOpenEvents},
    {"httpNamedByHost", &StatusReport::httpNamedByHost},
    {"httpWaiting", &StatusReport::httpWaiting},
    {"httpUnnamedNotHttp", &StatusReport::httpUnnamedNotHttp},
    {"httpUnnamedHttp2", &StatusReport::httpUnnamedHttp2},
    {"httpUnnamedMissingHost", &StatusReport::httpUnnamedMissingHost},
    {"httpUnnamedBadHost", &StatusReport::httpUnnamedBadHost},
    {"httpUnnamedHeadTooLarge", &StatusReport::httpUnnamedHeadTooLarge},
    {"httpUnnamedClosedFirst", &StatusReport::httpUnnamedClosedFirst},
    {"httpUnnamedTimedOut", &StatusReport::httpUnnamedTimedOut},
    {"badChecksums", &StatusReport::badChecksums},
    {"conflictingStreams", &StatusReport::conflictingStreams},
    {"evictions", &StatusReport::evictions},
    {"reopenedConnections", &StatusReport::reopenedConnections},
    {"repliesFromClientSide", &StatusReport::repliesFromClientSide},
    {"acksObserved", &StatusReport::acksObserved},
    {"ackLogLosses", &StatusReport::ackLogLosses},
    {"bodiesPassed", &StatusReport::bodiesPassed},
    {"responsesPassed", &StatusReport::responsesPassed},
    {"droppedAckLogLost", &StatusReport::droppedAckLogLost},
    {"droppedStaleHeldData", &StatusReport::droppedStaleHeldData},
    {"droppedAckOvertook", &StatusReport::droppedAckOvertook},
    {"droppedHttpHeadTooLarge", &StatusReport::droppedHttpHeadTooLarge},
    {"droppedHttpUnknownMethod", &StatusReport::droppedHttpUnknownMethod},
    {"droppedHttpMalformed", &StatusReport::droppedHttpMalformed},
    {"droppedTlsHelloTooLarge", &StatusReport::droppedTlsHelloTooLarge},
    {"helloRetries", &StatusReport::helloRetries},
    {"droppedTlsRetryNameChanged", &StatusReport::droppedTlsRetryNameChanged},
    {"tableFull", &StatusReport::tableFull},
    {"droppedTableFull", &StatusReport::droppedTableFull},
    {"failOpenHoldExpired", &StatusReport::failOpenHoldExpired},
    {"failOpenLimitReached", &StatusReport::failOpenLimitReached},
    {"failOpenNoHandshake", &StatusReport::failOpenNoHandshake},
    {"echClientHellos", &StatusReport::echClientHellos},
    {"resolverEntries", &StatusReport::resolverEntries},
    {"dnsAnswersRead", &StatusReport::dnsAnswersRead},
    {"dnsAnswersUnparsed", &StatusReport::dnsAnswersUnparsed},
    {"echParametersRemoved", &StatusReport::echParametersRemoved},
    {"httpsPortsRewritten", &StatusReport::httpsPortsRewritten},
    {"canariesAnswered", &StatusReport::canariesAnswered},
    {"port853Drops", &StatusReport::port853Drops},
    {"resolverAddressDrops", &StatusReport::resolverAddressDrops},
    {"dnsTcpSegmentsDropped", &StatusReport::dnsTcpSegmentsDropped},
    {"rulesPutBack", &StatusReport::rulesPutBack},
    {"subscribers", &StatusReport::subscribers},
    {"uptimeSeconds", &StatusReport::uptimeSeconds},
};

}  // namespace

std::string encodeStatus(const StatusReport& report) {
  std::string out = "{\"version\":";
  quillnest::appendJsonString(out, report.version);
  out += ",\"rulesFile\":";
  quillnest::appendJsonString(out, report.rulesFile);
  out += ",\"rulesEnabled\":";
  out += report.rulesEnabled ? "true" : "false";
  if (!report.rulesProblem.empty()) {
    out += ",\"rulesProblem\":";
    quillnest::appendJsonString(out, report.rulesProblem);
  }
  out += ",\"failClosed\":";
  out += report.failClosed ? "true" : "false";
  for (const auto& field : kNumbers) {
    out += ",\"";
    out += field.key;
    out += "\":";
    out += std::to_string(report.*field.member);
  }
  out.push_back('}');
  return out;
}

std::optional<StatusReport> decodeStatus(std::string_view json, std::string& error) {
  simdjson::dom::parser parser;
  simdjson::dom::element root;
  if (auto failure = parser.parse(json.data(), json.size()).get(root)) {
    error = std::string("the answer is not JSON: ") + simdjson::error_message(failure);
    return std::nullopt;
  }
  simdjson::dom::object object;
  if (root.get(object)) {
    error = "the answer is not a JSON object";
    return std::nullopt;
  }
  std::string_view text;
  if (!object["error"].get(text)) {
    error = "the daemon answered: " + std::string(text);
    return std::nullopt;
  }
  StatusReport report;
  if (!object["version"].get(text)) report.version = std::string(text);
  if (!object["rulesFile"].get(text)) report.rulesFile = std::string(text);
  bool enabled = false;
  if (!object["rulesEnabled"].get(enabled)) report.rulesEnabled = enabled;
  if (!object["rulesProblem"].get(text)) report.rulesProblem = std::string(text);
  bool failClosed = false;
  if (!object["failClosed"].get(failClosed)) report.failClosed = failClosed;
  for (const auto& field : kNumbers) {
    simdjson::dom::element value;
    if (object[field.key].get(value)) continue;
    std::uint64_t number = 0;
    if (value.get(number)) {
      error = "\"" + std::string(field.key) + "\" is not a count";
      return std::nullopt;
    }
    report.*field.member = number;
  }
  return report;
}

std::string formatStatus(const StatusReport& report) {
  std::string out;
  auto line = [&](std::string_view name, const std::string& value) {
    out.append(name);
    out.append(": ");
    out.append(value);
    out.push_back('\n');
  };
  line("version", report.version);
  line("rules file", report.rulesFile);
  line("blocking", report.rulesEnabled           ? "on"
                   : report.rulesProblem.empty() ? "off"
                                                 : "off (" + report.rulesProblem + ")");
  line("if the daemon stops without cleaning up", report.failClosed
                                                      ? "web connections fail (fail-closed)"
                                                      : "connections pass unfiltered (fail-open)");
  line("rule entries", std::to_string(report.ruleEntries));
  line("DNS-over-HTTPS resolvers blocked (built in)", std::to_string(report.resolverEntries));
  line("tracked flows", std::to_string(report.trackedFlows));
  line("held flows", std::to_string(report.heldFlows));
  line("held packets", std::to_string(report.heldPackets));
  line("flows seen", std::to_string(report.flowsSeen));
  line("flows allowed", std::to_string(report.flowsAllowed));
  line("blocked by host name", std::to_string(report.blockedByHostName));
  line("blocked by TLS name", std::to_string(report.blockedByTLSName));
  line("UDP 443 drops", std::to_string(report.udp443Drops));
  line("resets", std::to_string(report.resets));
  line("fail-open events", std::to_string(report.failOpenEvents) + " (hold expired " +
                               std::to_string(report.failOpenHoldExpired) + ", limit reached " +
                               std::to_string(report.failOpenLimitReached) + ", no handshake " +
                               std::to_string(report.failOpenNoHandshake) + ")");
  line("HTTP flows named by Host", std::to_string(report.httpNamedByHost));
  line("HTTP flows waiting for their request", std::to_string(report.httpWaiting));
  line("HTTP flows judged without a name",
       std::to_string(report.httpUnnamedNotHttp + report.httpUnnamedHttp2 +
                      report.httpUnnamedMissingHost + report.httpUnnamedBadHost +
                      report.httpUnnamedHeadTooLarge + report.httpUnnamedClosedFirst +
                      report.httpUnnamedTimedOut) +
           " (not HTTP/1.x " + std::to_string(report.httpUnnamedNotHttp) + ", HTTP/2 " +
           std::to_string(report.httpUnnamedHttp2) + ", no Host " +
           std::to_string(report.httpUnnamedMissingHost) + ", bad Host " +
           std::to_string(report.httpUnnamedBadHost) + ", head too large " +
           std::to_string(report.httpUnnamedHeadTooLarge) + ", closed first " +
           std::to_string(report.httpUnnamedClosedFirst) + ", timed out " +
           std::to_string(report.httpUnnamedTimedOut) + ")");
  line("packets with a bad checksum ignored", std::to_string(report.badChecksums));
  line("connections with conflicting copies dropped", std::to_string(report.conflictingStreams));
  line("idle inspections dropped to make room", std::to_string(report.evictions));
  line("address pairs reused by a new connection, judged afresh",
       std::to_string(report.reopenedConnections));
  line("server packets that came in on the client's side, not believed",
       std::to_string(report.repliesFromClientSide));
  line("request bodies of port-80 connections passed unqueued but for their ends",
       std::to_string(report.bodiesPassed));
  line("long responses on port 80 whose server packets went unlogged until the next request",
       std::to_string(report.responsesPassed));
  line("pure ACKs and passing body segments of port-80 connections logged instead of queued",
       std::to_string(report.acksObserved) + " (lost " + std::to_string(report.ackLogLosses) +
           " times, connections reset for it " + std::to_string(report.droppedAckLogLost) + ")");
  line("connections reset for held data the server would no longer take",
       std::to_string(report.droppedStaleHeldData));
  line("connections reset for an unqueued ACK ahead of read data",
       std::to_string(report.droppedAckOvertook));
  line("connections reset for a request head longer than 64 KiB",
       std::to_string(report.droppedHttpHeadTooLarge));
  line("connections reset for a request method the filter cannot read",
       std::to_string(report.droppedHttpUnknownMethod));
  line("connections reset for a request the filter cannot read as a server may",
       std::to_string(report.droppedHttpMalformed));
  line("connections reset for a ClientHello longer than the filter reads",
       std::to_string(report.droppedTlsHelloTooLarge));
  line("HelloRetryRequests after an allowed ClientHello",
       std::to_string(report.helloRetries) + " (connections reset for a second hello naming " +
           "another server " + std::to_string(report.droppedTlsRetryNameChanged) + ")");
  line("new connections met with a full connection table",
       std::to_string(report.tableFull) + " (web ones dropped, failing closed, " +
           std::to_string(report.droppedTableFull) + ")");
  line("DNS answers read", std::to_string(report.dnsAnswersRead) + " (unreadable, passed " +
                               std::to_string(report.dnsAnswersUnparsed) + ")");
  line("DNS-over-TCP segments dropped for the server to send again",
       std::to_string(report.dnsTcpSegmentsDropped));
  line("ech parameters removed", std::to_string(report.echParametersRemoved));
  line("HTTPS record ports set to 443", std::to_string(report.httpsPortsRewritten));
  line("ClientHellos offering ECH (decoys too)", std::to_string(report.echClientHellos));
  line("encrypted-DNS canaries answered", std::to_string(report.canariesAnswered));
  line("port 853 drops", std::to_string(report.port853Drops));
  line("DNS-over-HTTPS resolver address drops (port 443)",
       std::to_string(report.resolverAddressDrops));
  line("iptables rules put back after another program took them out",
       std::to_string(report.rulesPutBack));
  line("subscribers", std::to_string(report.subscribers));
  line("uptime seconds", std::to_string(report.uptimeSeconds));
  return out;
}

ControlServer::ControlServer(std::filesystem::path socketPath, StatusSource& source,
                             ControlServerOptions options)
    : source_(source), options_(options), server_(std::move(socketPath), options.socketMode, 16) {
  server_.start([this] { run(); });
}

ControlServer::~ControlServer() { server_.stop(); }

void ControlServer::run() {
  while (!server_.stopping()) {
    pollfd fds[2] = {{server_.wakeFd(), POLLIN, 0}, {server_.listenFd(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents & POLLIN)
      server_.acceptPending([this](UniqueFd client) { serve(client.get()); });
  }
}

void ControlServer::serve(int fd) {
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
      peer.uid != options_.allowedUid) {
    refused_.fetch_add(1);
    return;
  }
  std::string request;
  if (!readLine(fd, request, 256, options_.clientTimeout)) return;
  if (!request.empty() && request.back() == '\r') request.pop_back();
  std::string answer;
  if (request == "status") {
    answer = encodeStatus(source_.status());
  } else {
    answer = "{\"error\":\"unknown request\"}";
  }
  answer.push_back('\n');
  writeAll(fd, answer, options_.clientTimeout);
}

StatusReport requestStatus(const std::filesystem::path& socketPath,
                           std::chrono::milliseconds timeout) {
  // That socket takes no requests: it would only time out.
  if (socketPath.filename() == kNotifySocketName) {
    throw std::runtime_error(socketPath.string() +
                             " is the filter's notification socket; status asks its control "
                             "socket, " +
                             std::string(kControlSocketName) + " beside it");
  }
  UniqueFd fd;
  try {
    fd = connectUnix(socketPath);
  } catch (const std::system_error& e) {
    if (e.code().value() == ENOENT || e.code().value() == ECONNREFUSED) {
      throw std::runtime_error("the filter is not running (no daemon at " + socketPath.string() +
                               ")");
    }
    if (e.code().value() == EACCES) {
      throw std::runtime_error("permission denied for " + socketPath.string() +
                               " (status needs root)");
    }
    throw std::runtime_error(e.what());
  }
  if (!writeAll(fd.get(), "status\n", timeout)) {
    throw std::runtime_error("cannot send the request to " + socketPath.string());
  }
  std::string answer;
  if (!readLine(fd.get(), answer, 64 * 1024, timeout)) {
    throw std::runtime_error("no answer from " + socketPath.string() +
                             " (status needs root; is the daemon busy?)");
  }
  std::string error;
  auto report = decodeStatus(answer, error);
  if (!report) throw std::runtime_error(error);
  return *report;
}

}  // namespace quillnest::linuxhost
