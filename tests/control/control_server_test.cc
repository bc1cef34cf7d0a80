#include "hosts/linux/control/control_server.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "hosts/linux/control/control_plane.h"
#include "hosts/linux/control/notification_server.h"
#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using ::testing::HasSubstr;
using testing::TempDir;

// Odd enough to need escaping, large enough to need every bit.
StatusReport sampleReport() {
  StatusReport report;
  report.version = "0.1.0";
  report.rulesFile = "/tmp/odd \"name\"\\\n.json";
  report.rulesEnabled = true;
  report.rulesProblem = "Rules file /tmp/x is ignored: \"odd\"\n";
  report.failClosed = true;
  report.ruleEntries = 3;
  report.flowsSeen = UINT64_MAX;
  report.httpUnnamedTimedOut = 3;
  report.uptimeSeconds = 86400;
  return report;
}

struct Served {
  std::atomic<int> calls{0};
  FunctionStatusSource source{[this] {
    ++calls;
    return sampleReport();
  }};
};

ControlServerOptions asUser(uid_t uid) {
  ControlServerOptions options;
  options.allowedUid = uid;
  options.clientTimeout = 300ms;
  return options;
}

mode_t modeOf(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
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
    EXPECT_THAT(error, HasSubstr(c.errorPart));
  }
  // An older client reads a newer daemon's answer.
  std::string error;
  const auto older = decodeStatus(R"({"flowsSeen":5,"newField":[1]})", error);
  ASSERT_TRUE(older.has_value()) << error;
  EXPECT_EQ(older->flowsSeen, 5u);
  EXPECT_EQ(older->resets, 0u);
}

// Served twice as its owner; a peer of another uid gets nothing; an unknown request gets an
// error; a silent client is cut off while the next one is served.
TEST(ControlServer, AnswersItsOwnerOnly) {
  TempDir dir;
  Served served, refused;
  EXPECT_THAT([&] { requestStatus(dir / "control.sock"); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("not running")));
  EXPECT_THAT([&] { requestStatus(dir / "notify.sock"); },
              ::testing::ThrowsMessage<std::runtime_error>(HasSubstr("notification socket")));
  {
    ControlServer server(dir / "other.sock", refused.source, asUser(::geteuid() + 1));
    EXPECT_THROW(requestStatus(dir / "other.sock", 1s), std::runtime_error);
    EXPECT_EQ(server.refusedPeers(), 1u);
    EXPECT_EQ(refused.calls.load(), 0);
  }
  ControlServer server(dir / "control.sock", served.source, asUser(::geteuid()));
  EXPECT_EQ(modeOf(dir / "control.sock"), 0600u);
  EXPECT_EQ(requestStatus(dir / "control.sock"), sampleReport());
  EXPECT_EQ(requestStatus(dir / "control.sock"), sampleReport());
  EXPECT_EQ(served.calls.load(), 2);
  {
    UniqueFd fd = connectUnix(dir / "control.sock");
    ASSERT_TRUE(writeAll(fd.get(), "shutdown\n", 1s));
    std::string answer;
    ASSERT_TRUE(readLine(fd.get(), answer, 1024, 2s));
    EXPECT_EQ(answer, R"({"error":"unknown request"})");
  }
  UniqueFd silent = connectUnix(dir / "control.sock");
  EXPECT_EQ(requestStatus(dir / "control.sock", 3s), sampleReport());
  std::string nothing;
  EXPECT_FALSE(readLine(silent.get(), nothing, 1024, 1s));
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
    EXPECT_EQ(accepted, c.accepted) << std::oct << c.before;
    EXPECT_EQ(modeOf(run), c.after) << std::oct << c.before;
  }
}

