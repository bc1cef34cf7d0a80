// Replay throughput: the `replay` subcommand's entry point (libpcap reading, packet parsing, the
// flow engine, the real provider, the per-flow report) over a generated capture, in packets per
// second. The capture is written to a temporary directory at start: TCP 443 connections with real
// ClientHellos (a quarter of them browser-sized, about 1.9 KB, in two segments; half the names
// blocked), plain-HTTP connections to port 80 and UDP 443 datagrams; every TCP connection has its
// handshake and closes with FINs. The rules hold 1,000 domains, so decoding them stays a small
// part of each run. Rates are per CPU second of the one replaying thread: the machine may be
// shared, and wall time then measures the neighbours too.
//   build/bench/bench/replay_bench
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "bench/domain_names.h"
#include "hosts/replay/replay.h"
#include "rules/filter_rules.h"
#include "tests/replay/capture_writer.h"
#include "tests/support/client_hello.h"

namespace quillnest::bench {
namespace {

constexpr std::size_t kDomainCount = 1000;
constexpr std::size_t kHelloCount = 64;
// Flows per capture: TCP 443 connections, and an eighth as many of each of the other kinds. The
// sizes differ because the cost per packet grows with the connections the capture keeps open.
constexpr std::size_t kTlsConnectionCounts[] = {250, 1000, 4000};
constexpr std::size_t kSegmentSize = 1400;

struct Capture {
  std::size_t tlsConnections = 0;
  std::size_t httpConnections = 0;
  std::size_t udpDatagrams = 0;
  std::filesystem::path directory;
  std::string capturePath;
  std::string rulesPath;
  std::string rulesJSON;
  std::size_t packets = 0;
  std::size_t bytes = 0;
  std::size_t blockedTls = 0;

  ~Capture() {
    std::error_code ignored;
    if (!directory.empty()) std::filesystem::remove_all(directory, ignored);
  }
  std::size_t flows() const { return tlsConnections + httpConnections + udpDatagrams; }
};

struct Inputs {
  std::string rulesJSON;
  std::vector<std::string> hosts;  // even ones are blocked
  std::vector<testing::Bytes> hellos;
};

bool makeInputs(Inputs& inputs) {
  const std::vector<std::string> domains = makeDomains(kDomainCount);
  inputs.rulesJSON = encodeFilterRules(FilterRules(true, domains));
  inputs.hosts = makeHosts(domains, kHelloCount);
  for (std::size_t i = 0; i < kHelloCount; ++i) {
    testing::ClientHelloOptions options;
    options.serverName = inputs.hosts[i];
    options.alpn = {"h2", "http/1.1"};
    options.padding = true;
    // Browser-sized: about as large as a post-quantum key share makes it.
    if (i % 4 == 3) options.extraExtensions = {{0xfe0d, testing::Bytes(1400, 0x5a)}};
    inputs.hellos.push_back(testing::generateClientHello(options));
    if (inputs.hellos.back().empty()) return false;
  }
  return true;
}

std::string serverAddress(std::size_t i) { return "198.51.100." + std::to_string(i % 250 + 1); }

// Returns false (with a message) when the directory or a file cannot be written, or the capture
// does not replay with the expected verdicts.
bool writeCapture(const Inputs& inputs, std::size_t tlsConnections, Capture& capture) {
  capture.tlsConnections = tlsConnections;
  capture.httpConnections = tlsConnections / 8;
  capture.udpDatagrams = tlsConnections / 8;
  std::string pattern = (std::filesystem::temp_directory_path() / "quillnest-replay.XXXXXX");
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    return false;
  }
  capture.directory = pattern;
  capture.capturePath = capture.directory / "flows.pcap";
  capture.rulesPath = capture.directory / "rules.json";
  capture.rulesJSON = inputs.rulesJSON;
  const auto& hosts = inputs.hosts;
  const auto& hellos = inputs.hellos;

