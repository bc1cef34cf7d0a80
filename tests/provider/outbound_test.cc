#include <gtest/gtest.h>

#include "tests/provider/provider_fixture.h"
#include "tests/support/client_hello.h"

namespace quillnest::testing {
namespace {

using VK = NEFilterDataVerdict::Kind;

struct Delivery {
  std::uint64_t offset;
  Bytes bytes;
};

struct OutboundCase {
  const char* name;
  bool enabled;
  std::vector<Delivery> deliveries;  // the last one is judged
  VK verdict;
  std::uint64_t peek;                    // for data verdicts
  std::optional<std::size_t> heldAfter;  // buffer length afterwards, none when no entry
  bool blockReport;
};
void PrintTo(const OutboundCase& c, std::ostream* os) { *os << c.name; }

Bytes realHello(const char* name) {
  return generateClientHello(helloOptions(TlsVersion::tls13, name));
}

// One record of exactly total bytes naming serverName, made to size with a padding extension.
Bytes helloOfSize(std::size_t total, std::string_view serverName) {
  const auto build = [&](std::size_t padding) {
    ClientHelloParts parts;
    parts.extensions = concat({serverNameExtension(serverName), extension(21, Bytes(padding))});
    return record(22, clientHelloMessage(parts));
  };
  Bytes hello = build(total - build(0).size());
  EXPECT_EQ(hello.size(), total);
  return hello;
}

Bytes slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

std::vector<OutboundCase> outboundCases() {
  const Bytes header{22, 3, 1, 2, 0};           // a 512-byte record
  const Bytes bigHeader{22, 3, 1, 0xFF, 0xFA};  // a 65,530-byte record ends at 65,535
  const Bytes limit = helloOfSize(65535, "www.Blocked.example");
  const Bytes hello517 = helloOfSize(517, "www.Blocked.example");
  const std::optional<std::size_t> gone;  // no entry left
  // clang-format off
  return {
      {"disabled_allows", false, {{0, header}}, VK::allow, 0, gone, false},
      {"header_asks_for_record", true, {{0, header}}, VK::data, 517, 5, false},
      {"rest_of_record_appended", true, {{0, header}, {5, Bytes(500, 1)}}, VK::data, 517, 505,
       false},
      {"restart_at_zero_abandons", true, {{0, header}, {0, header}}, VK::allow, 0, gone, false},
      {"gap_abandons", true, {{0, header}, {6, Bytes(3)}}, VK::allow, 0, gone, false},
      {"nonzero_first_offset_abandons", true, {{5, header}}, VK::allow, 0, gone, false},
      {"empty_first_delivery_creates_entry", true, {{0, {}}}, VK::data, 5, 0, false},
      {"http_request_allowed", true, {{0, bytesOf("GET / HTTP/1.1\r\n")}}, VK::allow, 0, gone,
       false},
      {"largest_record_held", true, {{0, bigHeader}, {5, Bytes(65529)}}, VK::data, 65535, 65534,
       false},
      // The largest buffer is parsed (a blocked name drops); one byte more is never parsed.
      {"limit_less_one_parsed", true, {{0, slice(limit, 0, 5)}, {5, slice(limit, 5, 65535)}},
       VK::drop, 0, gone, true},
      {"limit_reached_unparsed", true,
       {{0, slice(limit, 0, 5)}, {5, concat({slice(limit, 5, 65535), Bytes(1)})}},
       VK::allow, 0, gone, false},
      {"hello_prefix_asks_for_the_rest", true, {{0, slice(hello517, 0, 512)}}, VK::data, 517, 512,
       false},
      {"peeked_hello_judged_on_reparse", true,
       {{0, slice(hello517, 0, 512)}, {512, slice(hello517, 512, 517)}}, VK::drop, 0, gone, true},
      {"empty_server_name_allowed", true, {{0, helloOfSize(200, "")}}, VK::allow, 0, gone, false},
  };
  // clang-format on
}

class OutboundTableTest : public ProviderTest,
                          public ::testing::WithParamInterface<OutboundCase> {};

TEST_P(OutboundTableTest, VerdictAndBuffer) {
  const OutboundCase& c = GetParam();
  startWith(c.enabled, {"blocked.example", ""});  // an empty entry matches nothing
  const FlowRef flow = makeTLSFlow();
  provider->handleNewFlow(flow);
  DataVerdictRef verdict;
  for (const auto& d : c.deliveries) {
    if (verdict) {
      ASSERT_EQ(verdict->kind(), VK::data) << "only a peek is answered with more bytes";
      EXPECT_GT(verdict->peekBytes(), d.offset);
    }
    verdict = provider->handleOutboundDataFromFlow(flow, d.offset, asBytes(d.bytes));
  }
  ASSERT_NE(verdict, nullptr);
  EXPECT_EQ(verdict->kind(), c.verdict);
  if (c.verdict == VK::data) {
    EXPECT_EQ(verdict->passBytes(), 0u);
    EXPECT_EQ(verdict->peekBytes(), c.peek);
  }
  const auto held = provider->outboundBuffer(flow->identifier());
  EXPECT_EQ(held ? std::optional<std::size_t>(held->size()) : std::nullopt, c.heldAfter);
  if (c.blockReport) {
    EXPECT_EQ(logs(),
              (std::vector<LogRecord>{{LogLevel::debug,
                                       "Blocked TLS hostname: %{public}s",
                                       {LogArgument::publicString("www.blocked.example")}}}));
    EXPECT_EQ(host->notifications(), std::vector<std::string>{"com.quillnest.mac.blocked"});
  } else {
    EXPECT_TRUE(logs().empty());
    EXPECT_TRUE(host->notifications().empty());
  }
  EXPECT_TRUE(provider->hasActiveWebFlow(flow->identifier())) << "inspection never untracks";
}

INSTANTIATE_TEST_SUITE_P(Deliveries, OutboundTableTest, ::testing::ValuesIn(outboundCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProviderTest, BlocksWithDebugOffStillDropAndNotify) {
  startWith(true, {"blocked.example"});
  host->logger().setDebugEnabled(false);
  FlowShape named;
  named.remoteHostname = "blocked.example";
  EXPECT_EQ(provider->handleNewFlow(makeFlow(named))->kind(), NEFilterNewFlowVerdict::Kind::drop);
  const FlowRef flow = makeTLSFlow();
  provider->handleNewFlow(flow);
  EXPECT_EQ(provider->handleOutboundDataFromFlow(flow, 0, asBytes(realHello("www.Blocked.example")))
                ->kind(),
            VK::drop);
  EXPECT_FALSE(provider->outboundBuffer(flow->identifier()));
  EXPECT_TRUE(logs().empty());
  EXPECT_EQ(host->notifications(), std::vector<std::string>(2, "com.quillnest.mac.blocked"));
}

// Two flows' deliveries interleaved on one thread: each is judged on its own bytes.
TEST_F(ProviderTest, InterleavedFlowsJudgedOnTheirOwnBytes) {
  startWith(true, {"blocked.example"});
  const Bytes blocked = helloOfSize(517, "www.blocked.example");
  const Bytes allowed = helloOfSize(517, "www.allowed.example");
  const FlowRef first = makeTLSFlow();
  const FlowRef second = makeTLSFlow();
  for (const FlowRef& flow : {first, second}) provider->handleNewFlow(flow);
  provider->handleOutboundDataFromFlow(first, 0, asBytes(slice(blocked, 0, 512)));
  provider->handleOutboundDataFromFlow(second, 0, asBytes(slice(allowed, 0, 512)));
  EXPECT_EQ(
      provider->handleOutboundDataFromFlow(first, 512, asBytes(slice(blocked, 512, 517)))->kind(),
      VK::drop);
  EXPECT_EQ(
      provider->handleOutboundDataFromFlow(second, 512, asBytes(slice(allowed, 512, 517)))->kind(),
      VK::allow);
}

TEST_F(ProviderTest, DisabledDeliveryKeepsTheEntryAndCompleteRemovesIt) {
  startWith(true, {});
  const FlowRef flow = makeTLSFlow();
  EXPECT_EQ(provider->handleOutboundDataCompleteForFlow(flow)->kind(), VK::allow);
  const Bytes header{22, 3, 1, 2, 0};
  provider->handleOutboundDataFromFlow(flow, 0, asBytes(header));
  host->changeRulesJSON(rulesJSON(false, {}));
  EXPECT_EQ(provider->handleOutboundDataFromFlow(flow, 5, asBytes(header))->kind(), VK::allow);
  EXPECT_EQ(provider->outboundBuffer(flow->identifier())->size(), 5u);
  EXPECT_EQ(provider->handleOutboundDataCompleteForFlow(flow)->kind(), VK::allow);
  EXPECT_EQ(provider->outboundBufferCount(), 0u);
}

// Feeds a whole first flight the way a host may: returns the final verdict and the number of
// deliveries it took.
enum class Split { whole, bytewise, asThePeeksAsk };

DataVerdictRef feed(FilterDataProvider& provider, const FlowRef& flow, const Bytes& flight,
                    Split split) {
  std::size_t offset = 0;
  std::size_t want = split == Split::asThePeeksAsk ? 5 : 1;
  while (true) {
    std::size_t size = flight.size() - offset;
    if (split == Split::bytewise) size = std::min<std::size_t>(1, size);
    if (split == Split::asThePeeksAsk) size = std::min(want - offset, size);
    const std::span<const std::uint8_t> piece(flight.data() + offset, size);
    DataVerdictRef verdict = provider.handleOutboundDataFromFlow(flow, offset, piece);
    offset += size;
    if (verdict->kind() != VK::data) return verdict;
    EXPECT_GT(verdict->peekBytes(), offset);
    if (offset >= flight.size()) return verdict;
    want = verdict->peekBytes();
  }
}

TEST_F(ProviderTest, RealClientHellosInEverySplit) {
  const std::string longBlocked = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                  std::string(63, 'c') + ".blocked.example";
  ClientHelloOptions smallRecords = helloOptions(TlsVersion::tls13, "blocked.example", 512);
  smallRecords.alpn = {"h2", "http/1.1"};
  smallRecords.padding = true;
  const std::pair<ClientHelloOptions, VK> cases[] = {
      {helloOptions(TlsVersion::tls13, "blocked.example"), VK::drop},
      {helloOptions(TlsVersion::tls12, "a.blocked.example"), VK::drop},
      {helloOptions(TlsVersion::tls13, "notblocked.example"), VK::allow},
      {helloOptions(TlsVersion::tls13, std::nullopt), VK::allow},
      {helloOptions(TlsVersion::tls13, longBlocked), VK::drop},
      {smallRecords, VK::drop},
  };
  startWith(true, {"blocked.example"});
  for (const auto& [options, expected] : cases) {
    const Bytes flight = generateClientHello(options);
    ASSERT_FALSE(flight.empty());
    for (Split split : {Split::whole, Split::bytewise, Split::asThePeeksAsk}) {
      const FlowRef flow = makeTLSFlow();
      provider->handleNewFlow(flow);
      EXPECT_EQ(feed(*provider, flow, flight, split)->kind(), expected)
          << options.serverName.value_or("no name") << " split " << static_cast<int>(split);
      EXPECT_FALSE(provider->outboundBuffer(flow->identifier()));
    }
  }
  EXPECT_EQ(host->notifications().size(), 12u) << "one per blocked flow";
}

}  // namespace
}  // namespace quillnest::testing
