// The TLS server-name reader on arbitrary bytes. Besides memory safety (AddressSanitizer) it checks
// what the provider relies on: the totals it is asked to peek, that a name comes only from a
// complete record, that more bytes never change a found name, and that the reader agrees with
// the index-based reading of the same rules.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "inspection/server_name.h"
#include "tests/tls/literal_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using quillnest::ServerNameResult;
  using quillnest::fuzz::check;
  const std::span<const std::uint8_t> input(data, size);
  const ServerNameResult result = quillnest::extractServerName(input);

  switch (result.kind()) {
    case ServerNameResult::Kind::needMore:
      check(result.total() >= 5 && result.total() <= quillnest::kMaxServerNameTotal,
            "needMore total within [5, 65535]");
      check(result.total() > size, "needMore total beyond the input");
      check(result.hostName().empty(), "needMore carries no name");
      break;
    case ServerNameResult::Kind::found: {
      check(size >= 5, "found from fewer than 5 bytes");
      const std::size_t firstRecordEnd = 5 + (std::size_t{data[3]} << 8 | data[4]);
      check(size >= firstRecordEnd, "found before the first record is complete");
      // Bytes after the deciding record are not read.
      std::vector<std::uint8_t> longer(data, data + size);
      longer.push_back(0xA5);
      check(quillnest::extractServerName(longer) == result, "a trailing byte changed the name");
      break;
    }
    case ServerNameResult::Kind::unavailable:
      check(size >= 5, "unavailable from fewer than 5 bytes");
      break;
  }

  check(result == quillnest::literal::extractServerName(input), "extractServerName differs");
  check(quillnest::parseClientHello(input) == quillnest::literal::parseClientHello(input),
        "parseClientHello differs");
  check(quillnest::parseServerNameList(input) == quillnest::literal::parseServerNameList(input),
        "parseServerNameList differs");
  return 0;
}
