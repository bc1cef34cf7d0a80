#include "hosts/common/http_request_head.h"

#include <http_parser.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <optional>

#include "hosts/common/http2_request_reader.h"
#include "hosts/common/packet.h"

namespace quillnest::hosts {

struct HttpRequestReader::State {
  http_parser parser{};
  // The head being read; cleared when the next message begins.
  std::string target;
  std::string field;
  // The values of the head's Host fields, the one being read last.
  std::vector<std::string> hosts;
  bool firstHostDone = false;  // a field after the first Host began
  bool early = false;          // named at the first Host (a body's reading)
  bool lastWasValue = false;
  bool inHost = false;
  bool requestLineDone = false;
  bool headEnded = false;
  bool answered = false;  // this head has had its answer
  bool inMessage = false;
  std::size_t headBytes = 0;  // bytes read while this head had no answer
  // A message's first bytes, to tell the HTTP/2 preface and a method http_parser does not know
  // from bytes that are no request; atStart until its request target begins.
  bool atStart = true;
  std::string start;
  // A Content-Length body's first byte, once read (see HttpRequestReader::bodyAsRequests_).
  bool watchBody = false;
  // Where a chunked body begins in the stream: its size line is no body byte to http_parser, yet
  // a server that ignores the body reads it first (a size such as ADD can make a request line).
  bool chunkedBodyNext = false;
  std::optional<std::size_t> chunkedBodyAt;
  bool bodyBegun = false;    // this message's body has begun (and not ended)
  bool inChunkData = false;  // between a chunk's size line and the end of its data
  const char* bodyStart = nullptr;

