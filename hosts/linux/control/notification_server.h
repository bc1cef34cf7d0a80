// Named notifications for other processes: a local stream socket where any number of
// subscribers connect; each post(name) sends the line "<name>\n" to all of them.
//
// Posting never waits for a subscriber: the name goes into a bounded queue that one sender
// thread empties with non-blocking sends. A subscriber whose socket buffer is full (it stopped
// reading) or that disconnected is dropped; a full queue drops the notification.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "host/logging.h"
#include "hosts/linux/control/unix_socket.h"

namespace quillnest::linuxhost {

struct NotificationServerOptions {
  std::size_t queueLimit = 4096;
  std::size_t subscriberLimit = 256;  // later connections are closed at once
  mode_t socketMode = 0660;           // who may subscribe is decided by the directory
};

class NotificationServer final : public Notifier {
 public:
  // Listens at socketPath (whose directory must exist). Throws std::system_error.
  explicit NotificationServer(std::filesystem::path socketPath,
                              NotificationServerOptions options = {});
  ~NotificationServer() override;
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  void post(std::string_view name) override;

  std::size_t subscriberCount() const { return subscribers_.load(); }
  std::uint64_t droppedSubscribers() const { return droppedSubscribers_.load(); }
  std::uint64_t droppedNotifications() const { return droppedNotifications_.load(); }
  // Notifications taken from the queue and offered to the subscribers of the time.
  std::uint64_t sentNotifications() const { return sent_.load(); }
  const std::filesystem::path& socketPath() const { return server_.path(); }

 private:
  void run();

  NotificationServerOptions options_;
  std::mutex queueMutex_;
  std::deque<std::string> queue_;
  std::atomic<std::size_t> subscribers_{0};
  std::atomic<std::uint64_t> droppedSubscribers_{0};
  std::atomic<std::uint64_t> droppedNotifications_{0};
  std::atomic<std::uint64_t> sent_{0};
  SocketServerThread server_;
};

}  // namespace quillnest::linuxhost
