#include "hosts/common/http_request_head.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillnest::hosts {
namespace {

struct HeadCase {
  const char* name;
  std::string head;
  HttpHeadStatus status;
  std::string url;  // named
  std::string host;
  HttpUnnamedReason reason = HttpUnnamedReason::notHttp;  // unnamed
};

std::string bigHead() {
  std::string head = "GET / HTTP/1.1\r\n";
  while (head.size() < kHttpHeadLimit) head += "X-Filler: " + std::string(100, 'a') + "\r\n";
  return head + "Host: late.example\r\n\r\n";
}

const std::vector<HeadCase>& headCases() {
  using enum HttpHeadStatus;
  using R = HttpUnnamedReason;
  static const std::vector<HeadCase> cases = {
      {"plain", "GET /a/b?c=d HTTP/1.1\r\nHost: www.example.com\r\nAccept: */*\r\n\r\n", named,
       "http://www.example.com/a/b?c=d", "www.example.com"},
      {"host_with_port", "GET / HTTP/1.1\r\nHost: example.com:8080\r\n\r\n", named,
       "http://example.com/", "example.com"},
      {"upper_case_field", "GET /x HTTP/1.1\r\nHOST: Example.COM\r\n\r\n", named,
       "http://Example.COM/x", "Example.COM"},
      {"mixed_case_field_late", "GET / HTTP/1.1\r\nUser-Agent: t\r\nhOsT:  a.example \r\n\r\n",
       named, "http://a.example/", "a.example"},
      {"ipv6_literal", "GET /p HTTP/1.1\r\nHost: [2001:db8::1]:80\r\n\r\n", named,
       "http://[2001:db8::1]/p", "2001:db8::1"},
      {"ipv4_literal", "GET / HTTP/1.1\r\nHost: 192.0.2.7\r\n\r\n", named, "http://192.0.2.7/",
       "192.0.2.7"},
      {"trailing_dot", "GET / HTTP/1.1\r\nHost: blocked.example.\r\n\r\n", named,
       "http://blocked.example./", "blocked.example."},
      {"absolute_form", "GET http://proxy.example/x?y HTTP/1.1\r\nHost: proxy.example:80\r\n\r\n",
       named, "http://proxy.example/x?y", "proxy.example"},
      // Two names in one head: what a server takes is its own lore.
      {"absolute_form_and_another_host",
       "GET http://proxy.example/x HTTP/1.1\r\nHost: other.example\r\n\r\n", unnamed, "", "",
       R::malformed},
      {"absolute_form_without_host", "GET http://a.example:81/ HTTP/1.0\r\n\r\n", named,
       "http://a.example:81/", "a.example"},
      {"http10_without_host", "GET / HTTP/1.0\r\nAccept: */*\r\n\r\n", unnamed, "", "",
       R::missingHost},
      {"host_twice_differing",
       "GET / HTTP/1.1\r\nHost: first.example\r\nHost: second.example\r\n\r\n", unnamed, "", "",
       R::malformed},
      {"host_twice_alike", "GET / HTTP/1.1\r\nHost: a.example\r\nhost: A.example:80\r\n\r\n", named,
       "http://a.example/", "a.example"},
      {"empty_host_then_another", "GET / HTTP/1.1\r\nHost:\r\nHost: blocked.example\r\n\r\n",
       unnamed, "", "", R::malformed},
      {"folded_host_joined", "GET / HTTP/1.1\r\nHost:\r\n blocked.example\r\n\r\n", named,
       "http://blocked.example/", "blocked.example"},
      {"empty_host", "GET / HTTP/1.1\r\nHost:\r\n\r\n", unnamed, "", "", R::badHost},
      {"host_with_space", "GET / HTTP/1.1\r\nHost: a.example b.example\r\n\r\n", unnamed, "", "",
       R::badHost},
      {"host_with_userinfo", "GET / HTTP/1.1\r\nHost: user@a.example\r\n\r\n", unnamed, "", "",
       R::badHost},
      // nginx and Go's ServeMux route these by the name before the first colon.
      {"host_port_not_a_number", "GET / HTTP/1.1\r\nHost: blocked.example:http\r\n\r\n", named,
       "http://blocked.example/", "blocked.example"},
      {"host_two_ports", "GET /p HTTP/1.1\r\nHost: blocked.example:80:80\r\n\r\n", named,
       "http://blocked.example/p", "blocked.example"},
      {"host_port_only", "GET / HTTP/1.1\r\nHost: :80\r\n\r\n", unnamed, "", "", R::badHost},
      // Caddy routes by the name inside brackets.
      {"host_bracketed_bad_port", "GET / HTTP/1.1\r\nHost: [2001:db8::1]:x\r\n\r\n", named,
       "http://[2001:db8::1]/", "2001:db8::1"},
      {"unclosed_bracket", "GET / HTTP/1.1\r\nHost: [2001:db8::1\r\n\r\n", unnamed, "", "",
       R::badHost},
      {"bracketed_v4", "GET / HTTP/1.1\r\nHost: [192.0.2.1]\r\n\r\n", named, "http://192.0.2.1/",
       "192.0.2.1"},
      {"bracketed_name", "GET / HTTP/1.1\r\nHost: [blocked.example]:http\r\n\r\n", named,
       "http://blocked.example/", "blocked.example"},
      // h2o routes by the name before a slash.
      {"host_with_a_path", "GET / HTTP/1.1\r\nHost: blocked.example/x:80\r\n\r\n", named,
       "http://blocked.example/", "blocked.example"},
      {"brackets_twice", "GET / HTTP/1.1\r\nHost: [[blocked.example]]\r\n\r\n", unnamed, "", "",
       R::badHost},
      // lighttpd takes an empty port.
      {"absolute_form_empty_port", "GET http://user@blocked.example:/x HTTP/1.1\r\n\r\n", named,
       "http://user@blocked.example:/x", "blocked.example"},
      {"absolute_form_bracketed_name", "GET http://[blocked.example]/ HTTP/1.1\r\n\r\n", named,
       "http://[blocked.example]/", "blocked.example"},
      {"garbage", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11), unnamed, "", "",
       R::notHttp},
      {"ssh_banner", "SSH-2.0-OpenSSH_9.2\r\n", unnamed, "", "", R::notHttp},
      {"http2_preface_alone", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", needMore, "", ""},
      {"response_not_request", "HTTP/1.1 200 OK\r\n\r\n", unnamed, "", "", R::notHttp},
      // Servers take any token as a method; http_parser knows a list.
      {"unknown_method", "FOO / HTTP/1.1\r\nHost: a.example\r\n\r\n", unnamed, "", "",
       R::unknownMethod},
      {"unknown_method_not_yet_told", "FOOBAR", needMore, "", ""},
      // Servers such as Go's take any token as a method, in any case: a line that ends in an
      // HTTP version is a request line, whatever its token.
      {"lower_case_token", "get / HTTP/1.1\r\nHost: blocked.example\r\n\r\n", unnamed, "", "",
       R::unknownMethod},
      {"lower_case_token_long_target",
       "get /" + std::string(200, 'a') + " HTTP/1.1\r\nHost: blocked.example\r\n\r\n", unnamed, "",
       "", R::unknownMethod},
      {"lower_case_token_line_not_ended", "get / HTTP/1.1", needMore, "", ""},
      {"lower_case_token_without_version", "hello world\r\n", unnamed, "", "", R::notHttp},
      {"token_past_any_method", std::string(40, 'A') + " / HTTP/1.1\r\n\r\n", unnamed, "", "",
       R::unknownMethod},
      {"oversize_head", bigHead(), unnamed, "", "", R::headTooLarge},
      // A proxy connects to CONNECT's target, whatever Host says.
      {"connect_names_its_target",
       "CONNECT blocked.example:443 HTTP/1.1\r\nHost: allowed.example\r\n\r\n", named,
       "http://blocked.example/", "blocked.example"},
      {"connect_target_port_not_a_number", "CONNECT a.example:https HTTP/1.1\r\n\r\n", named,
       "http://a.example/", "a.example"},
      {"connect_target_no_host", "CONNECT :443 HTTP/1.1\r\n\r\n", unnamed, "", "", R::badHost},
      // A request line begun, then bytes http_parser refuses: a lenient server may still read
      // them, so they are no "other protocol".
      {"space_before_colon", "GET / HTTP/1.1\r\nHost : blocked.example\r\n\r\n", unnamed, "", "",
       R::malformed},
      // Request lines a lenient server splits on other white space (python's http.server).
      {"tabs_in_the_request_line", "GET\t/\tHTTP/1.1\r\nHost: blocked.example\r\n\r\n", unnamed, "",
       "", R::malformed},
      {"space_before_the_method", " GET / HTTP/1.1\r\nHost: blocked.example\r\n\r\n", unnamed, "",
       "", R::malformed},
      {"latin1_space_after_an_unknown_method", "FOO\xa0/ HTTP/1.1\r\n\r\n", unnamed, "", "",
       R::unknownMethod},
      {"control_byte_in_target", "GET /\x01 HTTP/1.1\r\nHost: blocked.example\r\n\r\n", unnamed, "",
       "", R::malformed},
      {"incomplete_host_line", "GET / HTTP/1.1\r\nHost: a.exa", needMore, "", ""},
      {"host_line_without_next_line", "GET / HTTP/1.1\r\nHost: a.example\r\n", needMore, "", ""},
      {"request_line_only", "GET /index.html HTTP/1.1\r\n", needMore, "", ""},
      {"empty", "", needMore, "", ""},
  };
  return cases;
}

class HttpHeadTable : public ::testing::TestWithParam<HeadCase> {};

void expectResult(const HeadCase& c, const HttpHeadResult& result, const std::string& how) {
  ASSERT_EQ(static_cast<int>(result.status), static_cast<int>(c.status)) << how;
  if (c.status == HttpHeadStatus::named) {
    EXPECT_EQ(result.url, c.url) << how;
    EXPECT_EQ(result.host, c.host) << how;
  } else if (c.status == HttpHeadStatus::unnamed) {
    EXPECT_EQ(httpUnnamedReasonName(result.reason), httpUnnamedReasonName(c.reason)) << how;
  }
}

// Whole, and in pieces of every size: the answer may not depend on where the stream is cut.
TEST_P(HttpHeadTable, WholeAndInAnyPieces) {
  const HeadCase& c = GetParam();
  expectResult(c, readHttpRequestHead(c.head), "whole");
  for (std::size_t piece = 1; piece <= 7; ++piece) {
    HttpRequestHeadReader reader;
    for (std::size_t at = 0; at < c.head.size(); at += piece) {
      const std::string part = c.head.substr(at, piece);
      reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()));
    }
    expectResult(c, reader.result(), "pieces of " + std::to_string(piece));
  }
}