  void beginHead() {
    target.clear();
    field.clear();
    hosts.clear();
    lastWasValue = inHost = firstHostDone = false;
    requestLineDone = headEnded = answered = watchBody = chunkedBodyNext = false;
    chunkedBodyAt.reset();
    bodyBegun = inChunkData = false;
    inMessage = true;
    headBytes = 0;
  }
};

namespace {

using State = HttpRequestReader::State;

constexpr std::string_view kHttp2Preface = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n";

State& stateOf(http_parser* parser) { return *static_cast<State*>(parser->data); }

// A field's name is complete once its value begins: a Host field's value is gathered.
void beginValue(State& state) {
  state.inHost = equalsIgnoringAsciiCase(state.field, "host");
  if (state.inHost) state.hosts.emplace_back();
}

int onMessageBegin(http_parser* parser) {
  stateOf(parser).beginHead();
  return 0;
}

int onMessageComplete(http_parser* parser) {
  State& state = stateOf(parser);
  state.inMessage = false;
  state.headBytes = 0;
  state.bodyBegun = false;
  state.atStart = true;
  state.start.clear();
  // The next message's bytes begin with the next read.
  http_parser_pause(parser, 1);
  return 0;
}

int onUrl(http_parser* parser, const char* at, std::size_t length) {
  State& state = stateOf(parser);
  state.atStart = false;
  if (!state.answered) state.target.append(at, length);
  return 0;
}

int onHeaderField(http_parser* parser, const char* at, std::size_t length) {
  State& state = stateOf(parser);
  if (state.answered) return 0;
  state.requestLineDone = true;
  if (state.lastWasValue) state.field.clear();
  state.lastWasValue = false;
  state.inHost = false;
  state.firstHostDone = !state.hosts.empty();
  state.field.append(at, length);
  // http_parser takes "Host : x" as a field named "Host "; servers refuse white space there or
  // trim it, so such a head is refused rather than read without its Host.
  if (std::memchr(at, ' ', length) != nullptr || std::memchr(at, '\t', length) != nullptr) {
    return 1;
  }
  if (state.early && state.firstHostDone) http_parser_pause(parser, 1);
  return 0;
}

int onHeaderValue(http_parser* parser, const char* at, std::size_t length) {
  State& state = stateOf(parser);
  if (state.answered) return 0;
  if (!state.lastWasValue) beginValue(state);
  state.lastWasValue = true;
  if (state.inHost) state.hosts.back().append(at, length);
  return 0;
}

int onBody(http_parser* parser, const char* at, std::size_t) {
  State& state = stateOf(parser);
  if (state.watchBody) state.bodyStart = at;
  state.watchBody = false;
  return 0;
}

// http_parser gives the chunk's size in content_length, and counts it down as it reads the data.
int onChunkHeader(http_parser* parser) {
  stateOf(parser).inChunkData = parser->content_length > 0;
  return 0;
}

int onChunkComplete(http_parser* parser) {
  stateOf(parser).inChunkData = false;
  return 0;
}

int onHeadersComplete(http_parser* parser) {
  State& state = stateOf(parser);
  state.chunkedBodyNext = (parser->flags & F_CHUNKED) != 0;
  state.watchBody =
      !state.chunkedBodyNext && parser->content_length > 0 && parser->content_length != ULLONG_MAX;
  if (state.answered) return 0;
  state.requestLineDone = true;
  // A last field whose value is empty gets no value callback.
  if (!state.lastWasValue && !state.field.empty()) beginValue(state);
  state.inHost = false;
  state.headEnded = true;
  http_parser_pause(parser, 1);
  return 0;
}

const http_parser_settings& settings() {
  static const http_parser_settings value = [] {
    http_parser_settings s{};
    s.on_message_begin = onMessageBegin;
    s.on_url = onUrl;
    s.on_header_field = onHeaderField;
    s.on_header_value = onHeaderValue;
    s.on_headers_complete = onHeadersComplete;
    s.on_body = onBody;
    s.on_chunk_header = onChunkHeader;
    s.on_chunk_complete = onChunkComplete;
    s.on_message_complete = onMessageComplete;
    return s;
  }();
  return value;
}

bool isWhiteSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trim(std::string_view text) {
  while (!text.empty() && isWhiteSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && isWhiteSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Folded lines reach us with their line break; they become one space.
std::string unfold(std::string_view value) {
  std::string out;
  bool space = false;
  for (char c : trim(value)) {
    if (c == '\r' || c == '\n') {
      space = true;
      continue;
    }
    if (space && (c == ' ' || c == '\t')) continue;
    if (space) out.push_back(' ');
    space = false;
    out.push_back(c);
  }
  return out;
}

// A reg-name of RFC 3986 without percent-encoding; bytes above ASCII are left to the rules'
// own normalisation.
bool isNameCharacter(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::strchr("-._~!$&'()*+,;=", c) != nullptr && c != 0;
}

bool allDigits(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

struct Authority {
  std::string host;  // without brackets
  bool bracketed = false;
};

// "name", "name:port", "[v6]", "[v6]:port"; nullopt when it is none of them.
std::optional<Authority> parseAuthority(std::string_view text) {
  Authority authority;
  if (!text.empty() && text.front() == '[') {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !allDigits(rest.substr(1)))) return std::nullopt;
    authority.host = std::string(text.substr(1, close - 1));
    IpAddress address;
    if (!IpAddress::parse(authority.host, address) || address.family != IpFamily::v6)
      return std::nullopt;
    authority.bracketed = true;
    return authority;
  }
  std::string_view name = text;
  if (const auto colon = text.rfind(':'); colon != std::string_view::npos) {
    if (!allDigits(text.substr(colon + 1))) return std::nullopt;
    name = text.substr(0, colon);
  }
  if (name.empty()) return std::nullopt;
  for (char c : name)
    if (!isNameCharacter(static_cast<unsigned char>(c))) return std::nullopt;
  authority.host = std::string(name);
  return authority;
}

// A value that is no authority, as servers that route by name still read it, so that the
// request is judged by that name rather than by none: nginx and Go's ServeMux take the name up to
// the first colon (a port that is no number, a second colon; a proxy resolves a port's service
// name), h2o up to a slash, Caddy and h2o the name inside brackets. The other delimiters of a
// URL's authority end the name too.
std::optional<Authority> leniently(std::string_view text) {
  if (text.starts_with('[')) {
    const auto close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view inside = text.substr(1, close - 1);
    IpAddress address;
    if (IpAddress::parse(inside, address) && address.family == IpFamily::v6) {
      return Authority{std::string(inside), true};
    }
    return inside.starts_with('[') ? std::nullopt : leniently(inside);
  }
  return parseAuthority(text.substr(0, text.find_first_of(":/?#\\")));
}

HttpHeadResult named(std::string url, std::string host) {
  HttpHeadResult result;
  result.status = HttpHeadStatus::named;
  result.url = std::move(url);
  result.host = std::move(host);
  return result;
}

// An absolute-form target ("http://host/path") names the request by itself. One http_parser
// refuses (an empty port, a port that is no number, a name in brackets) is still taken by some
// servers (lighttpd takes "http://name:/"), so its authority is then read as a Host would be.
std::optional<HttpHeadResult> fromAbsoluteTarget(const std::string& target) {
  if (target.empty() || target.front() == '/') return std::nullopt;
  http_parser_url parts;
  http_parser_url_init(&parts);
  if (http_parser_parse_url(target.data(), target.size(), 0, &parts) == 0) {
    const auto has = [&](int field) { return (parts.field_set & (1u << field)) != 0; };
    if (!has(UF_SCHEMA) || !has(UF_HOST)) return std::nullopt;
    std::string host = target.substr(parts.field_data[UF_HOST].off, parts.field_data[UF_HOST].len);
    if (host.empty()) return std::nullopt;
    return named(target, std::move(host));
  }
  const std::string_view text = target;
  const auto schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos || schemeEnd == 0 ||
      !std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(schemeEnd), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
      })) {
    return std::nullopt;
  }
  std::string_view authority = text.substr(schemeEnd + 3);
  authority = authority.substr(0, authority.find_first_of("/?#"));
  if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
    authority = authority.substr(at + 1);
  }
  HttpHeadResult result = httpHeadNamedBy(authority, "/");
  if (result.status != HttpHeadStatus::named) return std::nullopt;
  result.url = target;
  return result;
}

}  // namespace

