// The ECH offer count's reader: the extension found wherever it sits, across handshake records,
// and nothing claimed from bytes that are not a whole ClientHello.
#include "hosts/common/client_hello_ech.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"

namespace quillnest::hosts {
namespace {

using testing::makeClientHello;
using testing::PacketBytes;

// A hello whose padding extension (0x0015) is renamed: same bytes, another extension type.
PacketBytes withExtensionType(PacketBytes hello, std::uint16_t type, std::size_t padding) {
  for (std::size_t i = 5; i + 4 <= hello.size(); ++i) {
    if (hello[i] == 0x00 && hello[i + 1] == 0x15 && hello[i + 2] == padding >> 8 &&
        hello[i + 3] == (padding & 0xff)) {
      hello[i] = static_cast<std::uint8_t>(type >> 8);
      hello[i + 1] = static_cast<std::uint8_t>(type);
      return hello;
    }
  }
  ADD_FAILURE() << "no padding extension";
  return hello;
}

// The same handshake bytes cut into records of at most size bytes.
PacketBytes recut(const PacketBytes& hello, std::size_t size) {
  PacketBytes out;
  for (std::size_t at = 5; at < hello.size(); at += size) {
    const std::size_t n = std::min(size, hello.size() - at);
    out.insert(out.end(),
               {22, 3, 1, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    out.insert(out.end(), hello.begin() + at, hello.begin() + at + n);
  }
  return out;
}

TEST(ClientHelloEch, CountsTheExtensionOnlyInAWholeHello) {
  const PacketBytes plain = makeClientHello("www.example.com", 200);
  const PacketBytes ech = withExtensionType(plain, kEncryptedClientHelloExtension, 200);
  const PacketBytes echLast = withExtensionType(makeClientHello("www.example.com", 200, false),
                                                kEncryptedClientHelloExtension, 200);
  PacketBytes notHandshake = ech;
  notHandshake[0] = 23;
  struct Case {
    const char* what;
    PacketBytes bytes;
    EchOffer want;
  };
  const Case cases[] = {
      {"no ECH", plain, EchOffer::absent},
      {"ECH before the name", ech, EchOffer::present},
      {"ECH after the name", echLast, EchOffer::present},
      {"ECH hello in 60-byte records", recut(ech, 60), EchOffer::present},
      {"plain hello in 1-byte records", recut(plain, 1), EchOffer::absent},
      {"cut before its end", PacketBytes(ech.begin(), ech.end() - 1), EchOffer::needMore},
      {"cut inside a record header", PacketBytes(ech.begin(), ech.begin() + 3), EchOffer::needMore},
      {"nothing yet", {}, EchOffer::needMore},
      {"application data", notHandshake, EchOffer::unreadable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(clientHelloEchOffer(c.bytes), c.want);
  }
}

}  // namespace
}  // namespace quillnest::hosts
