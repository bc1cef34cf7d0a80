// Shared by the TLS reader tests: readable results in failure messages and short constructors.
#pragma once

#include <ostream>
#include <span>
#include <string>

#include "inspection/server_name.h"
#include "tests/support/client_hello.h"

namespace quillnest {

inline void PrintTo(const ServerNameResult& result, std::ostream* os) {
  using K = ServerNameResult::Kind;
  if (result.kind() == K::found) *os << "found(\"" << result.hostName() << "\")";
  if (result.kind() == K::needMore) *os << "needMore(" << result.total() << ")";
  if (result.kind() == K::unavailable) *os << "unavailable";
}

namespace testing {

inline ServerNameResult found(std::string name) { return ServerNameResult::found(std::move(name)); }
inline ServerNameResult needMore(std::size_t total) { return ServerNameResult::needMore(total); }
inline ServerNameResult unavailable() { return ServerNameResult::unavailable(); }

inline ServerNameResult extract(const Bytes& bytes) {
  // A copy of exactly the input's size, so that AddressSanitizer sees any read past its end.
  const Bytes exact(bytes.begin(), bytes.end());
  return extractServerName(std::span<const std::uint8_t>(exact.data(), exact.size()));
}

inline Bytes prefix(const Bytes& bytes, std::size_t length) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

}  // namespace testing
}  // namespace quillnest
