#include "hosts/common/http2_request_reader.h"

#include <nghttp2/nghttp2.h>

#include <algorithm>
#include <new>
#include <string_view>

namespace quillnest::hosts {
namespace {

enum FrameType : std::uint8_t { kHeaders = 1, kPushPromise = 5, kContinuation = 9 };
enum FrameFlag : std::uint8_t { kEndHeaders = 0x4, kPadded = 0x8, kPriority = 0x20 };

// Size updates a client may send once the server allows a larger table; see the header on why
// the size need not be the server's.
constexpr std::size_t kTableLimit = 64 * 1024;

bool carriesBlock(std::uint8_t type) { return type == kHeaders || type == kContinuation; }

// What a HEADERS frame holds before its block: the pad length, the priority fields.
std::size_t headersPrefix(std::uint8_t flags) {
  return ((flags & kPadded) != 0 ? 1 : 0) + ((flags & kPriority) != 0 ? 5 : 0);
}

std::string_view view(const std::uint8_t* bytes, std::size_t size) {
  return {reinterpret_cast<const char*>(bytes), size};
}

}  // namespace

Http2RequestReader::Http2RequestReader(std::size_t blockLimit) : blockLimit_(blockLimit) {
  if (nghttp2_hd_inflate_new(&inflater_) != 0) throw std::bad_alloc();
  if (nghttp2_hd_inflate_change_table_size(inflater_, kTableLimit) != 0) {
    nghttp2_hd_inflate_del(inflater_);
    throw std::bad_alloc();
  }
}

Http2RequestReader::~Http2RequestReader() { nghttp2_hd_inflate_del(inflater_); }

void Http2RequestReader::refuse(Read& out, HttpUnnamedReason reason) {
  ended_ = true;
  out.head = httpHeadUnnamed(reason);
}

void Http2RequestReader::beginFrame(Read& out) {
  length_ = std::uint32_t{header_[0]} << 16 | std::uint32_t{header_[1]} << 8 | header_[2];
  type_ = header_[3];
  flags_ = header_[4];
  stream_ = (std::uint32_t{header_[5]} << 24 | std::uint32_t{header_[6]} << 16 |
             std::uint32_t{header_[7]} << 8 | header_[8]) &
            0x7fffffffu;
  payloadRead_ = 0;
  padding_ = 0;
  // A server closes the connection on each of these (PROTOCOL_ERROR).
  if (inBlock_ != (type_ == kContinuation) || (inBlock_ && stream_ != blockStream_) ||
      type_ == kPushPromise) {
    return refuse(out, HttpUnnamedReason::malformed);
  }
  if (type_ == kHeaders) {
    const std::size_t prefix = headersPrefix(flags_);
    if (stream_ == 0 || stream_ % 2 == 0 || prefix > length_) {
      return refuse(out, HttpUnnamedReason::malformed);
    }
    inBlock_ = true;
    blockStream_ = stream_;
    blockOpens_ = stream_ > highestStream_;
    highestStream_ = std::max(highestStream_, stream_);
    block_.clear();
  }
}

std::optional<HttpHeadResult> Http2RequestReader::decodeBlock() {
  const auto* in = reinterpret_cast<const std::uint8_t*>(block_.data());
  std::size_t left = block_.size();
  std::optional<std::string> authority;
  std::optional<std::string> host;
  std::optional<std::string> path;
  bool conflicting = false;
  while (true) {
    nghttp2_nv field;
    int flags = 0;
    const ssize_t used = nghttp2_hd_inflate_hd2(inflater_, &field, &flags, in, left, 1);
    if (used < 0) return httpHeadUnnamed(HttpUnnamedReason::malformed);
    in += used;
    left -= static_cast<std::size_t>(used);
    if ((flags & NGHTTP2_HD_INFLATE_EMIT) != 0) {
      const std::string_view name = view(field.name, field.namelen);
      const std::string_view value = view(field.value, field.valuelen);
      // Only the first of each is kept: a repeat that differs is refused, and servers refuse
      // requests with two of a pseudo-header.
      std::optional<std::string>* slot = name == ":authority"                    ? &authority
                                         : name == ":path"                       ? &path
                                         : equalsIgnoringAsciiCase(name, "host") ? &host
                                                                                 : nullptr;
      if (slot != nullptr) {
        if (!*slot) {
          slot->emplace(value);
        } else if (name.front() == ':' || !equalsIgnoringAsciiCase(**slot, value)) {
          conflicting = true;
        }
      }
    }
    if ((flags & NGHTTP2_HD_INFLATE_FINAL) != 0) {
      nghttp2_hd_inflate_end_headers(inflater_);
      break;
    }
    if (used == 0 && (flags & NGHTTP2_HD_INFLATE_EMIT) == 0) {
      return httpHeadUnnamed(HttpUnnamedReason::malformed);  // no progress: never on a whole block
    }
  }
  if (!blockOpens_) return std::nullopt;  // trailers
  // :authority names the request; a Host beside it that names another could be read instead.
  if (conflicting || (authority && host && !equalsIgnoringAsciiCase(*authority, *host))) {
    return httpHeadUnnamed(HttpUnnamedReason::malformed);
  }
  const std::optional<std::string>& name = authority ? authority : host;
  if (!name) return httpHeadUnnamed(HttpUnnamedReason::missingHost);
  return httpHeadNamedBy(*name, path.value_or("/"));
}

void Http2RequestReader::endFrame(Read& out) {
  headerHave_ = 0;
  if (!carriesBlock(type_) || (flags_ & kEndHeaders) == 0) return;
  inBlock_ = false;
  std::optional<HttpHeadResult> head = decodeBlock();
  block_.clear();
  if (!head) return;
  if (head->status == HttpHeadStatus::unnamed && head->reason == HttpUnnamedReason::malformed) {
    return refuse(out, HttpUnnamedReason::malformed);
  }
  out.head = std::move(head);
}

Http2RequestReader::Read Http2RequestReader::read(std::span<const std::uint8_t> bytes) {
  Read out;
  std::size_t at = 0;
  while (!ended_ && !out.head && at < bytes.size()) {
    if (headerHave_ < kFrameHeader) {
      const std::size_t n = std::min(kFrameHeader - headerHave_, bytes.size() - at);
      std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, header_ + headerHave_);
      headerHave_ += n;
      at += n;
      if (headerHave_ < kFrameHeader) break;
      beginFrame(out);
      if (!ended_ && length_ == 0) endFrame(out);
      continue;
    }
    const std::size_t n = std::min<std::size_t>(length_ - payloadRead_, bytes.size() - at);
    if (carriesBlock(type_)) {
      std::size_t begin = payloadRead_;
      const std::size_t end = payloadRead_ + n;
      std::size_t prefix = 0;
      if (type_ == kHeaders) {
        prefix = headersPrefix(flags_);
        if ((flags_ & kPadded) != 0 && begin == 0) {
          padding_ = bytes[at];
          if (prefix + padding_ > length_) {
            refuse(out, HttpUnnamedReason::malformed);
            break;
          }
        }
      }
      // The block fragment lies between the prefix and the padding.
      begin = std::max(begin, prefix);
      const std::size_t fragmentEnd = std::min<std::size_t>(end, length_ - padding_);
      if (begin < fragmentEnd) {
        if (block_.size() + (fragmentEnd - begin) > blockLimit_) {
          refuse(out, HttpUnnamedReason::headTooLarge);
          break;
        }
        block_.append(view(bytes.data() + at + (begin - payloadRead_), fragmentEnd - begin));
      }
    }
    payloadRead_ += n;
    at += n;
    if (payloadRead_ == length_) endFrame(out);
  }
  out.consumed = ended_ ? bytes.size() : at;
  return out;
}

}  // namespace quillnest::hosts