TEST(ControlPlane, StartsSocketsInAPrivateRuntimeDirectoryUnlessTheRulesFileIsUnsafe) {
  TempDir dir;
  ControlPlaneOptions options;
  options.rulesPath = dir / "filter-rules.json";
  options.runtimeDirectory = dir / "run";
  options.trustedOwner = ::geteuid();
  Served served;
  testing::writeFile(dir / "filter-rules.json", "{}", 0666);
  EXPECT_THAT(ControlPlane(options).start(served.source), HasSubstr("writable by everyone"));
  EXPECT_FALSE(std::filesystem::exists(dir / "run"));

  ::chmod((dir / "filter-rules.json").c_str(), 0644);
  ControlPlane plane(options);
  plane.post("before start goes nowhere");
  ASSERT_EQ(plane.start(served.source), "");
  EXPECT_EQ(modeOf(dir / "run"), 0750u);
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

constexpr std::string_view kBlocked = "com.quillnest.mac.blocked";

// Reads what has arrived within the bound, up to want bytes.
std::string readFor(int fd, std::size_t want, std::chrono::milliseconds bound = 2s) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  char buffer[4096];
  while (text.size() < want && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 20) <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

// The socket file a crashed daemon left is replaced. Every subscriber within the limit gets each
// name and nothing else; one beyond it finds its connection closed; one that leaves is dropped
// without disturbing the others.
TEST(NotificationServer, SubscribersWithinTheLimitGetEveryName) {
  TempDir dir;
  UniqueFd stale(::socket(AF_UNIX, SOCK_STREAM, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, (dir / "notify.sock").c_str());
  ASSERT_EQ(::bind(stale.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  NotificationServerOptions options;
  options.subscriberLimit = 3;
  NotificationServer server(dir / "notify.sock", options);
  EXPECT_EQ(modeOf(dir / "notify.sock"), 0660u);
  std::vector<UniqueFd> subscribers;
  for (int i = 0; i < 4; ++i) subscribers.push_back(connectUnix(dir / "notify.sock"));
  ASSERT_TRUE(eventually([&] { return server.subscriberCount() == 3; }));
  EXPECT_EQ(readFor(subscribers[3].get(), 1, 1s), "");
  subscribers.pop_back();
  subscribers.pop_back();
  ASSERT_TRUE(eventually([&] { return server.subscriberCount() == 2; }));
  EXPECT_EQ(server.droppedSubscribers(), 1u);
  server.post(kBlocked);
  server.post(kBlocked);
  const std::string expected = std::string(kBlocked) + "\n" + std::string(kBlocked) + "\n";
  for (const auto& s : subscribers) EXPECT_EQ(readFor(s.get(), expected.size()), expected);
}

TEST(NotificationServer, SubscriberThatNeverReadsNeitherStallsPostNorOthers) {
  TempDir dir;
  NotificationServer server(dir / "notify.sock");
  UniqueFd stuck = connectUnix(dir / "notify.sock");
  ASSERT_TRUE(eventually([&] { return server.subscriberCount() == 1; }));
  // Far more than any socket buffer holds; the loop finishes because post() never waits.
  constexpr int kPosts = 200000;
  for (int i = 0; i < kPosts; ++i) server.post(kBlocked);
  ASSERT_TRUE(eventually([&] { return server.droppedSubscribers() == 1; }));
  EXPECT_TRUE(eventually([&] { return server.subscriberCount() == 0; }));

  // Every post was either offered or dropped at the queue; none is lost in between.
  ASSERT_TRUE(eventually([&] {
    return server.sentNotifications() + server.droppedNotifications() ==
           static_cast<std::uint64_t>(kPosts);
  }));

  // A new subscriber still gets what comes next.
  UniqueFd reader = connectUnix(dir / "notify.sock");
  ASSERT_TRUE(eventually([&] { return server.subscriberCount() == 1; }));
  server.post(kBlocked);
  EXPECT_EQ(readFor(reader.get(), kBlocked.size() + 1), std::string(kBlocked) + "\n");
}

TEST(NotificationServer, FullQueueDropsNotificationsInsteadOfWaiting) {
  TempDir dir;
  NotificationServerOptions options;
  options.queueLimit = 1;
  NotificationServer server(dir / "notify.sock", options);
  for (int i = 0; i < 10000; ++i) server.post(kBlocked);
  ASSERT_TRUE(eventually(
      [&] { return server.sentNotifications() + server.droppedNotifications() == 10000u; }));
  EXPECT_GT(server.droppedNotifications(), 0u);
}

}  // namespace
}  // namespace quillnest::linuxhost