INSTANTIATE_TEST_SUITE_P(Heads, HttpHeadTable, ::testing::ValuesIn(headCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(HttpRequestHeadReader, LimitCountsBytesNotHeaders) {
  const std::string head = "GET / HTTP/1.1\r\nHost: a.example\r\n\r\n";
  EXPECT_EQ(readHttpRequestHead(head, head.size()).status, HttpHeadStatus::named);
  // Cut before the Host line is complete: no name within the limit.
  const auto cut = readHttpRequestHead(head, head.find("\r\n\r\n"));
  EXPECT_EQ(cut.status, HttpHeadStatus::unnamed);
  EXPECT_EQ(cut.reason, HttpUnnamedReason::headTooLarge);
}

// What of a body may go unread: a Content-Length body past its first bytes that nothing reads
// as requests, and of a chunked one the rest of the current chunk's data. Skipping it leaves the
// reader at the next request, or at the chunk's end.
TEST(HttpRequestReader, SkipsOnlyBodiesNothingReads) {
  const auto feed = [](HttpRequestReader& reader, const std::string& text) {
    std::span<const std::uint8_t> rest(reinterpret_cast<const std::uint8_t*>(text.data()),
                                       text.size());
    std::vector<HttpHeadResult> heads;
    for (int i = 0; i < 100 && (!rest.empty() || reader.answersWaiting()); ++i) {
      const auto read = reader.read(rest);
      rest = rest.subspan(read.consumed);
      if (read.head) heads.push_back(*read.head);
    }
    return heads;
  };
  const std::string post = "POST / HTTP/1.1\r\nHost: a.example\r\nContent-Length: 100\r\n\r\n";
  const std::string next = "GET / HTTP/1.1\r\nHost: b.example\r\n\r\n";
  const std::string chunked =
      post.substr(0, post.find("Content")) + "Transfer-Encoding: chunked\r\n\r\n";
  struct Row {
    std::string stream;
    std::uint64_t left;
    std::string rest = "";  // of the body, after what is left
  };
  for (const Row& row : {
           Row{post + std::string(3, '\0'), 97},
           Row{post, 0},  // its first bytes decide whether they are requests
           Row{post + "GET / HTTP/1.1\r\nHo", 0},  // read as requests
           Row{post + std::string(100, '\0'), 0},
           Row{chunked + "100\r\n" + std::string(2, '\0'), 254, "\r\n0\r\n\r\n"},
           Row{chunked + "100\r\n" + std::string(256, '\0') + "\r\n", 0},  // between chunks
           Row{next, 0},
       }) {
    HttpRequestReader reader;
    feed(reader, row.stream);
    EXPECT_EQ(reader.unreadBodyLeft(), row.left) << row.stream;
    if (row.left == 0) continue;
    reader.skipBody(row.left);
    EXPECT_EQ(reader.unreadBodyLeft(), 0u);
    const auto heads = feed(reader, row.rest + next);
    ASSERT_EQ(heads.size(), 1u);
    EXPECT_EQ(heads[0].host, "b.example");
    EXPECT_EQ(reader.heads(), 2u);
  }
}

}  // namespace
}  // namespace quillnest::hosts
