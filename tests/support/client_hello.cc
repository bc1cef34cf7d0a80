#include "tests/support/client_hello.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <memory>

namespace quillnest::testing {
namespace {

using SslCtxPtr = std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)>;
using SslPtr = std::unique_ptr<SSL, decltype(&SSL_free)>;

void appendU16(Bytes& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::string openSslErrors() {
  std::string text;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += buffer;
    text += "; ";
  }
  return text;
}

// OpenSSL keeps the pointer until the ClientHello is written; the data lives in the options.
int addExtraExtension(SSL*, unsigned int, unsigned int, const unsigned char** out,
                      std::size_t* outlen, X509*, std::size_t, int*, void* addArg) {
  const auto* data = static_cast<const Bytes*>(addArg);
  *out = data->data();
  *outlen = data->size();
  return 1;
}

}  // namespace

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes generateClientHello(const ClientHelloOptions& options) {
  const auto fail = [](const std::string& what) {
    ADD_FAILURE() << what << ": " << openSslErrors();
    return Bytes{};
  };
  SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!ctx) return fail("SSL_CTX_new");
  const int version = options.version == TlsVersion::tls13 ? TLS1_3_VERSION : TLS1_2_VERSION;
  SSL_CTX_set_min_proto_version(ctx.get(), version);
  SSL_CTX_set_max_proto_version(ctx.get(), version);
  if (options.maxSendFragment != 0 &&
      SSL_CTX_set_max_send_fragment(ctx.get(), static_cast<long>(options.maxSendFragment)) != 1) {
    return fail("max send fragment " + std::to_string(options.maxSendFragment) + " refused");
  }
  if (!options.groups.empty() && SSL_CTX_set1_groups_list(ctx.get(), options.groups.c_str()) != 1) {
    return fail("groups " + options.groups + " refused");
  }
  if (options.padding) SSL_CTX_set_options(ctx.get(), SSL_OP_TLSEXT_PADDING);
  Bytes alpn;
  for (const std::string& protocol : options.alpn) {
    alpn.push_back(static_cast<std::uint8_t>(protocol.size()));
    alpn.insert(alpn.end(), protocol.begin(), protocol.end());
  }
  if (!alpn.empty() &&
      SSL_CTX_set_alpn_protos(ctx.get(), alpn.data(), static_cast<unsigned>(alpn.size())) != 0) {
    return fail("ALPN refused");
  }
  for (const auto& [type, data] : options.extraExtensions) {
    if (SSL_CTX_add_custom_ext(ctx.get(), type, SSL_EXT_CLIENT_HELLO, addExtraExtension, nullptr,
                               const_cast<Bytes*>(&data), nullptr, nullptr) != 1) {
      return fail("extension " + std::to_string(type) + " refused");
    }
  }
  SslPtr ssl(SSL_new(ctx.get()), SSL_free);
  if (!ssl) return fail("SSL_new");
  if (options.serverName && SSL_set_tlsext_host_name(ssl.get(), options.serverName->c_str()) != 1) {
    return fail("server name of " + std::to_string(options.serverName->size()) + " bytes refused");
  }
  BIO* rbio = BIO_new(BIO_s_mem());
  BIO* wbio = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl.get(), rbio, wbio);  // ssl owns both from here
  const int rc = SSL_connect(ssl.get());
  if (rc == 1 || SSL_get_error(ssl.get(), rc) != SSL_ERROR_WANT_READ) {
    return fail("SSL_connect did not stop for the server");
  }
  char* written = nullptr;
  const long length = BIO_get_mem_data(wbio, &written);
  return Bytes(written, written + length);
}

