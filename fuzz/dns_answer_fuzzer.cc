// The DNS answer rewriter on arbitrary bytes, as one message (UDP, either mode) and as a TCP
// segment's payload. Besides memory safety it checks what the daemon relies on: a kept length is
// kept, a removal never grows the message, nothing comes back unless rewritten, nothing is
// rewritten when no name is blocked and the escape hatches are open, and a second pass changes
// nothing more.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "fuzz/fuzz_check.h"
#include "hosts/linux/dns/answer_rewriter.h"

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
  return 0;
}
