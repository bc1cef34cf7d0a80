// extractServerName against nDPI's TLS dissection on the same ClientHello bytes, in one run.
// nDPI comes from libndpi-dev through pkg-config; a build without it measures our reader alone.
// nDPI gets each hello as one IPv4/TCP packet of a fresh flow, which is what a first ClientHello
// costs it; we get the TCP payload, as the provider does.
//   build/bench/bench/server_name_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "inspection/server_name.h"
#include "tests/support/client_hello.h"

#if QUILLNEST_HAVE_NDPI
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <ndpi_api.h>
#pragma GCC diagnostic pop
#endif

namespace {

using quillnest::testing::Bytes;
using quillnest::testing::ClientHelloOptions;
using quillnest::testing::TlsVersion;

#if QUILLNEST_HAVE_NDPI
// One detection module per protocol set, kept for the whole run.
struct NdpiModule {
  ndpi_detection_module_struct* module;
  std::vector<std::uint8_t> flowStorage = std::vector<std::uint8_t>(SIZEOF_FLOW_STRUCT);

  ndpi_flow_struct* flow() { return reinterpret_cast<ndpi_flow_struct*>(flowStorage.data()); }

  // A fresh flow sees one packet; returns the name nDPI read, if any.
  std::string serverNameOf(const Bytes& packet) {
    std::memset(flowStorage.data(), 0, flowStorage.size());
    ndpi_detection_process_packet(module, flow(), packet.data(),
                                  static_cast<unsigned short>(packet.size()), 1000);
    std::string name = flow()->host_server_name;
    ndpi_free_flow_data(flow());
    return name;
  }
};

NdpiModule* makeModule(bool tlsOnly) {
  ndpi_detection_module_struct* module = ndpi_init_detection_module(ndpi_no_prefs);
  if (module == nullptr) return nullptr;
  NDPI_PROTOCOL_BITMASK all;
  if (tlsOnly) {
    NDPI_BITMASK_RESET(all);
    NDPI_ADD_PROTOCOL_TO_BITMASK(all, NDPI_PROTOCOL_TLS);
  } else {
    NDPI_BITMASK_SET_ALL(all);
  }
  ndpi_set_protocol_detection_bitmask2(module, &all);
  ndpi_finalize_initialization(module);
  return new NdpiModule{module};
}
#endif

void appendU16(Bytes& out, std::size_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

// IPv4 and TCP headers (PSH|ACK, 10.0.0.1:40000 -> 10.0.0.2:443) around the payload.
Bytes ipv4TcpPacket(const Bytes& payload) {
  Bytes p = {0x45, 0x00};
  appendU16(p, 40 + payload.size());
  p.insert(p.end(), {0x12, 0x34, 0x40, 0x00, 64, 6, 0x00, 0x00, 10, 0, 0, 1, 10, 0, 0, 2});
  appendU16(p, 40000);
  appendU16(p, 443);
  p.insert(p.end(), {0, 0, 0, 1, 0, 0, 0, 1, 0x50, 0x18, 0xFF, 0xFF, 0, 0, 0, 0});
  p.insert(p.end(), payload.begin(), payload.end());
  return p;
}

struct Hello {
  std::string name;
  Bytes payload;
  Bytes packet;
};

std::vector<Hello> hellos() {
  std::vector<Hello> out;
  auto add = [&](std::string name, ClientHelloOptions o) {
    Bytes payload = quillnest::testing::generateClientHello(o);
    Bytes packet = ipv4TcpPacket(payload);
    out.push_back({std::move(name), std::move(payload), std::move(packet)});
  };
  ClientHelloOptions o;
  o.serverName = "www.example.com";
  add("tls13", o);
  o.version = TlsVersion::tls12;
  add("tls12", o);
  o.version = TlsVersion::tls13;
  o.alpn = {"h2", "http/1.1"};
  o.padding = true;
  o.serverName = "static.assets.cdn.example.net";
  add("tls13_alpn_padded", o);
  o.groups = "ffdhe8192:X25519";  // about the size of a post-quantum browser hello
  add("tls13_large_key_share", o);
  o.maxSendFragment = 512;
  add("tls13_large_in_512_byte_records", o);
  return out;
}

// CPU time per hello: the machine may be shared, and wall time then mostly measures the others.
void printRatios(const quillnest::bench::FigureReporter& reporter,
                 const std::vector<Hello>& cases) {
  auto cpuNs = [&](const std::string& name) {
    const auto* figures = reporter.find(name);
    return figures == nullptr ? -1.0 : figures->cpuNs;
  };
  std::printf(
      "\nCPU time per ClientHello; goal: ours >= 5x faster than nDPI\n%-34s %10s %12s %12s %9s "
      "%9s %7s\n",
      "ClientHello", "ours ns", "nDPI TLS ns", "nDPI all ns", "TLS/ours", "all/ours", "goal");
  for (const Hello& hello : cases) {
    const double ours = cpuNs("ours/" + hello.name);
    const double tls = cpuNs("ndpi_tls_only/" + hello.name);
    const double all = cpuNs("ndpi_all_protocols/" + hello.name);
    if (ours <= 0) continue;
    if (tls <= 0 || all <= 0) {
      std::printf("%-34s %10.1f %12s %12s\n", hello.name.c_str(), ours, "n/a", "n/a");
      continue;
    }
    std::printf("%-34s %10.1f %12.1f %12.1f %8.1fx %8.1fx %7s\n", hello.name.c_str(), ours, tls,
                all, tls / ours, all / ours, quillnest::bench::goalText(true, tls / ours >= 5));
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  const std::vector<Hello> cases = hellos();
  for (const Hello& hello : cases) {
    const auto result = quillnest::extractServerName(hello.payload);
    if (result.kind() != quillnest::ServerNameResult::Kind::found) {
      std::fprintf(stderr, "%s: our reader found no name\n", hello.name.c_str());
      return 1;
    }
    benchmark::RegisterBenchmark(("ours/" + hello.name).c_str(), [&hello](benchmark::State& state) {
      for (auto _ : state) {
        auto r = quillnest::extractServerName(hello.payload);
        benchmark::DoNotOptimize(r);
      }
      state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * hello.payload.size()));
    });
  }

#if QUILLNEST_HAVE_NDPI
  std::vector<std::unique_ptr<NdpiModule>> modules;
  for (bool tlsOnly : {true, false}) {
    std::unique_ptr<NdpiModule> module(makeModule(tlsOnly));
    if (!module) {
      std::fprintf(stderr, "nDPI detection module not created\n");
      break;
    }
    const std::string prefix = tlsOnly ? "ndpi_tls_only/" : "ndpi_all_protocols/";
    for (const Hello& hello : cases) {
      const std::string expected = quillnest::extractServerName(hello.payload).hostName();
      const std::string seen = module->serverNameOf(hello.packet);
      if (seen != expected) {
        // Not comparable: nDPI would not have read this hello from one packet.
        std::fprintf(stderr, "%s%s: nDPI read \"%s\", not \"%s\"; skipped\n", prefix.c_str(),
                     hello.name.c_str(), seen.c_str(), expected.c_str());
        continue;
      }
      NdpiModule* m = module.get();
      benchmark::RegisterBenchmark((prefix + hello.name).c_str(),
                                   [m, &hello](benchmark::State& state) {
                                     for (auto _ : state) {
                                       auto name = m->serverNameOf(hello.packet);
                                       benchmark::DoNotOptimize(name);
                                     }
                                   });
    }
    modules.push_back(std::move(module));
  }
#else
  std::fprintf(stderr, "built without nDPI (libndpi-dev): measuring our reader only\n");
#endif

  quillnest::bench::FigureReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  printRatios(reporter, cases);
#if QUILLNEST_HAVE_NDPI
  for (const auto& module : modules) ndpi_exit_detection_module(module->module);
#endif
  benchmark::Shutdown();
  return 0;
}
