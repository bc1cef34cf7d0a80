// The request head reader on arbitrary bytes, cut at arbitrary points (the first byte of the
// input picks the cuts): it never reads out of bounds, and a name it finds does not depend on
// how the stream was cut, which is what lets the engine feed it segment by segment. On
// malformed heads http_parser itself may stop at a different byte when fed in pieces, so an
// unnamed answer may give another reason, or none yet: the flow is judged without a name
// either way.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "hosts/common/http_request_head.h"

using quillnest::hosts::HttpHeadResult;
using quillnest::hosts::HttpRequestHeadReader;

namespace {

using quillnest::hosts::HttpHeadStatus;

bool sameName(const HttpHeadResult& a, const HttpHeadResult& b) {
  if (a.status != HttpHeadStatus::named || b.status != HttpHeadStatus::named) return true;
  return a.url == b.url && a.host == b.host;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t step = 1 + data[0] % 64;
  const std::span<const std::uint8_t> stream(data + 1, size - 1);
  // A small limit too, so the oversize path is reached with short inputs.
  for (std::size_t limit : {quillnest::hosts::kHttpHeadLimit, std::size_t{64}}) {
    const HttpHeadResult whole = quillnest::hosts::readHttpRequestHead(stream, limit);
    HttpRequestHeadReader reader(limit);
    for (std::size_t at = 0; at < stream.size(); at += step) {
      reader.feed(stream.subspan(at, std::min(step, stream.size() - at)));
    }
    if (!sameName(whole, reader.result())) {
      std::fprintf(stderr, "answer depends on the cuts (step %zu, limit %zu)\n", step, limit);
      std::abort();
    }
    if (whole.status == quillnest::hosts::HttpHeadStatus::named && whole.host.empty()) {
      std::fprintf(stderr, "named without a host\n");
      std::abort();
    }
  }
  return 0;
}
