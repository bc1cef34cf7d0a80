#include "hosts/linux/dns/tcp_answer_stream.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "rules/normalization.h"

namespace quillnest::linuxhost::dns {
namespace {

constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeSvcb = 64;
constexpr std::uint16_t kTypeHttps = 65;
constexpr std::uint8_t kRcodeNameError = 3;
// Edits kept for segments sent again: a sender's unacknowledged bytes stay well within this.
constexpr std::size_t kKeptEdits = 4096;
constexpr std::uint64_t kKeptBytes = 4u << 20;
// A finished message's buffer is given back above this, so idle connections cost little.
constexpr std::size_t kIdleBuffer = 512;

std::uint16_t u16(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] << 8 | bytes[at + 1]);
}

enum class NameRead { ok, more, bad };

struct Name {
  NameRead status = NameRead::bad;
  std::string text;     // presentation form, as ldns prints it, then normalised
  std::size_t end = 0;  // just past the name where it starts
};

// The domain name at `at` of a message, as far as its bytes have arrived; it must end before
// limit. Pointers must lead strictly backwards, so they end, and to bytes that have arrived.
Name readName(const std::vector<std::uint8_t>& message, std::size_t at, std::size_t limit) {
  Name name;
  std::string text;
  std::size_t position = at;
  std::size_t lowest = at;
  std::size_t wireLength = 1;
  bool jumped = false;
  // Past the limit is bad whether or not those bytes have arrived: otherwise how the stream was
  // cut would decide how the message reads.
  auto need = [&](std::size_t bytes) {
    if (position + bytes > limit) return NameRead::bad;
    return position + bytes <= message.size() ? NameRead::ok : NameRead::more;
  };
  for (;;) {
    if (NameRead status = need(1); status != NameRead::ok) return {status, {}, 0};
    const std::uint8_t length = message[position];
    if ((length & 0xc0) == 0xc0) {
      if (NameRead status = need(2); status != NameRead::ok) return {status, {}, 0};
      const std::size_t target = (length & 0x3fu) << 8 | message[position + 1];
      if (!jumped) name.end = position + 2;
      jumped = true;
      if (target >= lowest) return name;
      lowest = position = target;
      continue;
    }
    if (length & 0xc0) return name;
    if (length == 0) break;
    if (NameRead status = need(1u + length); status != NameRead::ok) return {status, {}, 0};
    wireLength += 1u + length;
    if (wireLength > 255) return name;
    for (std::size_t i = position + 1; i <= position + length; ++i) {
      const char c = static_cast<char>(message[i]);
      if (c == '.' || c == ';' || c == '(' || c == ')' || c == '\\') {
        text.push_back('\\');
        text.push_back(c);
      } else if (!isascii(message[i]) || !isgraph(message[i])) {
        char escaped[5];
        std::snprintf(escaped, sizeof escaped, "\\%03u", message[i]);
        text += escaped;
      } else {
        text.push_back(c);
      }
    }
    text.push_back('.');
    position += 1u + length;
  }
  if (!jumped) name.end = position + 1;
  name.status = NameRead::ok;
  name.text = normalizedServerName(text.empty() ? "." : text);
  return name;
}

}  // namespace

TcpAnswerStream::Take TcpAnswerStream::take(std::uint64_t at, std::span<std::uint8_t> bytes,
                                            const AnswerPolicy& policy, StreamCounts& counts) {
  if (at > received_) return Take::ahead;
  if (at < forgottenEnd_) return Take::forgotten;
  const std::uint64_t end = at + bytes.size();
  if (end > received_) {
    const std::size_t editsBefore = edits_.size();
    const std::uint64_t passed = received_;
    readNew(passed, bytes.last(static_cast<std::size_t>(end - passed)), policy, counts);
    received_ = end;
    // A canary's response code lies in a header that may have passed already: then a copy sent
    // again must not differ from it either.
    const auto late =
        std::remove_if(edits_.begin() + static_cast<std::ptrdiff_t>(editsBefore), edits_.end(),
                       [passed](const Edit& edit) { return edit.at < passed; });
    counts.unparsed += static_cast<unsigned>(edits_.end() - late);
    edits_.erase(late, edits_.end());
  }
  apply(at, bytes);
  forgetOldEdits();
  return Take::read;
}

