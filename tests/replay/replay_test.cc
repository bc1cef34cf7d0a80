#include "hosts/replay/replay.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <tuple>

#include "tests/replay/capture_writer.h"

namespace quillnest::replay {
namespace {

using testing::CaptureWriter;

std::string tempPath(const std::string& name) {
  return ::testing::TempDir() + "quillnest_replay_" + name;
}

constexpr char kRules[] = R"({"isEnabled": true, "domains": ["blocked.example"]})";

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(rules) << kRules; }

  // The known-verdict capture: blocked name, allowed name, reordered and retransmitted blocked
  // hello, UDP 443, plain HTTP on port 80 with a blocked Host (in two segments) and without Host.
  CaptureWriter scenario(std::uint32_t linkType = 101) {
    CaptureWriter w(linkType);
    const auto blocked = testing::makeClientHello("www.blocked.example", 1500);
    const auto allowed = testing::makeClientHello("www.example.org", 1500);
    std::uint64_t t = 0;
    t = w.tcpConnection(40001, "198.51.100.1", 443, blocked, {{0, 1400}, {1400, blocked.size()}},
                        t);
    t = w.tcpConnection(40002, "198.51.100.2", 443, allowed, {{0, 1400}, {1400, allowed.size()}},
                        t);
    t = w.tcpConnection(40003, "198.51.100.3", 443, blocked,
                        {{1000, blocked.size()}, {0, 1000}, {0, 1000}, {500, 1200}}, t);
    t = w.udpDatagram(40004, "198.51.100.4", 443, 1200, t);
    const std::string get = "GET / HTTP/1.1\r\nHost: www.blocked.example\r\n\r\n";
    t = w.tcpConnection(40005, "198.51.100.5", 80, {get.begin(), get.end()},
                        {{0, 20}, {20, get.size()}}, t);
    const std::string anonymous = "GET / HTTP/1.0\r\n\r\n";
    t = w.tcpConnection(40006, "198.51.100.6", 80, {anonymous.begin(), anonymous.end()},
                        {{0, anonymous.size()}}, t);
    return w;
  }

  int run(const std::string& capture, std::string& out, std::string& err, bool json = false) {
    std::ostringstream o, e;
    const int rc = runReplay({capture, rules, json}, o, e);
    out = o.str();
    err = e.str();
    return rc;
  }

  std::string rules = tempPath("rules.json");
};