HttpHeadResult httpHeadUnnamed(HttpUnnamedReason reason) {
  HttpHeadResult result;
  result.status = HttpHeadStatus::unnamed;
  result.reason = reason;
  return result;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

HttpHeadResult httpHeadNamedBy(std::string_view authority, std::string_view path) {
  auto parsed = parseAuthority(authority);
  if (!parsed) parsed = leniently(authority);
  if (!parsed) return httpHeadUnnamed(HttpUnnamedReason::badHost);
  std::string url = "http://";
  url += parsed->bracketed ? "[" + parsed->host + "]" : parsed->host;
  url += !path.empty() && path.front() == '/' ? path : "/";
  return named(std::move(url), parsed->host);
}

namespace {

// The server acts on a request once its head is complete: it is judged then, all of it read.
std::optional<HttpHeadResult> evaluate(const State& state) {
  if (!state.requestLineDone) return std::nullopt;
  // A proxy connects to CONNECT's target, whatever Host says.
  if (state.parser.method == HTTP_CONNECT) return httpHeadNamedBy(state.target, "");
  if (state.early && !state.headEnded) {
    if (auto absolute = fromAbsoluteTarget(state.target)) return absolute;
    if (state.firstHostDone) return httpHeadNamedBy(unfold(state.hosts.front()), state.target);
    return std::nullopt;
  }
  if (!state.headEnded) return std::nullopt;
  // Servers should refuse two Host fields, yet some take the last: two names are refused.
  std::optional<HttpHeadResult> byHost;
  for (const std::string& value : state.hosts) {
    HttpHeadResult result = httpHeadNamedBy(unfold(value), state.target);
    if (!byHost) {
      byHost = std::move(result);
    } else if (result.status != byHost->status ||
               !equalsIgnoringAsciiCase(result.host, byHost->host)) {
      return httpHeadUnnamed(HttpUnnamedReason::malformed);
    }
  }
  // An absolute-form target overrides Host for a server, but an application may still route by
  // Host: a Host that names another host is refused.
  if (auto absolute = fromAbsoluteTarget(state.target)) {
    if (byHost && byHost->status == HttpHeadStatus::named &&
        !equalsIgnoringAsciiCase(byHost->host, absolute->host)) {
      return httpHeadUnnamed(HttpUnnamedReason::malformed);
    }
    return absolute;
  }
  if (byHost) return byHost;
  return httpHeadUnnamed(HttpUnnamedReason::missingHost);
}

}  // namespace

std::string_view httpUnnamedReasonName(HttpUnnamedReason reason) {
  switch (reason) {
    case HttpUnnamedReason::notHttp:
      return "notHttp";
    case HttpUnnamedReason::unknownMethod:
      return "unknownMethod";
    case HttpUnnamedReason::http2PriorKnowledge:
      return "http2PriorKnowledge";
    case HttpUnnamedReason::missingHost:
      return "missingHost";
    case HttpUnnamedReason::badHost:
      return "badHost";
    case HttpUnnamedReason::headTooLarge:
      return "headTooLarge";
    case HttpUnnamedReason::closedFirst:
      return "closedFirst";
    case HttpUnnamedReason::timedOut:
      return "timedOut";
    case HttpUnnamedReason::malformed:
      return "malformed";
  }
  return "unknown";
}

namespace {

// The first bytes of each message kept as they come, before http_parser has said anything of
// them: long enough for any method in use and its space.
constexpr std::size_t kMethodProbe = 33;

// White space as lenient servers split a request line on it (python's str.split() of the line
// read as Latin-1): http_parser takes only a space there.
bool isLooseSpace(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == ' ' || u == '\t' || u == '\v' || u == '\f' || (u >= 0x1c && u <= 0x1f) || u == 0x85 ||
         u == 0xa0;
}

// A method is a token (RFC 9110): servers such as Go's take any, in any case.
bool isTokenCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The bytes a message began with, after http_parser refused them: the method of a request line,
// "" for no request, nullopt when the bytes so far cannot tell. A token of upper-case letters,
// '-' or '_' followed by white space is a method at once; another token followed by white space
// is one when its line ends in an HTTP version ("get / HTTP/1.1"), which tells a request to a
// server that takes any token from another protocol's greeting ("SSH-2.0-OpenSSH_9.2 ...").
std::optional<std::string_view> requestMethod(std::string_view start) {
  std::size_t from = 0;
  while (from < start.size() && isLooseSpace(start[from])) ++from;
  std::size_t n = from;
  bool upper = true;
  for (; n < start.size() && isTokenCharacter(start[n]); ++n) {
    upper = upper && ((start[n] >= 'A' && start[n] <= 'Z') || start[n] == '-' || start[n] == '_');
  }
  if (n == start.size()) return std::nullopt;
  if (n == from || !isLooseSpace(start[n])) return "";
  const std::string_view method = start.substr(from, n - from);
  if (upper) return method;
  const std::size_t end = start.find('\n', n);
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view line = start.substr(n, end - n);
  while (!line.empty() && (line.back() == '\r' || isLooseSpace(line.back()))) line.remove_suffix(1);
  // Its last word is "HTTP/" and a version of digits, a dot and digits.
  std::size_t word = line.size();
  while (word > 0 && !isLooseSpace(line[word - 1])) --word;
  std::string_view version = line.substr(word);
  bool versioned = word > 0 && version.substr(0, 5) == "HTTP/";
  version.remove_prefix(std::min<std::size_t>(5, version.size()));
  const std::size_t dot = version.find('.');
  const auto digits = [](std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), isDigit);
  };
  versioned = versioned && dot != std::string_view::npos && digits(version.substr(0, dot)) &&
              digits(version.substr(dot + 1));
  return versioned ? method : std::string_view();
}