std::size_t TcpAnswerStream::buffered() const {
  return message_.capacity() + edits_.size() * sizeof(Edit);
}

void TcpAnswerStream::readNew(std::uint64_t base, std::span<const std::uint8_t> bytes,
                              const AnswerPolicy& policy, StreamCounts& counts) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    if (!inMessage_) {
      prefix_[prefixHave_++] = bytes[i++];
      if (prefixHave_ < 2) continue;
      prefixHave_ = 0;
      startMessage(base + i, static_cast<std::size_t>(prefix_[0] << 8 | prefix_[1]));
      if (messageLength_ == 0) finishMessage(counts);
      continue;
    }
    const std::size_t part = std::min(messageLength_ - message_.size(), bytes.size() - i);
    message_.insert(message_.end(), bytes.begin() + i, bytes.begin() + i + part);
    i += part;
    parse(policy, counts);
    if (message_.size() == messageLength_) finishMessage(counts);
  }
}

void TcpAnswerStream::startMessage(std::uint64_t at, std::size_t length) {
  inMessage_ = true;
  messageAt_ = at;
  messageLength_ = length;
  message_.clear();
  step_ = Step::header;
  bad_ = answer_ = blocked_ = false;
  position_ = section_ = 0;
  chain_.clear();
}

void TcpAnswerStream::finishMessage(StreamCounts& counts) {
  if (bad_ || (step_ != Step::done && step_ != Step::skip))
    ++counts.unparsed;
  else if (answer_)
    ++counts.answersRead;
  inMessage_ = false;
  if (message_.capacity() > kIdleBuffer)
    std::vector<std::uint8_t>().swap(message_);
  else
    message_.clear();
  chain_.clear();
}

