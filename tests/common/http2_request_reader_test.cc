// HTTP/2 without TLS through the request reader: each request a connection opens is named, the
// same whatever the cuts, and what a server would refuse or could read otherwise is refused.
#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <string>
#include <utility>
#include <vector>

#include "hosts/common/http_request_head.h"

namespace quillnest::hosts {
namespace {

using Fields = std::vector<std::pair<std::string, std::string>>;

const std::string kPreface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

std::string frame(std::uint8_t type, std::uint8_t flags, std::uint32_t stream,
                  const std::string& payload) {
  const std::size_t n = payload.size();
  std::string out = {char(n >> 16),      char(n >> 8),      char(n),
                     char(type),         char(flags),       char(stream >> 24),
                     char(stream >> 16), char(stream >> 8), char(stream)};
  return out + payload;
}

// One encoder per connection, as a client has: later blocks refer to its table.
class Client {
 public:
  Client() { nghttp2_hd_deflate_new(&deflater_, 4096); }
  ~Client() { nghttp2_hd_deflate_del(deflater_); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  std::string block(const Fields& fields) {
    std::vector<nghttp2_nv> nv;
    for (const auto& [name, value] : fields) {
      nv.push_back({reinterpret_cast<std::uint8_t*>(const_cast<char*>(name.data())),
                    reinterpret_cast<std::uint8_t*>(const_cast<char*>(value.data())), name.size(),
                    value.size(), NGHTTP2_NV_FLAG_NONE});
    }
    std::string out(nghttp2_hd_deflate_bound(deflater_, nv.data(), nv.size()), '\0');
    const auto n = nghttp2_hd_deflate_hd(deflater_, reinterpret_cast<std::uint8_t*>(out.data()),
                                         out.size(), nv.data(), nv.size());
    out.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
    return out;
  }
  // A request's HEADERS, its block cut into a HEADERS and CONTINUATIONs every `cut` bytes.
  std::string request(std::uint32_t stream, const Fields& fields, std::size_t cut = 0) {
    const std::string b = block(fields);
    if (cut == 0 || cut >= b.size()) return frame(1, 0x5, stream, b);
    std::string out = frame(1, 0x1, stream, b.substr(0, cut));
    for (std::size_t at = cut; at < b.size(); at += cut) {
      out += frame(9, at + cut >= b.size() ? 0x4 : 0, stream, b.substr(at, cut));
    }
    return out;
  }

 private:
  nghttp2_hd_deflater* deflater_ = nullptr;
};

Fields get(const std::string& authority, const std::string& path = "/") {
  return {{":method", "GET"}, {":scheme", "http"}, {":authority", authority}, {":path", path}};
}
// A connection's first request, from a client of its own.
std::string only(const Fields& fields, std::size_t cut = 0) {
  return Client().request(1, fields, cut);
}

// Each answer as the host named or "-reason"; "." once the reader ended.
std::vector<std::string> answers(const std::string& stream, std::size_t piece) {
  HttpRequestReader reader;
  std::vector<std::string> out;
  std::string pending;
  for (std::size_t at = 0; at < stream.size() && !reader.ended(); at += piece) {
    pending += stream.substr(at, piece);
    while (!pending.empty() && !reader.ended()) {
      const auto read = reader.read(
          std::span(reinterpret_cast<const std::uint8_t*>(pending.data()), pending.size()));
      pending.erase(0, read.consumed);
      if (read.head) {
        out.push_back(read.head->status == HttpHeadStatus::named
                          ? read.head->host
                          : "-" + std::string(httpUnnamedReasonName(read.head->reason)));
      }
      if (read.consumed == 0 && !read.head) break;
    }
  }
  if (reader.ended()) out.push_back(".");
  return out;
}

struct Case {
  const char* name;
  std::string stream;
  std::vector<std::string> answers;
};

std::vector<Case> cases() {
  using V = std::vector<std::string>;
  const std::string settings = frame(4, 0, 0, std::string(6, '\0'));
  std::vector<Case> all;
  const auto add = [&](const char* name, std::string stream, V expected) {
    all.push_back({name, std::move(stream), std::move(expected)});
  };
  add("one_request", kPreface + settings + only(get("www.example.org", "/a")),
      V{"www.example.org"});
  // As nginx reads a port that is no number.
  add("authority_port_not_a_number", kPreface + only(get("blocked.example:http")),
      V{"blocked.example"});
  // Two requests of one client: the second block refers to the first's table entries.
  const auto two = [](const std::string& first, const std::string& second) {
    Client c;
    const std::string out = c.request(1, get(first));
    return out + c.request(3, get(second));
  };
  add("second_stream_named", kPreface + two("www.example.org", "blocked.example"),
      V{"www.example.org", "blocked.example"});
  add("same_name_from_the_table", kPreface + two("www.example.org", "www.example.org"),
      V{"www.example.org", "www.example.org"});
  add("host_without_authority",
      kPreface + only({{":method", "GET"}, {":path", "/"}, {"host", "a.example"}}), V{"a.example"});
  Fields twoNames = get("www.example.org");
  twoNames.emplace_back("host", "blocked.example");
  add("authority_and_host_differ", kPreface + only(twoNames), V{"-malformed", "."});
  {
    Client c;
    add("no_name_then_a_named_one",
        kPreface + c.request(1, {{":method", "GET"}, {":path", "/"}}) +
            c.request(3, get("blocked.example")),
        V{"-missingHost", "blocked.example"});
  }
  add("continuations", kPreface + only(get("blocked.example", "/long/path"), 3),
      V{"blocked.example"});
  const std::string b = Client().block(get("blocked.example"));
  // PADDED and PRIORITY: pad length, 5 bytes of priority, the block, the padding.
  add("padded_with_priority",
      kPreface + frame(1, 0x4 | 0x8 | 0x20, 1, "\x03" + std::string(5, '\0') + b + "xyz"),
      V{"blocked.example"});
  add("padding_longer_than_the_frame", kPreface + frame(1, 0x4 | 0x8, 1, "\x09" + b.substr(0, 3)),
      V{"-malformed", "."});
  {
    Client c;
    // Trailers are decoded, not judged; DATA is skipped whatever it holds.
    const std::string first = c.request(1, get("www.example.org"));
    const std::string data = frame(0, 0, 1, "GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n");
    const std::string trailers = frame(1, 0x5, 1, c.block({{"host", "blocked.example"}}));
    add("data_and_trailers", kPreface + first + data + trailers + c.request(3, get("a.example")),
        V{"www.example.org", "a.example"});
  }
  add("continuation_interrupted",
      kPreface + frame(1, 0x1, 1, b.substr(0, 4)) + frame(0, 0, 1, "x") +
          frame(9, 0x4, 1, b.substr(4)),
      V{"-malformed", "."});
  add("continuation_alone", kPreface + frame(9, 0x4, 1, b), V{"-malformed", "."});
  add("even_stream", kPreface + frame(1, 0x5, 2, b), V{"-malformed", "."});
  add("push_promise", kPreface + frame(5, 0x4, 1, std::string(4, '\0') + b), V{"-malformed", "."});
  add("undecodable_block", kPreface + frame(1, 0x5, 1, "\xff\xff\xff\xff\xff\xff"),
      V{"-malformed", "."});
  std::string big;
  for (int i = 0; i < 8; ++i) big += frame(9, 0, 1, std::string(9000, 'a'));
  add("block_past_the_limit", kPreface + frame(1, 0, 1, Client().block({{":method", "GET"}})) + big,
      V{"-headTooLarge", "."});
  const std::string upgrade =
      "GET / HTTP/1.1\r\nHost: www.example.org\r\nConnection: Upgrade, HTTP2-Settings\r\n"
      "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\n";
  add("after_an_h2c_upgrade",
      upgrade + kPreface + settings + Client().request(3, get("blocked.example")),
      V{"www.example.org", "blocked.example"});
  add("preface_after_a_plain_request", "GET / HTTP/1.1\r\nHost: www.example.org\r\n\r\n" + kPreface,
      V{"www.example.org", "-unknownMethod", "."});
  add("preface_cut_short", kPreface.substr(0, 20), V{});
  return all;
}

class Http2Table : public ::testing::TestWithParam<Case> {};

TEST_P(Http2Table, WholeAndInAnyPieces) {
  const Case& c = GetParam();
  for (std::size_t piece : {c.stream.size() + 1, std::size_t{1}, std::size_t{2}, std::size_t{5},
                            std::size_t{9}, std::size_t{100}}) {
    EXPECT_EQ(answers(c.stream, piece), c.answers) << "pieces of " << piece;
  }
}

INSTANTIATE_TEST_SUITE_P(Http2, Http2Table, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillnest::hosts
