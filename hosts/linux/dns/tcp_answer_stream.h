// DNS over TCP read across segments. A server cuts its messages wherever its segment size falls,
// and a client chooses that size (it may offer 48 bytes), so a reader of single segments can be
// made to see no whole message at all. Each connection's answers are read in stream order as
// they pass instead: the ech and port values of blocked names are overwritten in whichever
// segments carry them, and a segment sent again gets the same bytes. Nothing is held back.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "hosts/common/packet.h"
#include "hosts/linux/dns/answer_rewriter.h"

namespace quillnest::linuxhost::dns {

// One connection's bytes from the server, from its first data byte on. Messages are read as far
// as their bytes have arrived; a name, CNAME or service binding is judged once its own bytes are
// all there, and everything a judgement needs (the question, the CNAME chain, a parameter's
// header) comes before the bytes it changes.
class TcpAnswerStream {
 public:
  enum class Take {
    read,
    ahead,      // starts beyond what has arrived: nothing read
    forgotten,  // sent again from before the edits still kept: it must not pass as it is
  };
  // Bytes at stream offset `at` (0: the first byte after the server's SYN), changed in place.
  // Bytes that passed before get the edits they got then; the rest are read.
  Take take(std::uint64_t at, std::span<std::uint8_t> bytes, const AnswerPolicy& policy,
            StreamCounts& counts);
  std::uint64_t received() const { return received_; }
  // Memory held: the current message (names point back into it) and the edits kept.
  std::size_t buffered() const;

 private:
  enum class Step { header, question, recordHead, cname, bindingHead, param, port, done, skip };
  struct Edit {
    enum class Kind : std::uint8_t { rcode, echList, port };
    std::uint64_t at = 0;
    std::uint32_t size = 0;
    Kind kind = Kind::echList;
    std::uint8_t rcode = 0;  // a header's response code
  };

  void readNew(std::uint64_t base, std::span<const std::uint8_t> bytes, const AnswerPolicy& policy,
               StreamCounts& counts);
  void startMessage(std::uint64_t at, std::size_t length);
  void parse(const AnswerPolicy& policy, StreamCounts& counts);
  bool judgeQuestion(const std::string& name, const AnswerPolicy& policy, StreamCounts& counts);
  void addName(const std::string& name, const AnswerPolicy& policy);
  void finishMessage(StreamCounts& counts);
  void apply(std::uint64_t at, std::span<std::uint8_t> bytes) const;
  void forgetOldEdits();

  std::uint64_t received_ = 0;
  std::uint64_t forgottenEnd_ = 0;  // the end of the last edit no longer kept
  // Framing: the length prefix being read, or the message in progress.
  bool inMessage_ = false;
  std::uint8_t prefix_[2] = {0, 0};
  unsigned prefixHave_ = 0;
  std::uint64_t messageAt_ = 0;  // stream offset of the message's first byte
  std::size_t messageLength_ = 0;
  std::vector<std::uint8_t> message_;
  // Where the message's reading stands.
  Step step_ = Step::header;
  bool bad_ = false;
  bool answer_ = false;
  std::size_t position_ = 0;
  std::size_t questionsLeft_ = 0;
  std::size_t recordsLeft_[3] = {0, 0, 0};  // answer, authority, additional
  std::size_t section_ = 0;
  std::size_t recordEnd_ = 0;
  bool httpsRecord_ = false;  // the service binding being read is an HTTPS record
  std::string owner_;
  std::vector<std::string> chain_;
  bool blocked_ = false;
  std::deque<Edit> edits_;
};

// Every tracked connection, from the server's SYN on. The daemon's queue workers share it.
class TcpAnswerStreams {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    std::size_t connections = 4096;
    std::size_t bufferedBytes = 32u << 20;
    Clock::duration idle = std::chrono::minutes(10);
    Clock::duration afterClose = std::chrono::seconds(30);
  };
  TcpAnswerStreams() = default;
  explicit TcpAnswerStreams(Limits limits) : limits_(limits) {}

  enum class Fate {
    untracked,  // a connection older than the table: read segment by segment
    read,       // payload read (and maybe changed) in place
    drop,       // ahead of a missing segment, or no room: the server sends it again
  };
  Fate onSegment(const hosts::ParsedPacket& packet, std::span<std::uint8_t> payload,
                 const AnswerPolicy& policy, Clock::time_point now, StreamCounts& counts);
  std::size_t size() const;

 private:
  struct Connection {
    std::uint32_t initialSequence = 0;
    TcpAnswerStream stream;
    Clock::time_point expires;
    bool closing = false;  // the server sent its FIN
  };
  // Closed connections after their time; idle ones only to make room, since one forgotten is
  // read a segment at a time.
  void expire(Clock::time_point now, bool idleToo);
  using Connections =
      std::unordered_map<hosts::ConnectionKey, Connection, hosts::ConnectionKeyHash>;
  void forget(Connections::iterator connection);

  Limits limits_;
  mutable std::mutex mutex_;
  Connections connections_;
  std::size_t buffered_ = 0;
  Clock::time_point nextSweep_{};
};

}  // namespace quillnest::linuxhost::dns