void TcpAnswerStream::parse(const AnswerPolicy& policy, StreamCounts& counts) {
  auto have = [this](std::size_t bytes) { return message_.size() >= position_ + bytes; };
  auto fail = [this] {
    bad_ = true;
    step_ = Step::skip;
  };
  for (;;) {
    switch (step_) {
      case Step::header: {
        if (!have(kHeaderSize)) return;
        const bool response = (message_[2] & 0x80) != 0;
        const unsigned opcode = (message_[2] >> 3) & 0x0fu;
        if (!response || opcode != 0) {
          step_ = Step::skip;
          return;
        }
        answer_ = true;
        questionsLeft_ = u16(message_, 4);
        recordsLeft_[0] = u16(message_, 6);
        recordsLeft_[1] = u16(message_, 8);
        recordsLeft_[2] = u16(message_, 10);
        position_ = kHeaderSize;
        step_ = Step::question;
        continue;
      }
      case Step::question: {
        if (questionsLeft_ == 0) {
          step_ = Step::recordHead;
          continue;
        }
        const Name name = readName(message_, position_, messageLength_);
        if (name.status == NameRead::more) return;
        if (name.status == NameRead::bad || name.end + 4 > messageLength_) return fail();
        if (message_.size() < name.end + 4) return;
        position_ = name.end + 4;
        --questionsLeft_;
        if (chain_.empty() && judgeQuestion(name.text, policy, counts)) {
          step_ = Step::skip;
          return;
        }
        continue;
      }
      case Step::recordHead: {
        while (section_ < 3 && recordsLeft_[section_] == 0) ++section_;
        if (section_ == 3) {
          step_ = Step::done;
          return;
        }
        const Name owner = readName(message_, position_, messageLength_);
        if (owner.status == NameRead::more) return;
        if (owner.status == NameRead::bad || owner.end + 10 > messageLength_) return fail();
        if (message_.size() < owner.end + 10) return;
        const std::uint16_t type = u16(message_, owner.end);
        recordEnd_ = owner.end + 10 + u16(message_, owner.end + 8);
        if (recordEnd_ > messageLength_) return fail();
        --recordsLeft_[section_];
        position_ = owner.end + 10;
        owner_ = owner.text;
        httpsRecord_ = type == kTypeHttps;
        if (type == kTypeCname && section_ == 0)
          step_ = Step::cname;
        else if ((type == kTypeSvcb || type == kTypeHttps) && section_ != 1)
          step_ = Step::bindingHead;
        else
          position_ = recordEnd_;
        continue;
      }
      case Step::cname: {
        const Name target = readName(message_, position_, recordEnd_);
        if (target.status == NameRead::more) return;
        if (target.status == NameRead::bad) return fail();
        if (std::find(chain_.begin(), chain_.end(), owner_) != chain_.end() &&
            std::find(chain_.begin(), chain_.end(), target.text) == chain_.end())
          addName(target.text, policy);
        position_ = recordEnd_;
        step_ = Step::recordHead;
        continue;
      }
      case Step::bindingHead: {
        // SvcPriority, then TargetName.
        if (position_ + 2 > recordEnd_) return fail();
        if (!have(2)) return;
        const Name target = readName(message_, position_ + 2, recordEnd_);
        if (target.status == NameRead::more) return;
        if (target.status == NameRead::bad) return fail();
        position_ = target.end;
        step_ = Step::param;
        continue;
      }
      case Step::param: {
        if (position_ == recordEnd_) {
          step_ = Step::recordHead;
          continue;
        }
        if (position_ + 4 > recordEnd_) return fail();
        if (!have(4)) return;
        const std::uint16_t key = u16(message_, position_);
        const std::size_t length = u16(message_, position_ + 2);
        const std::size_t value = position_ + 4;
        if (value + length > recordEnd_) return fail();
        // Its header has arrived, its value not yet passed: overwritten as it passes.
        if (key == kSvcParamEch && blocked_ && length >= 6) {
          edits_.push_back({messageAt_ + value, static_cast<std::uint32_t>(length)});
          ++counts.echRemoved;
        }
        if (key == kSvcParamPort && blocked_ && httpsRecord_ && length == 2) {
          // 443 written over 443 changes nothing; only another port is counted, once it is here.
          edits_.push_back({messageAt_ + value, 2, Edit::Kind::port});
          position_ = value;
          step_ = Step::port;
          continue;
        }
        position_ = value + length;
        continue;
      }
      case Step::port: {
        if (!have(2)) return;
        if (u16(message_, position_) != kRewrittenPort) ++counts.portsRewritten;
        position_ += 2;
        step_ = Step::param;
        continue;
      }
      case Step::done:
      case Step::skip:
        return;
    }
  }
}

bool TcpAnswerStream::judgeQuestion(const std::string& name, const AnswerPolicy& policy,
                                    StreamCounts& counts) {
  if (policy.closeEncryptedDns) {
    if (const Canary canary = canaryOf(name); canary != Canary::none) {
      ++counts.canariesAnswered;
      if (!canaryAnswered(canary, message_[3] & 0x0fu, u16(message_, 6) == 0))
        edits_.push_back({messageAt_ + 3, 1, Edit::Kind::rcode,
                          static_cast<std::uint8_t>((message_[3] & 0xf0) | kRcodeNameError)});
      return true;
    }
  }
  addName(name, policy);
  return false;
}

void TcpAnswerStream::addName(const std::string& name, const AnswerPolicy& policy) {
  chain_.push_back(name);
  if (!blocked_ && policy.isBlocked) blocked_ = policy.isBlocked(name);
}

void TcpAnswerStream::apply(std::uint64_t at, std::span<std::uint8_t> bytes) const {
  const std::uint64_t end = at + bytes.size();
  for (auto edit = edits_.rbegin(); edit != edits_.rend(); ++edit) {
    if (edit->at + edit->size <= at) break;  // edits lie in stream order
    if (edit->at >= end) continue;
    const std::uint64_t from = std::max(at, edit->at);
    const std::uint64_t to = std::min(end, edit->at + edit->size);
    switch (edit->kind) {
      case Edit::Kind::rcode:
        bytes[from - at] = edit->rcode;
        break;
      case Edit::Kind::port: {
        const std::uint8_t port[2] = {kRewrittenPort >> 8, kRewrittenPort & 0xff};
        for (std::uint64_t i = from; i < to; ++i) bytes[i - at] = port[i - edit->at];
        break;
      }
      case Edit::Kind::echList: {
        const std::vector<std::uint8_t> list = unusableEchConfigList(edit->size);
        for (std::uint64_t i = from; i < to; ++i) bytes[i - at] = list[i - edit->at];
        break;
      }
    }
  }
}

