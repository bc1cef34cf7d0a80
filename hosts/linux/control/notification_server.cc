#include "hosts/linux/control/notification_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace quillnest::linuxhost {

NotificationServer::NotificationServer(std::filesystem::path socketPath,
                                       NotificationServerOptions options)
    : options_(options), server_(std::move(socketPath), options.socketMode, 64) {
  server_.start([this] { run(); });
}

NotificationServer::~NotificationServer() { server_.stop(); }

void NotificationServer::post(std::string_view name) {
  bool wasEmpty = false;
  {
    std::lock_guard lock(queueMutex_);
    if (queue_.size() >= options_.queueLimit) {
      droppedNotifications_.fetch_add(1);
      return;
    }
    wasEmpty = queue_.empty();
    std::string line;
    line.reserve(name.size() + 1);
    line.append(name);
    line.push_back('\n');
    queue_.push_back(std::move(line));
  }
  if (wasEmpty) server_.wake();
}

void NotificationServer::run() {
  std::vector<UniqueFd> subscribers;
  std::vector<pollfd> fds;
  std::deque<std::string> batch;
  auto drop = [&](std::size_t index) {
    subscribers.erase(subscribers.begin() + static_cast<std::ptrdiff_t>(index));
    droppedSubscribers_.fetch_add(1);
  };

  while (!server_.stopping()) {
    fds.clear();
    fds.push_back({server_.wakeFd(), POLLIN, 0});
    fds.push_back({server_.listenFd(), POLLIN, 0});
    for (const auto& s : subscribers) fds.push_back({s.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) break;
    if (server_.stopping()) break;

    // Subscribers have nothing to say; readable means closed (or chatter, which is discarded).
    for (std::size_t i = fds.size(); i-- > 2;) {
      if (fds[i].revents == 0) continue;
      char scratch[256];
      const ssize_t n = ::recv(fds[i].fd, scratch, sizeof scratch, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR) ||
          (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        drop(i - 2);
      }
    }
    if (fds[1].revents & POLLIN) {
      server_.acceptPending([&](UniqueFd client) {
        // Beyond the limit the connection is closed as it goes out of scope.
        if (subscribers.size() < options_.subscriberLimit) subscribers.push_back(std::move(client));
      });
    }
    if (fds[0].revents & POLLIN) server_.consumeWake();
    {
      std::lock_guard lock(queueMutex_);
      batch.swap(queue_);
    }
    for (const auto& line : batch) {
      for (std::size_t i = subscribers.size(); i-- > 0;) {
        const ssize_t n =
            ::send(subscribers[i].get(), line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        // A short send would leave half a line: such a subscriber is as good as gone.
        if (n != static_cast<ssize_t>(line.size())) drop(i);
      }
      sent_.fetch_add(1);
    }
    batch.clear();
    subscribers_.store(subscribers.size());
  }
}

}  // namespace quillnest::linuxhost
