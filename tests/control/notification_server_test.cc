#include "hosts/linux/control/notification_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "tests/control/control_test_support.h"

namespace quillnest::linuxhost {
namespace {

using namespace std::chrono_literals;
using testing::eventually;
using testing::TempDir;

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
  struct stat st {};
  ASSERT_EQ(::stat((dir / "notify.sock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
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