void TcpAnswerStream::forgetOldEdits() {
  while (!edits_.empty() && (edits_.size() > kKeptEdits ||
                             edits_.front().at + edits_.front().size + kKeptBytes < received_)) {
    forgottenEnd_ = std::max(forgottenEnd_, edits_.front().at + edits_.front().size);
    edits_.pop_front();
  }
}

TcpAnswerStreams::Fate TcpAnswerStreams::onSegment(const hosts::ParsedPacket& packet,
                                                   std::span<std::uint8_t> payload,
                                                   const AnswerPolicy& policy,
                                                   Clock::time_point now, StreamCounts& counts) {
  std::lock_guard lock(mutex_);
  if (now >= nextSweep_) {
    expire(now, false);
    nextSweep_ = now + std::chrono::seconds(1);
  }
  const hosts::ConnectionKey key = hosts::ConnectionKey::inboundOf(packet);
  auto found = connections_.find(key);
  if (packet.hasFlag(hosts::kTcpRst)) {
    if (found != connections_.end()) forget(found);
    return Fate::untracked;
  }
  std::uint64_t at = 0;
  if (packet.hasFlag(hosts::kTcpSyn)) {
    if (found != connections_.end() && found->second.initialSequence != packet.tcpSequence) {
      forget(found);
      found = connections_.end();
    }
    if (found == connections_.end()) {
      if (connections_.size() >= limits_.connections) expire(now, true);
      // A connection we could not follow would be read segment by segment: the server sends
      // its SYN again until there is room.
      if (connections_.size() >= limits_.connections) return Fate::drop;
      found = connections_.emplace(key, Connection{}).first;
      found->second.initialSequence = packet.tcpSequence;
    }
  } else {
    if (found == connections_.end()) return Fate::untracked;
    // The offset from the 32-bit sequence number, nearest to what has arrived.
    const std::uint64_t received = found->second.stream.received();
    const std::uint32_t relative = packet.tcpSequence - found->second.initialSequence - 1;
    const auto delta = static_cast<std::int32_t>(relative - static_cast<std::uint32_t>(received));
    if (delta < 0 && static_cast<std::uint64_t>(-static_cast<std::int64_t>(delta)) > received)
      return Fate::drop;
    at = received + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
  }
  Connection& connection = found->second;
  if (packet.hasFlag(hosts::kTcpFin)) connection.closing = true;
  connection.expires = now + (connection.closing ? limits_.afterClose : limits_.idle);
  if (payload.empty()) return Fate::read;
  if (buffered_ + payload.size() > limits_.bufferedBytes) return Fate::drop;
  const std::size_t before = connection.stream.buffered();
  const TcpAnswerStream::Take taken = connection.stream.take(at, payload, policy, counts);
  buffered_ = buffered_ - before + connection.stream.buffered();
  return taken == TcpAnswerStream::Take::read ? Fate::read : Fate::drop;
}

std::size_t TcpAnswerStreams::size() const {
  std::lock_guard lock(mutex_);
  return connections_.size();
}

void TcpAnswerStreams::forget(Connections::iterator connection) {
  buffered_ -= connection->second.stream.buffered();
  connections_.erase(connection);
}

void TcpAnswerStreams::expire(Clock::time_point now, bool idleToo) {
  std::erase_if(connections_, [&](const auto& entry) {
    if (entry.second.expires > now || !(entry.second.closing || idleToo)) return false;
    buffered_ -= entry.second.stream.buffered();
    return true;
  });
}

}  // namespace quillnest::linuxhost::dns
