// One netfilter queue: bound with fail-open and GSO, packets copied whole, one verdict per
// packet id. Verdicts may come from any thread (held packets are released by the tick and
// conntrack threads); receiving happens on the thread that calls run().
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>

struct nfq_handle;
struct nfq_q_handle;

namespace quillnest::linuxhost {

struct QueuedPacket {
  std::uint32_t id = 0;
  std::uint32_t mark = 0;
  // The transport checksum is final (the kernel did not leave it to offload), so it can be
  // checked.
  bool checksumComplete = false;
  std::uint32_t inInterface = 0;        // the interface it came in on; 0 for one this machine sent
  std::span<const std::uint8_t> bytes;  // valid during the callback only
};

class NetfilterQueue {
 public:
  using PacketHandler = std::function<void(NetfilterQueue&, const QueuedPacket&)>;

  // failOpen: a full queue lets packets through instead of dropping them.
  NetfilterQueue(std::uint16_t number, std::uint32_t maxLength, bool failOpen = true);
  ~NetfilterQueue();
  NetfilterQueue(const NetfilterQueue&) = delete;
  NetfilterQueue& operator=(const NetfilterQueue&) = delete;

  // Empty on success, else why the queue could not be bound.
  std::string open();
  // Receives until stop is set (checked at least every 200 ms); idle, when given, runs after
  // each 200 ms without a packet.
  void run(const std::atomic<bool>& stop, const PacketHandler& handler,
           const std::function<void(const std::string&)>& warn,
           const std::function<void()>& idle = {});

  void accept(std::uint32_t id);
  // Accept and set the packet mark to mark (the whole 32 bits).
  void acceptWithMark(std::uint32_t id, std::uint32_t mark);
  void drop(std::uint32_t id);
  // Accept with the packet replaced by bytes (a whole IP packet, its checksums final) and the
  // packet mark set to mark; empty bytes keep the packet as it is.
  void acceptReplaced(std::uint32_t id, std::uint32_t mark, std::span<const std::uint8_t> bytes);

  std::uint16_t number() const { return number_; }
  std::uint64_t verdictErrors() const { return verdictErrors_.load(); }

 private:
  void verdict(std::uint32_t id, std::uint32_t verdict, const std::uint32_t* mark,
               std::span<const std::uint8_t> bytes = {});

  std::uint16_t number_;
  std::uint32_t maxLength_;
  bool failOpen_;
  nfq_handle* handle_ = nullptr;
  nfq_q_handle* queue_ = nullptr;
  std::mutex sendMutex_;
  std::atomic<std::uint64_t> verdictErrors_{0};
  const PacketHandler* handler_ = nullptr;
};

}  // namespace quillnest::linuxhost
