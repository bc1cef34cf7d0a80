// The DNS answer rewriter on arbitrary bytes, as one message (UDP, either mode) and as a TCP
// segment's payload. Besides memory safety it checks what the daemon relies on: a kept length is
// kept, a removal never grows the message, nothing comes back unless rewritten, nothing is
// rewritten when no name is blocked and the escape hatches are open, and a second pass changes
// nothing more. The TCP stream reader, fed the same bytes in pieces, gives what it gives fed them
// whole, and what whole-message reading gives where that reads every message.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/dns/answer_rewriter.h"
#include "hosts/linux/dns/tcp_answer_stream.h"

namespace {

using quillnest::fuzz::check;
using namespace quillnest::linuxhost::dns;

AnswerPolicy policy(bool blockAll, bool keepLength, bool close) {
  AnswerPolicy result;
  result.isBlocked = [blockAll](std::string_view) { return blockAll; };
  result.keepLength = keepLength;
  result.closeEncryptedDns = close;
  return result;
}

void checkOne(std::span<const std::uint8_t> input, const AnswerPolicy& rules) {
  const AnswerEdit edit = rewriteAnswer(input, rules);
  if (edit.outcome != AnswerOutcome::rewritten) {
    check(edit.message.empty(), "bytes returned for a message not rewritten");
    return;
  }
  check(!edit.message.empty(), "rewritten to nothing");
  if (rules.keepLength) check(edit.message.size() == input.size(), "length not kept");
  check(edit.message.size() <= input.size(), "rewritten message grew");
  const AnswerEdit again = rewriteAnswer(edit.message, rules);
  if (again.outcome == AnswerOutcome::rewritten)
    check(again.message == edit.message, "a second pass changed the message");
}

std::vector<std::uint8_t> streamed(std::span<const std::uint8_t> input, std::size_t piece,
                                   const AnswerPolicy& rules, StreamCounts& counts) {
  std::vector<std::uint8_t> bytes(input.begin(), input.end());
  TcpAnswerStream reader;
  for (std::size_t at = 0; at < bytes.size(); at += piece) {
    const auto part = std::span(bytes).subspan(at, std::min(piece, bytes.size() - at));
    check(reader.take(at, part, rules, counts) == TcpAnswerStream::Take::read, "in order, refused");
  }
  return bytes;
}

void checkStream(std::span<const std::uint8_t> input, const StreamEdit& whole) {
  const AnswerPolicy rules = policy(true, true, true);
  StreamCounts wholeCounts, pieceCounts;
  const auto once = streamed(input, input.size() + 1, rules, wholeCounts);
  const auto pieces = streamed(input, 1 + input.size() % 61, rules, pieceCounts);
  check(pieces.size() == input.size(), "stream length not kept");
  // A canary's header may pass before its question is read; nothing else depends on the cuts.
  if (wholeCounts.canariesAnswered == 0) check(pieces == once, "the cuts changed the bytes");
  if (whole.unparsed == 0 && wholeCounts.unparsed == 0 && whole.answersRead > 0) {
    const auto& wanted = whole.outcome == AnswerOutcome::rewritten
                             ? whole.payload
                             : std::vector(input.begin(), input.end());
    check(once == wanted, "stream reading differs from whole-message reading");
  }
  StreamCounts openCounts;
  check(streamed(input, 7, policy(false, true, false), openCounts) ==
            std::vector(input.begin(), input.end()),
        "stream rewritten with nothing blocked");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> input(data, size);
  for (bool keepLength : {false, true}) {
    checkOne(input, policy(true, keepLength, true));
    const AnswerEdit open = rewriteAnswer(input, policy(false, keepLength, false));
    check(open.outcome != AnswerOutcome::rewritten, "rewritten with nothing blocked");
  }
  const StreamEdit stream = rewriteTcpPayload(input, policy(true, false, true));
  if (stream.outcome == AnswerOutcome::rewritten)
    check(stream.payload.size() == size, "TCP payload length not kept");
  else
    check(stream.payload.empty(), "TCP bytes returned though not rewritten");
  checkStream(input, rewriteTcpPayload(input, policy(true, true, true)));
  return 0;
}