bool knownMethod(std::string_view method) {
#define QUILLNEST_KNOWN(num, name, text) \
  if (method == #text) return true;
  HTTP_METHOD_MAP(QUILLNEST_KNOWN)
#undef QUILLNEST_KNOWN
  return false;
}

}  // namespace

HttpRequestReader::HttpRequestReader(std::size_t headLimit) : HttpRequestReader(headLimit, 0) {}

HttpRequestReader::HttpRequestReader(std::size_t headLimit, unsigned depth)
    : state_(std::make_unique<State>()), limit_(headLimit), depth_(depth) {
  http_parser_init(&state_->parser, HTTP_REQUEST);
  state_->parser.data = state_.get();
  state_->early = depth > 0;
}

HttpRequestReader::~HttpRequestReader() = default;

HttpRequestReader::Read HttpRequestReader::read(std::span<const std::uint8_t> bytes) {
  Read out;
  if (!answers_.empty()) {
    out.head = std::move(answers_.front());
    answers_.pop_front();
    return out;
  }
  out = readStream(bytes);
  if (!answers_.empty()) {
    // The body came first: its heads are judged first, the head after them on later reads.
    if (out.head) answers_.push_back(std::move(*out.head));
    out.head = std::move(answers_.front());
    answers_.pop_front();
  }
  return out;
}

