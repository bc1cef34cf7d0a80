// Writes the capture that scripts/bench.sh replays beside ndpiReader: TLS connections to port 443
// over Ethernet, each with its handshake, a browser-sized ClientHello (about 1.9 KB, in two
// segments; half the names blocked) and FINs both ways, plus the rules file they are judged by
// (1,000 domains). 20,000 connections make about 48 MB.
//   build/bench/bench/replay_capture DIR [CONNECTIONS]   (writes DIR/flows.pcap, DIR/rules.json)
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/domain_names.h"
#include "rules/filter_rules.h"
#include "tests/replay/capture_writer.h"
#include "tests/support/client_hello.h"

namespace {

constexpr std::size_t kDomainCount = 1000;
constexpr std::size_t kHelloCount = 64;
constexpr std::size_t kSegmentSize = 1400;
constexpr std::uint32_t kEthernet = 1;

}  // namespace

int main(int argc, char** argv) {
  using namespace quillnest;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: %s DIR [CONNECTIONS]\n", argv[0]);
    return 2;
  }
  const std::filesystem::path directory = argv[1];
  const long connections = argc == 3 ? std::strtol(argv[2], nullptr, 10) : 20000;
  // Client ports run from 10,000 up, one per connection.
  if (connections < 1 || connections > 55000) {
    std::fprintf(stderr, "CONNECTIONS must be 1 to 55000\n");
    return 2;
  }
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    std::fprintf(stderr, "cannot create %s: %s\n", directory.c_str(), error.message().c_str());
    return 1;
  }

  const std::vector<std::string> domains = bench::makeDomains(kDomainCount);
  const std::vector<std::string> hosts = bench::makeHosts(domains, kHelloCount);
  std::vector<testing::Bytes> hellos;
  for (const std::string& host : hosts) {
    testing::ClientHelloOptions options;
    options.serverName = host;
    options.alpn = {"h2", "http/1.1"};
    options.padding = true;
    // About as large as a post-quantum key share makes a browser's.
    options.extraExtensions = {{0xfe0d, testing::Bytes(1620, 0x5a)}};
    hellos.push_back(testing::generateClientHello(options));
    if (hellos.back().empty()) {
      std::fprintf(stderr, "OpenSSL made no ClientHello for %s\n", host.c_str());
      return 1;
    }
  }

  testing::CaptureWriter writer(kEthernet);
  std::uint64_t micros = 0;
  for (long i = 0; i < connections; ++i) {
    const testing::Bytes& hello = hellos[static_cast<std::size_t>(i) % kHelloCount];
    std::vector<testing::CaptureWriter::Segment> segments;
    for (std::size_t from = 0; from < hello.size(); from += kSegmentSize) {
      segments.push_back({from, std::min(hello.size(), from + kSegmentSize)});
    }
    micros = writer.tcpConnection(static_cast<std::uint16_t>(10000 + i),
                                  "198.51.100." + std::to_string(i % 250 + 1), 443, hello, segments,
                                  micros);
  }
  const std::string capturePath = directory / "flows.pcap";
  const std::string rulesPath = directory / "rules.json";
  writer.write(capturePath);
  std::ofstream(rulesPath, std::ios::binary) << encodeFilterRules(FilterRules(true, domains));
  if (!std::filesystem::exists(rulesPath) || std::filesystem::file_size(capturePath, error) == 0 ||
      error) {
    std::fprintf(stderr, "cannot write %s\n", directory.c_str());
    return 1;
  }
  std::printf("capture: %ld TLS connections, %.1f MB in %s\n", connections,
              static_cast<double>(std::filesystem::file_size(capturePath)) / 1e6,
              capturePath.c_str());
  return 0;
}