TEST_F(ReplayTest, KnownVerdictsOverEveryLinkTypeAsTextAndJson) {
  struct Expected {
    std::string protocol, remote, serverName, verdict, why;  // why: "" unchecked
  };
  const Expected expected[] = {
      {"tcp", "198.51.100.1:443", "www.blocked.example", "drop", "blocked TLS server name"},
      {"tcp", "198.51.100.2:443", "www.example.org", "allow", ""},
      {"tcp", "198.51.100.3:443", "www.blocked.example", "drop", ""},
      {"udp", "198.51.100.4:443", "", "drop", "UDP to 443 without a host name"},
      {"tcp", "198.51.100.5:80", "www.blocked.example", "drop", "blocked HTTP Host"},
      {"tcp", "198.51.100.6:80", "", "allow", "no HTTP Host (allowed)"},
  };
  const std::string path = tempPath("scenario.pcap");
  for (std::uint32_t linkType : {1u, 101u, CaptureWriter::kPktap}) {
    scenario(linkType).write(path);
    std::string error;
    const auto result = replayCapture(path, kRules, error);
    ASSERT_TRUE(result) << error;
    ASSERT_EQ(result->flows.size(), std::size(expected));
    for (std::size_t i = 0; i < std::size(expected); ++i) {
      const ReplayFlow& f = result->flows[i];
      const Expected& want = expected[i];
      EXPECT_EQ(std::tie(f.protocol, f.remote, f.serverName, f.verdict),
                std::tie(want.protocol, want.remote, want.serverName, want.verdict))
          << i << " " << f.why;
      EXPECT_EQ(want.why.empty() ? "" : f.why, want.why) << i;
    }
    EXPECT_EQ(result->flows[0].outcome, "droppedAfterInspection");
    EXPECT_EQ(result->summary.dropped, 4u);
    EXPECT_EQ(result->summary.blockNotifications, 3u);
    EXPECT_EQ(result->summary.failOpen, 0u);
    EXPECT_EQ(result->summary.unparseable, 0u);
  }
  std::string out, err;
  ASSERT_EQ(run(path, out, err), 0) << err;
  EXPECT_NE(out.find("tcp 198.51.100.1:443 www.blocked.example drop (blocked TLS server name)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("summary: "), std::string::npos);
  EXPECT_EQ(err, "");
  ASSERT_EQ(run(path, out, err, true), 0) << err;
  EXPECT_EQ(out.rfind("{\"flows\":[{\"time\":", 0), 0u) << out;
  EXPECT_NE(out.find("\"serverName\":\"www.example.org\",\"verdict\":\"allow\""),
            std::string::npos);
  EXPECT_NE(out.find("\"dropped\":4"), std::string::npos);
}

// A capture that kept only each frame's first 96 bytes (tcpdump -s 96): the ClientHellos are cut,
// so those flows cannot be judged and must not read as allowed by the rules; what the kept bytes
// do hold (short HTTP heads, a UDP datagram's port) is judged as usual.
TEST_F(ReplayTest, PacketsCutByTheSnapshotLengthAreNotJudgedAndSaidSo) {
  const std::string path = tempPath("cut.pcap");
  const std::string notJudged = "not judged: the capture cut its packets short";
  for (const auto& [linkType, pcapng] : {std::pair{101u, false}, std::pair{1u, true}}) {
    CaptureWriter w = scenario(linkType);
    w.cutAt(96);
    w.write(path, pcapng);
    std::string error;
    const auto result = replayCapture(path, kRules, error);
    ASSERT_TRUE(result) << error;
    std::vector<std::pair<std::string, std::string>> got;
    for (const ReplayFlow& f : result->flows) got.emplace_back(f.verdict, f.why);
    const std::vector<std::pair<std::string, std::string>> want = {
        {"allow", notJudged},          {"allow", notJudged},
        {"allow", notJudged},          {"drop", "UDP to 443 without a host name"},
        {"drop", "blocked HTTP Host"}, {"allow", "no HTTP Host (allowed)"},
    };
    EXPECT_EQ(got, want) << linkType;
    EXPECT_EQ(result->summary.snapLength, 96u);
    EXPECT_EQ(result->summary.unparseable, 0u);
    // Every segment of the three hellos (two, two and four), and the datagram.
    EXPECT_EQ(result->summary.cutShort, 9u);
  }
  std::string out, err;
  ASSERT_EQ(run(path, out, err), 0) << err;
  EXPECT_NE(err.find("9 packets of " + path +
                     " were cut short by the capture (snapshot length 96 bytes)"),
            std::string::npos)
      << err;
  EXPECT_NE(out.find("(0 not TCP/UDP over IP, 9 cut short by the capture)"), std::string::npos)
      << out;
  ASSERT_EQ(run(path, out, err, true), 0);
  EXPECT_NE(out.find("\"cutShort\":9"), std::string::npos) << out;
}

// Captures of macOS tcpdump on pktap: a frame whose Apple header does not lead to IP is skipped and
// counted, the rest replays.
TEST_F(ReplayTest, PktapHeadersThatLeadNowhereAreSkipped) {
  auto bytes = scenario(CaptureWriter::kPktap).bytes();
  std::vector<std::size_t> frames;  // where each frame starts
  for (std::size_t at = 24; at + 16 <= bytes.size();) {
    frames.push_back(at + 16);
    at += 16 + (bytes[at + 8] | bytes[at + 9] << 8);
  }
  auto put = [&](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  // The last connection's four last frames: a header longer than the frame, no packet following,
  // a PKTAP header inside a PKTAP one, a link type we do not read.
  const std::size_t last = frames.size() - 4;
  put(frames[last], 100000);
  put(frames[last + 1] + 4, 2);
  put(frames[last + 2] + 8, CaptureWriter::kPktap);
  put(frames[last + 3] + 8, 105);
  const std::string path = tempPath("pktap.pcap");
  std::ofstream(path, std::ios::binary) << std::string(bytes.begin(), bytes.end());
  std::string error;
  const auto result = replayCapture(path, kRules, error);
  ASSERT_TRUE(result) << error;
  EXPECT_EQ(result->summary.unparseable, 4u);
  ASSERT_EQ(result->flows.size(), 6u);
  EXPECT_EQ(result->flows[0].verdict, "drop");
  EXPECT_EQ(result->flows[4].why, "blocked HTTP Host");
}

TEST_F(ReplayTest, BadCapturesGiveClearErrors) {
  const auto good = scenario().bytes();
  struct Case {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::string expect;
  };
  auto truncated = good;
  truncated.resize(good.size() - 30);  // inside the last packet
  auto badHeader = good;
  badHeader[24 + 8] = 0xff;  // first record's captured length: far beyond the snap length
  badHeader[24 + 9] = 0xff;
  badHeader[24 + 10] = 0xff;
  auto foreign = good;
  foreign[20] = 105;  // IEEE 802.11
  const std::vector<Case> cases = {
      {"missing", {}, "cannot read capture"},
      {"not_a_capture", std::vector<std::uint8_t>(14, 'h'), "cannot read capture"},
      {"truncated", truncated, "at packet"},
      {"bad_record_header", badHeader, "at packet 1"},
      {"foreign_link_type", foreign, "unsupported link type 105"},
  };
  for (const Case& c : cases) {
    const std::string path = tempPath(c.name + ".pcap");
    std::remove(path.c_str());
    if (c.name != "missing")
      std::ofstream(path, std::ios::binary) << std::string(c.bytes.begin(), c.bytes.end());
    std::string out, err;
    EXPECT_EQ(run(path, out, err), 1) << c.name;
    EXPECT_NE(err.find(c.expect), std::string::npos) << c.name << ": " << err;
  }
  std::ostringstream devnull;
  EXPECT_EQ(
      runReplay({tempPath("missing.pcap"), tempPath("no_rules.json"), false}, devnull, devnull), 1);
}

}  // namespace
}  // namespace quillnest::replay
