// The request head reader on arbitrary bytes, cut at arbitrary points (the first byte of the
// input picks the cuts): it never reads out of bounds, and a name it finds does not depend on
// how the stream was cut, which is what lets the engine feed it segment by segment. On
// malformed heads http_parser itself may stop at a different byte when fed in pieces, so an
// unnamed answer may give another reason, or none yet: the flow is judged without a name
// either way.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "hosts/common/http_request_head.h"

using quillnest::fuzz::check;
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
    check(sameName(whole, reader.result()), "the answer depends on the cuts");
    check(whole.status != HttpHeadStatus::named || !whole.host.empty(), "named without a host");
    // The whole connection, request after request, as the engine reads it: the names of the
    // heads do not depend on the cuts either, and every read makes progress or waits for more.
    // The body bytes the reader says nothing reads may be skipped instead (the engine lets them
    // pass unread): the names stay the same.
    std::vector<std::string> namesOf[3];  // read whole, cut, cut with bodies skipped
    for (const int run : {0, 1, 2}) {
      const std::size_t cut = run == 0 ? stream.size() : step;
      std::vector<std::string>& names = namesOf[run];
      quillnest::hosts::HttpRequestReader requests(limit);
      std::vector<std::uint8_t> pending;
      for (std::size_t at = 0; at < stream.size() && !requests.ended(); at += cut) {
        const auto piece = stream.subspan(at, std::min(cut, stream.size() - at));
        pending.insert(pending.end(), piece.begin(), piece.end());
        while ((!pending.empty() || requests.answersWaiting()) && !requests.ended()) {
          if (const std::uint64_t left = requests.unreadBodyLeft();
              run == 2 && left > 0 && !pending.empty()) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, pending.size()));
            requests.skipBody(n);
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
            continue;
          }
          const auto read = requests.read(pending);
          check(read.consumed <= pending.size(), "consumed more than given");
          pending.erase(pending.begin(),
                        pending.begin() + static_cast<std::ptrdiff_t>(read.consumed));
          if (read.head) {
            const bool named = read.head->status == HttpHeadStatus::named;
            names.push_back(named ? read.head->host : std::string());
          }
          if (read.consumed == 0 && !read.head) break;
        }
      }
    }
    // http_parser may stop at another byte on malformed input when fed in pieces, so the names
    // are compared when both runs named every head. A body read as requests may name its heads
    // before or after the head that follows the body, as the cuts fall: the same names, in any
    // order.
    const auto sameNames = [](std::vector<std::string> a, std::vector<std::string> b,
                              const char* what) {
      const std::string unnamed;
      if (std::find(a.begin(), a.end(), unnamed) != a.end() ||
          std::find(b.begin(), b.end(), unnamed) != b.end())
        return;
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
      check(a == b, what);
    };
    sameNames(namesOf[0], namesOf[1], "requests named differently by the cuts");
    sameNames(namesOf[1], namesOf[2], "requests named differently when bodies are skipped");
  }
  return 0;
}
