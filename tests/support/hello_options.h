// Short forms of ClientHelloOptions for tables (designated initialisers trip
// -Wmissing-field-initializers on this compiler).
#pragma once

#include "tests/support/client_hello.h"

namespace quillnest::testing {

inline ClientHelloOptions helloOptions(TlsVersion version, std::optional<std::string> serverName,
                                       std::size_t maxSendFragment = 0) {
  ClientHelloOptions options;
  options.version = version;
  options.serverName = std::move(serverName);
  options.maxSendFragment = maxSendFragment;
  return options;
}

}  // namespace quillnest::testing