OpenSslServerView openSslServerView(const Bytes& firstFlight) {
  // One context for every call: making a context costs far more than reading one hello.
  static const SslCtxPtr ctx = [] {
    SslCtxPtr made(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!made) return made;
    SSL_CTX_set_min_proto_version(made.get(), TLS1_2_VERSION);
    SSL_CTX_set_tlsext_servername_callback(
        made.get(), +[](SSL* ssl, int*, void*) -> int {
          auto* seen = static_cast<OpenSslServerView*>(SSL_get_app_data(ssl));
          seen->callbackRan = true;
          if (const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name)) {
            seen->serverName = std::string(name);
          }
          return SSL_TLSEXT_ERR_OK;
        });
    return made;
  }();

  OpenSslServerView view;
  if (!ctx) {
    ADD_FAILURE() << "SSL_CTX_new: " << openSslErrors();
    return view;
  }
  SslPtr ssl(SSL_new(ctx.get()), SSL_free);
  if (!ssl) return view;
  SSL_set_app_data(ssl.get(), &view);
  BIO* rbio = BIO_new(BIO_s_mem());
  BIO* wbio = BIO_new(BIO_s_mem());
  BIO_write(rbio, firstFlight.data(), static_cast<int>(firstFlight.size()));
  SSL_set_bio(ssl.get(), rbio, wbio);
  // Without a certificate the handshake fails after the ClientHello is read; that is enough.
  SSL_accept(ssl.get());
  ERR_clear_error();
  return view;
}

Bytes extension(std::uint16_t type, const Bytes& data) {
  Bytes out;
  appendU16(out, type);
  appendU16(out, data.size());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes serverNameEntry(std::uint8_t nameType, const Bytes& name) {
  Bytes out{nameType};
  appendU16(out, name.size());
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

Bytes serverNameList(std::initializer_list<Bytes> entries) {
  const Bytes joined = concat(entries);
  Bytes out;
  appendU16(out, joined.size());
  out.insert(out.end(), joined.begin(), joined.end());
  return out;
}

Bytes serverNameExtension(std::string_view hostName) {
  return extension(0, serverNameList({serverNameEntry(0, bytesOf(hostName))}));
}

Bytes handshakeMessage(std::uint8_t type, const Bytes& body) {
  Bytes out{type, static_cast<std::uint8_t>(body.size() >> 16)};
  appendU16(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes clientHelloMessage(const ClientHelloParts& parts) {
  Bytes body;
  appendU16(body, parts.legacyVersion);
  body.insert(body.end(), parts.random.begin(), parts.random.end());
  body.push_back(static_cast<std::uint8_t>(parts.sessionId.size()));
  body.insert(body.end(), parts.sessionId.begin(), parts.sessionId.end());
  appendU16(body, parts.cipherSuites.size());
  body.insert(body.end(), parts.cipherSuites.begin(), parts.cipherSuites.end());
  body.push_back(static_cast<std::uint8_t>(parts.compressionMethods.size()));
  body.insert(body.end(), parts.compressionMethods.begin(), parts.compressionMethods.end());
  if (parts.extensions) {
    appendU16(body, parts.extensions->size());
    body.insert(body.end(), parts.extensions->begin(), parts.extensions->end());
  }
  return handshakeMessage(1, body);
}

Bytes record(std::uint8_t contentType, const Bytes& fragment, std::uint16_t version) {
  Bytes out{contentType};
  appendU16(out, version);
  appendU16(out, fragment.size());
  out.insert(out.end(), fragment.begin(), fragment.end());
  return out;
}

Bytes handshakeRecords(const Bytes& handshake, std::size_t maxFragment, std::uint16_t version) {
  Bytes out;
  for (std::size_t at = 0; at < handshake.size(); at += maxFragment) {
    const auto from = handshake.begin() + static_cast<std::ptrdiff_t>(at);
    const Bytes one =
        record(22, Bytes(from, from + std::min(maxFragment, handshake.size() - at)), version);
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

std::vector<RecordBounds> recordBounds(const Bytes& flight) {
  std::vector<RecordBounds> bounds;
  std::size_t start = 0;
  while (start + 5 <= flight.size()) {
    const std::size_t end = start + 5 + (std::size_t{flight[start + 3]} << 8 | flight[start + 4]);
    bounds.push_back({start, end});
    start = end;
  }
  return bounds;
}

}  // namespace quillnest::testing
