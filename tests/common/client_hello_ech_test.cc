// The ECH offer count's reader: the extension found wherever it sits, across handshake records,
// and nothing claimed from bytes that are not a whole ClientHello.
#include "hosts/common/client_hello_ech.h"

#include <gtest/gtest.h>

#include "tests/common/packet_builder.h"

namespace quillnest::hosts {
namespace {

using testing::makeClientHello;
using testing::PacketBytes;

// The same handshake bytes cut into records of at most size bytes.
PacketBytes recut(const PacketBytes& hello, std::size_t size) {
  return testing::handshakeRecords(PacketBytes(hello.begin() + 5, hello.end()), size);
}

TEST(ClientHelloEch, CountsTheExtensionOnlyInAWholeHello) {
  const PacketBytes plain = makeClientHello("www.example.com", 200);
  const PacketBytes ech =
      makeClientHello("www.example.com", 200, true, kEncryptedClientHelloExtension);
  const PacketBytes echLast =
      makeClientHello("www.example.com", 200, false, kEncryptedClientHelloExtension);
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
