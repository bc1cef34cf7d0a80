// Names the requests of a plain-HTTP connection from their heads: the request target and the
// Host header give the URL the flow would carry on a platform that hands flows over with their
// URL ("http://HOST/PATH"). HttpRequestReader follows a whole connection (kept-alive and
// pipelined requests, bodies by Content-Length or chunked, as http_parser reads them);
// HttpRequestHeadReader reads the first head only.
//
// The head is read with http_parser, incrementally, as the outbound stream grows, and a request
// is named once its head is complete (the server acts on it then): by its Host, or by an
// absolute-form target ("GET http://host/path HTTP/1.1"), which overrides Host for the server,
// or by CONNECT's target. Outcomes that are not a name:
//   - bytes that are not an HTTP/1.x request (unknown method, binary data),
//   - a head that ends without Host (HTTP/1.0 allows that), or a Host value that is no host,
//   - a head longer than `limit`,
//   - a request http_parser refuses after its request line began, or after an earlier request,
//     and heads that name two hosts: two Host fields that differ (servers must refuse them, some
//     take the last), an absolute-form target and a Host that differ (an application may route
//     by Host).
// A Host (or :authority, or CONNECT's target) that is no authority names the host that servers
// routing by name still read in it ("name:http", "name/x", "[name]"), and so does an absolute-form
// target http_parser refuses ("http://name:/").
// After an Upgrade or CONNECT request the reader goes on: bytes that begin no request line are
// the other protocol (not HTTP), anything else is read as the next request, since a server that
// did not switch reads it so. The HTTP/2 connection preface, first or after an Upgrade, hands
// the connection to Http2RequestReader, which names each request it opens the same way.
// Obsolete line folding in Host: the folded lines are joined by one space, as RFC 9112 lets a
// server do, and the result must still be one host; a value that keeps inner white space after
// that is refused as a bad Host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillnest::hosts {

class Http2RequestReader;
class HttpRequestHeadReader;

enum class HttpHeadStatus : std::uint8_t { needMore, named, unnamed };

// Why a port-80 flow was judged without a name, or its head refused. The engine adds closedFirst
// and timedOut itself.
enum class HttpUnnamedReason : std::uint8_t {
  notHttp,              // not an HTTP/1.x request
  http2PriorKnowledge,  // HTTP/2 without TLS that could not be read (no memory for its decoder)
  missingHost,          // the head ended without Host
  badHost,              // Host is empty or not a host name / address
  headTooLarge,         // a head longer than the limit
  closedFirst,          // the client closed, or the connection ended, before a name
  timedOut,             // no name within the hold bound
  // A request line whose method http_parser does not know: servers take any token as a method.
  unknownMethod,
  // A request http_parser refuses once its request line has begun, or after an earlier request:
  // a server may still read it (or its framing) otherwise.
  malformed,
};
inline constexpr std::size_t kHttpUnnamedReasonCount = 9;
std::string_view httpUnnamedReasonName(HttpUnnamedReason reason);

struct HttpHeadResult {
  HttpHeadStatus status = HttpHeadStatus::needMore;
  std::string url;   // named: "http://HOST/PATH" or the absolute-form target
  std::string host;  // named: without port and without the brackets of an IPv6 literal
  HttpUnnamedReason reason = HttpUnnamedReason::notHttp;  // unnamed only
};

// Servers take heads of 8 KiB per line and more in all (nginx 32 KiB, Apache 100 lines of 8 KiB);
// no client sends a head that long.
inline constexpr std::size_t kHttpHeadLimit = 64 * 1024;

// Reads request after request from one outbound stream. Each head gets one answer (named or
// unnamed); the reader stops right after it so the caller can judge the request before any byte
// behind it is read, and goes on with the rest when given it again.

class HttpRequestReader {
 public:
  explicit HttpRequestReader(std::size_t headLimit = kHttpHeadLimit);
  ~HttpRequestReader();
  HttpRequestReader(const HttpRequestReader&) = delete;
  HttpRequestReader& operator=(const HttpRequestReader&) = delete;