bool HttpRequestReader::inBody() const {
  return http2_ != nullptr || (state_->inMessage && state_->headEnded);
}

bool HttpRequestReader::betweenMessages() const {
  return !state_->inMessage && state_->start.empty() && !ended_ && !afterUpgrade_ && !http2_;
}

std::uint64_t HttpRequestReader::unreadBodyLeft() const {
  const State& state = *state_;
  const http_parser& parser = state.parser;
  if (ended_ || http2_ || bodyAsRequests_ || !answers_.empty() || !bodyPending_.empty() ||
      !inBody() || state.watchBody || ((parser.flags & F_CHUNKED) != 0 && !state.inChunkData) ||
      parser.content_length == ULLONG_MAX) {
    return 0;
  }
  return parser.content_length;
}

void HttpRequestReader::skipBody(std::uint64_t n) {
  if (n == 0 || n > unreadBodyLeft()) return;
  // http_parser ends the message as it reads the body's last byte; that one is given to it.
  http_parser& parser = state_->parser;
  parser.content_length -= n - 1;
  if (HTTP_PARSER_ERRNO(&parser) == HPE_PAUSED) http_parser_pause(&parser, 0);
  const char last = 0;
  http_parser_execute(&parser, &settings(), &last, 1);
  fed_ += n;
}

void HttpRequestReader::readBodyAsRequests(std::span<const std::uint8_t> bytes, bool bodyBytes) {
  bodyPending_.insert(bodyPending_.end(), bytes.begin(), bytes.end());
  std::size_t done = 0;
  std::size_t step = 1;
  while (bodyAsRequests_ && (done < bodyPending_.size() || bodyAsRequests_->answersWaiting())) {
    std::span<const std::uint8_t> rest = std::span(bodyPending_).subspan(done);
    // A byte at a time outside bodies: http_parser tells a field's end only at the end of what
    // it was given, so a name followed by bytes it refuses would be named or not as the stream
    // happened to be cut.
    if (!bodyAsRequests_->inBody()) rest = rest.first(std::min(step, rest.size()));
    const Read read = bodyAsRequests_->read(rest);
    done += read.consumed;
    // Names count, and requests it cannot name that a server may answer, as at the top, when
    // told inside the body: a body that is no request, or stops being one, is a body. (Past its
    // end such a line holds the next request's start, which this reading reads alike.)
    if (read.head && (read.head->status == HttpHeadStatus::named ||
                      (bodyBytes && (read.head->reason == HttpUnnamedReason::unknownMethod ||
                                     read.head->reason == HttpUnnamedReason::malformed)))) {
      answers_.push_back(*read.head);
      ++heads_;
    }
    if (read.head && bodyAsRequests_->depth_ > kBodyReadingDepth &&
        (read.head->status == HttpHeadStatus::named ||
         read.head->reason != HttpUnnamedReason::notHttp)) {
      tooDeep_ = true;  // it began a request: reading deeper would cost a reading more per level
    }
    tooDeep_ = tooDeep_ || bodyAsRequests_->tooDeep_;
    step = 1;
    if (bodyAsRequests_->ended()) {
      bodyAsRequests_.reset();
    } else if (read.consumed == 0 && !read.head) {
      if (done + rest.size() == bodyPending_.size()) break;  // it waits for bytes to come
      step = rest.size() + 1;  // it needs more at once (the HTTP/2 preface)
    }
  }
  if (bodyAsRequests_) {
    bodyPending_.erase(bodyPending_.begin(),
                       bodyPending_.begin() + static_cast<std::ptrdiff_t>(done));
  } else {
    bodyPending_.clear();
  }
}

