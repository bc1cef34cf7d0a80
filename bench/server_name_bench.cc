// extractServerName against nDPI's TLS dissection on the same ClientHello bytes, in one run.
// nDPI is loaded at run time (libndpi.so.4.2 from libndpi-dev), so the benchmark still measures our
// reader where the library is missing. nDPI gets each hello as one IPv4/TCP packet of a fresh flow,
// which is what a first ClientHello costs it; we get the TCP payload, as the provider does.
//   build/bench/bench/server_name_bench [--benchmark_filter=...]
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "inspection/server_name.h"
#include "tests/support/client_hello.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#include <ndpi/ndpi_api.h>
#pragma GCC diagnostic pop

namespace {

using quillnest::testing::Bytes;
using quillnest::testing::ClientHelloOptions;
using quillnest::testing::TlsVersion;

// The few nDPI entry points used, resolved from the shared library.
struct Ndpi {
  decltype(&ndpi_init_detection_module) init = nullptr;
  decltype(&ndpi_set_protocol_detection_bitmask2) setBitmask = nullptr;
  decltype(&ndpi_finalize_initialization) finalize = nullptr;
  decltype(&ndpi_detection_process_packet) process = nullptr;
  decltype(&ndpi_free_flow_data) freeFlowData = nullptr;
  decltype(&ndpi_exit_detection_module) exit = nullptr;

  static std::unique_ptr<Ndpi> load() {
    void* handle = dlopen("libndpi.so.4.2", RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "nDPI not loaded (%s): measuring our reader only\n", dlerror());
      return nullptr;
    }
    auto ndpi = std::make_unique<Ndpi>();
    bool ok = true;
    auto resolve = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(handle, name));
      ok = ok && fn != nullptr;
    };
    resolve(ndpi->init, "ndpi_init_detection_module");
    resolve(ndpi->setBitmask, "ndpi_set_protocol_detection_bitmask2");
    resolve(ndpi->finalize, "ndpi_finalize_initialization");
    resolve(ndpi->process, "ndpi_detection_process_packet");
    resolve(ndpi->freeFlowData, "ndpi_free_flow_data");
    resolve(ndpi->exit, "ndpi_exit_detection_module");
    if (!ok) {
      std::fprintf(stderr, "nDPI lacks an expected symbol: measuring our reader only\n");
      return nullptr;
    }
    return ndpi;
  }
};

// One detection module per protocol set, kept for the whole run.
struct NdpiModule {
  const Ndpi* api;
  ndpi_detection_module_struct* module;
  std::vector<std::uint8_t> flowStorage = std::vector<std::uint8_t>(SIZEOF_FLOW_STRUCT);

  ndpi_flow_struct* flow() { return reinterpret_cast<ndpi_flow_struct*>(flowStorage.data()); }

  // A fresh flow sees one packet; returns the name nDPI read, if any.
  std::string serverNameOf(const Bytes& packet) {
    std::memset(flowStorage.data(), 0, flowStorage.size());
    api->process(module, flow(), packet.data(), static_cast<unsigned short>(packet.size()), 1000);
    std::string name = flow()->host_server_name;
    api->freeFlowData(flow());
    return name;
  }
};

NdpiModule* makeModule(const Ndpi& api, bool tlsOnly) {
  ndpi_detection_module_struct* module = api.init(ndpi_no_prefs);
  if (module == nullptr) return nullptr;
  NDPI_PROTOCOL_BITMASK all;
  if (tlsOnly) {
    NDPI_BITMASK_RESET(all);
    NDPI_ADD_PROTOCOL_TO_BITMASK(all, NDPI_PROTOCOL_TLS);
  } else {
    NDPI_BITMASK_SET_ALL(all);
  }
  api.setBitmask(module, &all);
  api.finalize(module);
  return new NdpiModule{&api, module};
}

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

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        // CPU time: the machine may be shared, and wall time then mostly measures the others.
        nanoseconds_[run.benchmark_name()] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatios(const std::vector<Hello>& cases) const {
    std::printf("\nCPU time per ClientHello\n%-34s %12s %14s %14s %10s %10s\n", "ClientHello",
                "ours ns", "nDPI TLS ns", "nDPI all ns", "TLS/ours", "all/ours");
    for (const Hello& hello : cases) {
      const double ours = find("ours/" + hello.name);
      const double tls = find("ndpi_tls_only/" + hello.name);
      const double all = find("ndpi_all_protocols/" + hello.name);
      if (ours <= 0) continue;
      if (tls <= 0 || all <= 0) {
        std::printf("%-34s %12.1f %14s %14s\n", hello.name.c_str(), ours, "n/a", "n/a");
        continue;
      }
      std::printf("%-34s %12.1f %14.1f %14.1f %9.1fx %9.1fx\n", hello.name.c_str(), ours, tls, all,
                  tls / ours, all / ours);
    }
  }

 private:
  double find(const std::string& name) const {
    const auto it = nanoseconds_.find(name);
    return it == nanoseconds_.end() ? -1.0 : it->second;
  }
  std::map<std::string, double> nanoseconds_;
};

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

  const std::unique_ptr<Ndpi> ndpi = Ndpi::load();
  std::vector<std::unique_ptr<NdpiModule>> modules;
  if (ndpi) {
    for (bool tlsOnly : {true, false}) {
      std::unique_ptr<NdpiModule> module(makeModule(*ndpi, tlsOnly));
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
  }

  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios(cases);
  for (const auto& module : modules) ndpi->exit(module->module);
  benchmark::Shutdown();
  return 0;
}
