#include "hosts/linux/control/control_server.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>

#include "hosts/linux/control/control_plane.h"
#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using namespace std::chrono_literals;
using testing::TempDir;

StatusReport sampleReport() {
  StatusReport report;
  report.version = "0.1.0";
  report.rulesFile = "/etc/quillnest/filter-rules.json";
  report.rulesEnabled = true;
  report.failClosed = true;
  report.ruleEntries = 3;
  report.flowsSeen = 1000;
  report.httpUnnamedTimedOut = 3;
  report.uptimeSeconds = 86400;
  return report;
}

class FixedStatus final : public StatusSource {
 public:
  explicit FixedStatus(StatusReport report) : report_(std::move(report)) {}
  StatusReport status() override {
    ++calls;
    return report_;
  }
  std::atomic<int> calls{0};

 private:
  StatusReport report_;
};

ControlServerOptions asThisUser() {
  ControlServerOptions options;
  options.allowedUid = ::geteuid();
  options.clientTimeout = 300ms;
  return options;
}

TEST(StatusProtocol, EncodeDecodeRoundTrip) {
  StatusReport report = sampleReport();
  report.rulesFile = "/tmp/odd \"name\"\\\n.json";
  report.flowsSeen = UINT64_MAX;
  std::string error;
  const auto decoded = decodeStatus(encodeStatus(report), error);
  ASSERT_TRUE(decoded.has_value()) << error;
  EXPECT_EQ(*decoded, report);
  EXPECT_EQ(encodeStatus(report).find('\n'), std::string::npos);
}

TEST(StatusProtocol, BadAnswersAreErrorsNotReports) {
  struct Case {
    std::string answer;
    std::string errorPart;
  };
  const std::vector<Case> cases = {
      {"", "not JSON"},
      {"{\"flowsSeen\":", "not JSON"},
      {"[1,2]", "not a JSON object"},
      {R"({"error":"unknown request"})", "unknown request"},
      {R"({"flowsSeen":-1})", "\"flowsSeen\" is not a count"},
      {R"({"resets":"many"})", "\"resets\" is not a count"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer);
    std::string error;
    EXPECT_FALSE(decodeStatus(c.answer, error).has_value());
    EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
  }
  std::string error;
  const auto older = decodeStatus(R"({"flowsSeen":5,"newField":[1]})", error);
  ASSERT_TRUE(older.has_value()) << error;
  EXPECT_EQ(older->flowsSeen, 5u);
  EXPECT_EQ(older->resets, 0u);
}

TEST(ControlServer, StatusRoundTripOverTheSocket) {
  TempDir dir;
  FixedStatus source(sampleReport());
  ControlServer server(dir / "control.sock", source, asThisUser());
  struct stat st {};
  ASSERT_EQ(::stat((dir / "control.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(requestStatus(dir / "control.sock"), sampleReport());
  EXPECT_EQ(requestStatus(dir / "control.sock"), sampleReport());
  EXPECT_EQ(source.calls.load(), 2);
}

TEST(ControlServer, PeerWithAnotherUidGetsNoAnswer) {
  TempDir dir;
  FixedStatus source(sampleReport());
  ControlServerOptions options = asThisUser();
  options.allowedUid = ::geteuid() + 1;
  ControlServer server(dir / "control.sock", source, options);
  EXPECT_THROW(requestStatus(dir / "control.sock", 1s), std::runtime_error);
  EXPECT_EQ(server.refusedPeers(), 1u);
  EXPECT_EQ(source.calls.load(), 0);
}

TEST(ControlServer, UnknownRequestAndSilentClient) {
  TempDir dir;
  FixedStatus source(sampleReport());
  ControlServer server(dir / "control.sock", source, asThisUser());
  {
    UniqueFd fd = connectUnix(dir / "control.sock");
    ASSERT_TRUE(writeAll(fd.get(), "shutdown\n", 1s));
    std::string answer;
    ASSERT_TRUE(readLine(fd.get(), answer, 1024, 2s));
    EXPECT_EQ(answer, R"({"error":"unknown request"})");
  }
  // A client that connects and says nothing is cut off; the next one is served.
  UniqueFd silent = connectUnix(dir / "control.sock");
  EXPECT_EQ(requestStatus(dir / "control.sock", 3s), sampleReport());
  std::string nothing;
  EXPECT_FALSE(readLine(silent.get(), nothing, 1024, 1s));
}

TEST(ControlServer, NoDaemonIsAClearError) {
  TempDir dir;
  try {
    requestStatus(dir / "control.sock");
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("not running"), std::string::npos) << e.what();
  }
}

TEST(ControlPlane, RefusesAnUnsafeRulesFileBeforeOpeningSockets) {
  TempDir dir;
  testing::writeFile(dir / "filter-rules.json", "{}", 0666);
  ControlPlaneOptions options;
  options.rulesPath = dir / "filter-rules.json";
  options.runtimeDirectory = dir / "run";
  options.trustedOwner = ::geteuid();
  ControlPlane plane(options);
  FixedStatus source(sampleReport());
  const std::string refusal = plane.start(source);
  EXPECT_NE(refusal.find("writable by everyone"), std::string::npos) << refusal;
  EXPECT_FALSE(std::filesystem::exists(dir / "run"));
}

TEST(RuntimeDirectory, AnExistingOneIsOnlyTightenedAndRefusedWhenOthersMayWrite) {
  struct Case {
    mode_t before;
    bool accepted;
    mode_t after;
  };
  for (const Case c : {Case{0700, true, 0700}, Case{0755, true, 0750}, Case{01777, false, 01777},
                       Case{0770, false, 0770}}) {
    TempDir dir;
    const auto run = dir / "run";
    ASSERT_EQ(::mkdir(run.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(run.c_str(), c.before), 0);
    bool accepted = true;
    try {
      ensureRuntimeDirectory(run, 0750);
    } catch (const std::system_error&) {
      accepted = false;
    }
    struct stat st {};
    ASSERT_EQ(::stat(run.c_str(), &st), 0);
    EXPECT_EQ(accepted, c.accepted) << std::oct << c.before;
    EXPECT_EQ(st.st_mode & 07777, c.after) << std::oct << c.before;
  }
}

TEST(ControlPlane, StartsSocketsInAPrivateRuntimeDirectory) {
  TempDir dir;
  ControlPlaneOptions options;
  options.rulesPath = dir / "filter-rules.json";
  options.runtimeDirectory = dir / "run";
  options.trustedOwner = ::geteuid();
  ControlPlane plane(options);
  FixedStatus source(sampleReport());
  plane.post("before start goes nowhere");
  ASSERT_EQ(plane.start(source), "");
  struct stat st {};
  ASSERT_EQ(::stat((dir / "run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  UniqueFd subscriber = connectUnix(dir / "run" / "notify.sock");
  ASSERT_TRUE(testing::eventually([&] { return plane.subscriberCount() == 1; }));
  plane.post("com.quillnest.mac.blocked");
  std::string line;
  ASSERT_TRUE(readLine(subscriber.get(), line, 1024, 2s));
  EXPECT_EQ(line, "com.quillnest.mac.blocked");
  if (::geteuid() == 0) {
    EXPECT_EQ(requestStatus(dir / "run" / "control.sock"), sampleReport());
  }
  plane.stop();
  EXPECT_FALSE(std::filesystem::exists(dir / "run" / "notify.sock"));
  EXPECT_FALSE(std::filesystem::exists(dir / "run" / "control.sock"));
}

}  // namespace
}  // namespace quillnest::linuxhost