  testing::CaptureWriter writer;
  std::uint64_t micros = 0;
  std::uint16_t port = 10000;
  for (std::size_t i = 0; i < capture.tlsConnections; ++i) {
    const testing::Bytes& hello = hellos[i % kHelloCount];
    std::vector<testing::CaptureWriter::Segment> segments;
    for (std::size_t from = 0; from < hello.size(); from += kSegmentSize) {
      segments.push_back({from, std::min(hello.size(), from + kSegmentSize)});
    }
    micros = writer.tcpConnection(port++, serverAddress(i), 443, hello, segments, micros);
    if ((i % kHelloCount) % 2 == 0) ++capture.blockedTls;  // even hosts are blocked
  }
  for (std::size_t i = 0; i < capture.httpConnections; ++i) {
    const std::string request = "GET / HTTP/1.1\r\nHost: " + hosts[i % kHelloCount] +
                                "\r\nUser-Agent: bench\r\nAccept: */*\r\n\r\n";
    const testing::PacketBytes stream(request.begin(), request.end());
    micros =
        writer.tcpConnection(port++, serverAddress(i), 80, stream, {{0, stream.size()}}, micros);
  }
  for (std::size_t i = 0; i < capture.udpDatagrams; ++i) {
    micros = writer.udpDatagram(port++, serverAddress(i), 443, 1200, micros);
  }
  writer.write(capture.capturePath);
  std::ofstream(capture.rulesPath, std::ios::binary) << capture.rulesJSON;

  std::string error;
  const auto result = replay::replayCapture(capture.capturePath, capture.rulesJSON, error);
  if (!result) {
    std::fprintf(stderr, "generated capture not replayed: %s\n", error.c_str());
    return false;
  }
  const replay::ReplaySummary& s = result->summary;
  capture.packets = s.packets;
  capture.bytes = std::filesystem::file_size(capture.capturePath);
  std::printf(
      "capture: %llu packets, %.1f MB, %llu flows, %llu allowed, %llu dropped, %llu inspected, "
      "%llu failed open\n",
      static_cast<unsigned long long>(s.packets), static_cast<double>(capture.bytes) / 1e6,
      static_cast<unsigned long long>(s.flows), static_cast<unsigned long long>(s.allowed),
      static_cast<unsigned long long>(s.dropped), static_cast<unsigned long long>(s.inspected),
      static_cast<unsigned long long>(s.failOpen));
  // Every blocked hello and every UDP datagram must end dropped, or the run measures something
  // else than the filter at work.
  if (s.dropped < capture.blockedTls + capture.udpDatagrams ||
      s.inspected < capture.tlsConnections || s.failOpen != 0) {
    std::fprintf(stderr, "the generated capture did not get the expected verdicts\n");
    return false;
  }
  return true;
}

class DiscardBuffer final : public std::streambuf {
 protected:
  int overflow(int c) override { return c; }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

void BM_ReplaySubcommand(benchmark::State& state, const Capture* capture) {
  DiscardBuffer discard;
  std::ostream out(&discard);
  replay::ReplayOptions options;
  options.capturePath = capture->capturePath;
  options.rulesPath = capture->rulesPath;
  for (auto _ : state) {
    if (replay::runReplay(options, out, out) != 0) {
      state.SkipWithError("replay failed");
      break;
    }
  }
  const auto runs = static_cast<double>(state.iterations());
  state.counters["packets/s"] =
      benchmark::Counter(runs * static_cast<double>(capture->packets), benchmark::Counter::kIsRate);
  state.counters["MB/s"] = benchmark::Counter(runs * static_cast<double>(capture->bytes) / 1e6,
                                              benchmark::Counter::kIsRate);
  state.counters["flows/s"] =
      benchmark::Counter(runs * static_cast<double>(capture->flows()), benchmark::Counter::kIsRate);
}

}  // namespace
}  // namespace quillnest::bench

int main(int argc, char** argv) {
  using namespace quillnest::bench;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  Inputs inputs;
  if (!makeInputs(inputs)) return 1;
  std::vector<std::unique_ptr<Capture>> captures;
  for (std::size_t count : kTlsConnectionCounts) {
    captures.push_back(std::make_unique<Capture>());
    if (!writeCapture(inputs, count, *captures.back())) return 1;
    benchmark::RegisterBenchmark(
        ("BM_ReplaySubcommand/flows:" + std::to_string(captures.back()->flows())).c_str(),
        BM_ReplaySubcommand, captures.back().get())
        ->Unit(benchmark::kMillisecond);
  }
  FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nReplay, packets per second (CPU time)\n%8s %8s %14s\n", "flows", "packets",
              "packets/s");
  for (const auto& capture : captures) {
    const double rate = reporter.counter(
        "BM_ReplaySubcommand/flows:" + std::to_string(capture->flows()), "packets/s");
    if (rate > 0) std::printf("%8zu %8zu %14.0f\n", capture->flows(), capture->packets, rate);
  }
  benchmark::Shutdown();
  return 0;
}