HttpRequestReader::Read HttpRequestReader::readStream(std::span<const std::uint8_t> bytes) {
  Read out;
  if (ended_) {
    out.consumed = bytes.size();
    return out;
  }
  State& state = *state_;
  auto answer = [&](HttpHeadResult result) {
    state.answered = true;
    ++heads_;
    afterUpgrade_ = false;  // a head was read: the connection still speaks HTTP
    const bool named = result.status == HttpHeadStatus::named;
    if (!named && result.reason != HttpUnnamedReason::missingHost &&
        result.reason != HttpUnnamedReason::badHost) {
      ended_ = true;  // nothing after it can be read as requests
    }
    out.head = std::move(result);
  };
  if (http2_) {
    const Http2RequestReader::Read read = http2_->read(bytes);
    out.consumed = read.consumed;
    fed_ += read.consumed;
    if (read.head) answer(*read.head);
    return out;
  }
  // The HTTP/2 preface where a server may take it: first, or after an Upgrade (h2c). The whole
  // preface says HTTP/2: until it has arrived nothing is read, so the answer never depends on
  // where the stream was cut.
  if ((heads_ == 0 || afterUpgrade_) && !state.inMessage && state.start.empty() && !bytes.empty() &&
      bytes[0] == kHttp2Preface[0]) {
    const std::size_t n = std::min(bytes.size(), kHttp2Preface.size());
    if (std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n),
                   kHttp2Preface.begin())) {
      if (n < kHttp2Preface.size()) return out;
      out.consumed = n;
      fed_ += n;
      try {
        http2_ = std::make_unique<Http2RequestReader>(limit_);
      } catch (const std::bad_alloc&) {
        answer(httpHeadUnnamed(HttpUnnamedReason::http2PriorKnowledge));  // judged without a name
        out.consumed = bytes.size();
        return out;
      }
      afterUpgrade_ = false;
      const Read rest = read(bytes.subspan(n));
      out.consumed += rest.consumed;
      out.head = rest.head;
      return out;
    }
  }
  // Each message starts a read (the parser pauses at a message's end).
  std::size_t kept = 0;
  for (; kept < bytes.size() && state.start.size() < kMethodProbe; ++kept)
    state.start.push_back(static_cast<char>(bytes[kept]));
  // An unanswered head reads at most up to the limit. A read that begins between messages
  // begins a head; one that begins in a body reads no head (the parser stops at its end).
  const bool headRead = !state.answered || !state.inMessage;
  std::size_t room = bytes.size();
  if (headRead) room = state.headBytes < limit_ ? std::min(room, limit_ - state.headBytes) : 0;
  if (HTTP_PARSER_ERRNO(&state.parser) == HPE_PAUSED) http_parser_pause(&state.parser, 0);
  if (state.chunkedBodyAt && fed_ + bytes.size() > *state.chunkedBodyAt) {
    state.bodyStart = reinterpret_cast<const char*>(bytes.data()) + (*state.chunkedBodyAt - fed_);
    state.chunkedBodyAt.reset();
  }
  // The parser stops at a message's end: if its body had begun, all it reads now is body.
  const bool bodyBefore = state.bodyBegun;
  const std::size_t parsed = http_parser_execute(&state.parser, &settings(),
                                                 reinterpret_cast<const char*>(bytes.data()), room);
  out.consumed = parsed;
  fed_ += parsed;
  if (state.chunkedBodyNext) {
    // Paused at the head's end, the parser left its last LF; a head named early (a body's
    // reading, fed a byte at a time) took it and goes on.
    state.chunkedBodyNext = false;
    state.chunkedBodyAt = fed_ + (HTTP_PARSER_ERRNO(&state.parser) == HPE_PAUSED ? 1 : 0);
  }
  std::size_t bodyFrom = 0;
  if (state.bodyStart != nullptr && !bodyAsRequests_ && depth_ <= kBodyReadingDepth) {
    bodyAsRequests_.reset(new HttpRequestReader(limit_, depth_ + 1));
    bodyFrom = std::min(
        parsed, static_cast<std::size_t>(reinterpret_cast<const std::uint8_t*>(state.bodyStart) -
                                         bytes.data()));
  }
  const bool bodyBytes = bodyBefore || state.bodyStart != nullptr;
  if (state.bodyStart != nullptr && state.inMessage) state.bodyBegun = true;
  state.bodyStart = nullptr;
  if (bodyAsRequests_) readBodyAsRequests(bytes.subspan(bodyFrom, parsed - bodyFrom), bodyBytes);
  if (tooDeep_ && depth_ == 0) {
    answer(httpHeadUnnamed(HttpUnnamedReason::malformed));
    return out;
  }
  if (bodyAsRequests_ && bodyPending_.empty() && betweenMessages() &&
      bodyAsRequests_->betweenMessages() && !bodyAsRequests_->bodyAsRequests_ &&
      !bodyAsRequests_->answersWaiting()) {
    bodyAsRequests_.reset();  // both at the same message's start: they read alike from here
  }
  const auto error = static_cast<http_errno>(state.parser.http_errno);
  if (headRead) state.headBytes += parsed;
  if (state.inMessage && !state.answered) {
    if (auto outcome = evaluate(state)) {
      answer(std::move(*outcome));
      return out;
    }
  }
  if (error != HPE_OK && error != HPE_PAUSED) {
    out.consumed = bytes.size();
    if (state.inMessage && state.answered) {
      // Framing a server may read otherwise (Transfer-Encoding with Content-Length, a bad
      // chunk): where the next request starts is no longer known.
      ended_ = true;
      out.head = httpHeadUnnamed(HttpUnnamedReason::malformed);
      return out;
    }
    if (state.atStart) {
      // A request line is told by its end: what http_parser refused is kept to there.
      const std::size_t more =
          std::min(bytes.size() - kept, limit_ - std::min(limit_, state.start.size()));
      state.start.append(reinterpret_cast<const char*>(bytes.data()) + kept, more);
    }
    const std::optional<std::string_view> method =
        state.atStart ? requestMethod(state.start) : std::string_view("-");
    if (!method && state.headBytes < limit_) {
      fed_ += bytes.size() - parsed;
      state.headBytes += bytes.size() - parsed;
      return out;
    }
    if (!method) {
      // Still a possible request line at the limit: a server may take it all.
      answer(httpHeadUnnamed(HttpUnnamedReason::headTooLarge));
      return out;
    }
    // Bytes that begin no request line are another protocol at the start or after an upgrade;
    // otherwise, and once a request line has begun, a server reads them as a request.
    const bool requestLine = !method->empty();
    const bool anotherProtocol = !requestLine && (heads_ == 0 || afterUpgrade_);
    answer(httpHeadUnnamed(requestLine && state.atStart && !knownMethod(*method)
                               ? HttpUnnamedReason::unknownMethod
                           : anotherProtocol ? HttpUnnamedReason::notHttp
                                             : HttpUnnamedReason::malformed));
    return out;
  }
  if (state.parser.upgrade && !state.inMessage) {
    // Upgrade or CONNECT: a server that switches reads no more requests, one that does not
    // (most ignore an Upgrade they do not offer) reads what follows as the next request.
    afterUpgrade_ = true;
    http_parser_init(&state.parser, HTTP_REQUEST);
    state.parser.data = state_.get();
    return out;
  }
  if ((!state.inMessage || !state.answered) && state.headBytes >= limit_ && error == HPE_OK) {
    answer(httpHeadUnnamed(HttpUnnamedReason::headTooLarge));
    out.consumed = bytes.size();
  }
  return out;
}

HttpRequestHeadReader::HttpRequestHeadReader(std::size_t limit) : reader_(limit) {}

HttpRequestHeadReader::~HttpRequestHeadReader() = default;

const HttpHeadResult& HttpRequestHeadReader::feed(std::span<const std::uint8_t> bytes) {
  fed_ += bytes.size();
  if (result_.status != HttpHeadStatus::needMore) return result_;
  pending_.insert(pending_.end(), bytes.begin(), bytes.end());
  std::size_t at = 0;
  while (result_.status == HttpHeadStatus::needMore && at < pending_.size()) {
    const auto read = reader_.read(std::span(pending_).subspan(at));
    if (read.head) result_ = *read.head;
    if (read.consumed == 0) break;
    at += read.consumed;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(at));
  return result_;
}

HttpHeadResult readHttpRequestHead(std::span<const std::uint8_t> bytes, std::size_t limit) {
  HttpRequestHeadReader reader(limit);
  return reader.feed(bytes);
}

HttpHeadResult readHttpRequestHead(std::string_view text, std::size_t limit) {
  return readHttpRequestHead(
      std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), limit);
}

}  // namespace quillnest::hosts