  struct Read {
    std::size_t consumed = 0;            // bytes read; give the rest again
    std::optional<HttpHeadResult> head;  // a head's answer, when one was reached
  };
  Read read(std::span<const std::uint8_t> bytes);
  // Nothing more will be read: not HTTP (or no longer), a head went past the limit without a
  // name, or a request could not be read as a server may read it.
  bool ended() const { return ended_ && answers_.empty(); }
  // Answers already read wait for read() calls, which need no further bytes for them.
  bool answersWaiting() const { return !answers_.empty(); }
  // Heads answered so far.
  std::size_t heads() const { return heads_; }
  // What is left of a body that nothing needs to read: its first bytes are read and no reading
  // of it as requests goes on; of a Content-Length body all of it (the next request starts right
  // after it), of a chunked one what is left of the current chunk's data. 0 if none.
  std::uint64_t unreadBodyLeft() const;
  // Goes past n bytes of that body (1 <= n <= unreadBodyLeft()) as if they had been read.
  void skipBody(std::uint64_t n);

  struct State;

 private:
  // Readings of bodies as requests nest this deep. A request in a body deeper down ends the
  // connection's reading as malformed: each level reads every byte again.
  static constexpr unsigned kBodyReadingDepth = 3;
  // A request is judged once its head is complete, as the server acts on it then, with all its
  // Host fields read. A body's reading (depth above 0) names a head as soon as its first Host
  // line is, whatever follows, since bytes http_parser refuses after it need not stop a lenient
  // server.
  HttpRequestReader(std::size_t headLimit, unsigned depth);
  Read readStream(std::span<const std::uint8_t> bytes);
  // bodyBytes: the bytes belong to the body that began the reading (not to what follows it).
  void readBodyAsRequests(std::span<const std::uint8_t> bytes, bool bodyBytes);
  // Between a head's end and its message's end (or reading HTTP/2 frames): bytes that name
  // nothing, read in bulk.
  bool inBody() const;
  // At a message's start with nothing of it read: what follows reads alike for two readers in
  // the same place, neither with a reading of a body going on.
  bool betweenMessages() const;

  std::unique_ptr<State> state_;
  std::size_t limit_;
  unsigned depth_ = 0;
  std::size_t fed_ = 0;
  std::size_t heads_ = 0;
  bool ended_ = false;
  bool afterUpgrade_ = false;                  // the last message asked to switch protocols
  std::unique_ptr<Http2RequestReader> http2_;  // once the HTTP/2 preface was read
  // A server that ignores a request's body (python's http.server does for GET) reads the body as
  // the requests that follow: a body that begins with a request (a chunked one with its first
  // size line) is read that way too, from there on, every head it names judged, and one it cannot
  // name that a server may answer (an unknown method, a request http_parser refuses) refused as
  // at the top, until that reading fails or stands where this one does at a message's start.
  std::unique_ptr<HttpRequestReader> bodyAsRequests_;
  std::vector<std::uint8_t> bodyPending_;  // given to it, not read yet
  std::deque<HttpHeadResult> answers_;     // read, not answered yet: the body's first
  bool tooDeep_ = false;                   // a request was found below kBodyReadingDepth
};

class HttpRequestHeadReader {
 public:
  explicit HttpRequestHeadReader(std::size_t limit = kHttpHeadLimit);
  ~HttpRequestHeadReader();
  HttpRequestHeadReader(const HttpRequestHeadReader&) = delete;
  HttpRequestHeadReader& operator=(const HttpRequestHeadReader&) = delete;

  // The next bytes of the outbound stream. Once the result is named or unnamed it stays so and
  // further bytes are ignored.
  const HttpHeadResult& feed(std::span<const std::uint8_t> bytes);
  const HttpHeadResult& result() const { return result_; }
  // Stream bytes given so far (including those after a decision, which are not read).
  std::size_t fed() const { return fed_; }

 private:
  HttpRequestReader reader_;
  std::vector<std::uint8_t> pending_;  // given, not yet read
  HttpHeadResult result_;
  std::size_t fed_ = 0;
};

// The answer for a request to authority (a Host value, :authority, CONNECT's target): named, or
// badHost when it is no host.
HttpHeadResult httpHeadNamedBy(std::string_view authority, std::string_view path);
// The answer for a head judged, or refused, without a name.
HttpHeadResult httpHeadUnnamed(HttpUnnamedReason reason);
// Field names and host names compare without regard to ASCII case.
bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b);

// The whole head at once (tests, tools).
HttpHeadResult readHttpRequestHead(std::span<const std::uint8_t> bytes,
                                   std::size_t limit = kHttpHeadLimit);
HttpHeadResult readHttpRequestHead(std::string_view text, std::size_t limit = kHttpHeadLimit);

}  // namespace quillnest::hosts
