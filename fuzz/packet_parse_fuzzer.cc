// The packet parser on arbitrary bytes: besides memory safety, a parsed payload must lie inside
// the input and the transport fields must agree with what the parser claims.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/fuzz_check.h"
#include "hosts/common/packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillnest::hosts;
  using quillnest::fuzz::check;
  const std::span<const std::uint8_t> input(data, size);
  const ParseResult result = parseIpPacket(input);
  if (result.status != ParseStatus::ok) return 0;
  const ParsedPacket& p = result.packet;
  check(p.protocol == kIpProtocolTCP || p.protocol == kIpProtocolUDP, "transport");
  check(p.payload.empty() ||
            (p.payload.data() >= data && p.payload.data() + p.payload.size() <= data + size),
        "payload inside the input");
  check(p.source.family == p.family && p.destination.family == p.family, "address family");
  check(!p.source.text().empty() && !p.destination.text().empty(), "address text");
  const ConnectionKey out = ConnectionKey::outboundOf(p);
  check(ConnectionKeyHash{}(out) == ConnectionKeyHash{}(ConnectionKey::outboundOf(p)), "hash");
  return 0;
}
