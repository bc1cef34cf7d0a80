// Names the requests of an HTTP/2 connection without TLS (prior knowledge, or after an h2c
// Upgrade) from the client's frames, once its connection preface has been read: each header
// block that opens a stream is decoded (HPACK, nghttp2's decoder) and named by :authority, or by
// Host without it. Trailers are decoded too, to keep the decoder's table as the server's; other
// frames are skipped by their length.
//
// The decoder's table may hold more or fewer old entries than the server's (the size the server
// allows is in its SETTINGS, which the filter does not read). Both hold the newest entries in the
// same order, so an index either resolves to the same field in both or fails in the smaller one:
// the server then refuses the block, or the reader does. What the server would refuse, or read
// otherwise, is refused: a block that does not decode, :authority and Host that differ, a
// CONTINUATION out of place, a header block past the limit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "hosts/common/http_request_head.h"

struct nghttp2_hd_inflater;

namespace quillnest::hosts {

class Http2RequestReader {
 public:
  // Throws std::bad_alloc when the decoder cannot be had.
  explicit Http2RequestReader(std::size_t blockLimit = kHttpHeadLimit);
  ~Http2RequestReader();
  Http2RequestReader(const Http2RequestReader&) = delete;
  Http2RequestReader& operator=(const Http2RequestReader&) = delete;

  struct Read {
    std::size_t consumed = 0;            // bytes read; give the rest again
    std::optional<HttpHeadResult> head;  // a request's answer: the reader stops right after it
  };
  Read read(std::span<const std::uint8_t> bytes);
  // A refusal was answered: nothing more is read.
  bool ended() const { return ended_; }

 private:
  static constexpr std::size_t kFrameHeader = 9;

  void beginFrame(Read& out);
  void endFrame(Read& out);
  void refuse(Read& out, HttpUnnamedReason reason);
  std::optional<HttpHeadResult> decodeBlock();

  nghttp2_hd_inflater* inflater_ = nullptr;
  std::size_t blockLimit_;
  bool ended_ = false;

  std::uint8_t header_[kFrameHeader] = {};
  std::size_t headerHave_ = 0;
  std::uint32_t length_ = 0;
  std::uint8_t type_ = 0;
  std::uint8_t flags_ = 0;
  std::uint32_t stream_ = 0;
  std::size_t payloadRead_ = 0;
  std::size_t padding_ = 0;  // of a HEADERS frame, known once its first byte is read

  // The header block being gathered: HEADERS and its CONTINUATIONs.
  bool inBlock_ = false;
  bool blockOpens_ = false;  // its stream is new: a request, not trailers
  std::uint32_t blockStream_ = 0;
  std::string block_;
  std::uint32_t highestStream_ = 0;
};

}  // namespace quillnest::hosts
