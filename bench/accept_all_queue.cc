// The reference for the daemon's first-packet cost: one netfilter queue, bound as the daemon binds
// its queues, whose only thread accepts every packet at once. bench-linux.sh queues the first
// packet of each new connection to it, as the daemon's rules do, and measures what the round
// trip through user space alone costs.
//   accept_all_queue QUEUE     (root; ends on SIGINT or SIGTERM)
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "hosts/linux/nfqueue.h"

namespace {
std::atomic<bool> stopped{false};
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: accept_all_queue QUEUE\n");
    return 2;
  }
  const long number = std::strtol(argv[1], nullptr, 10);
  if (number < 0 || number > 65535) {
    std::fprintf(stderr, "queue number out of range: %s\n", argv[1]);
    return 2;
  }
  struct sigaction action {};
  action.sa_handler = [](int) { stopped = true; };
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  quillnest::linuxhost::NetfilterQueue queue(static_cast<std::uint16_t>(number), 8192);
  if (const std::string error = queue.open(); !error.empty()) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  std::printf("accept_all_queue ready on queue %ld\n", number);
  std::fflush(stdout);
  const quillnest::linuxhost::NetfilterQueue::PacketHandler accept =
      [](quillnest::linuxhost::NetfilterQueue& q, const quillnest::linuxhost::QueuedPacket& p) {
        q.accept(p.id);
      };
  queue.run(stopped, accept,
            [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
  return 0;
}
