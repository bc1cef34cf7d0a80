// Flows and endpoints as the content-filter host hands them to the provider.
//
// Flows are objects with identity: the host keeps one object per connection for its whole life,
// and the provider's tables hold strong references to them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "host/uuid.h"

namespace quillnest {

// A URL as far as the filter reads it: its text and its optional host.
struct URL {
  std::string absoluteString;
  std::optional<std::string> host;
};

// Base of every endpoint kind. Only NWHostEndpoint is read by the filter; other kinds exist so
// that "an endpoint of another kind" can be represented.
class NWEndpoint {
 public:
  virtual ~NWEndpoint() = default;
};

class NWHostEndpoint final : public NWEndpoint {
 public:
  NWHostEndpoint(std::string hostname, std::string port)
      : hostname_(std::move(hostname)), port_(std::move(port)) {}
  static std::shared_ptr<NWHostEndpoint> endpointWithHostname(std::string hostname,
                                                              std::string port) {
    return std::make_shared<NWHostEndpoint>(std::move(hostname), std::move(port));
  }
  const std::string& hostname() const { return hostname_; }
  const std::string& port() const { return port_; }

 private:
  std::string hostname_;
  std::string port_;
};

class NEFilterFlow {
 public:
  explicit NEFilterFlow(UUID identifier, std::optional<quillnest::URL> url = std::nullopt)
      : identifier_(identifier), url_(std::move(url)) {}
  virtual ~NEFilterFlow() = default;
  NEFilterFlow(const NEFilterFlow&) = delete;
  NEFilterFlow& operator=(const NEFilterFlow&) = delete;

  // Stable for the flow's life.
  virtual UUID identifier() const { return identifier_; }
  const std::optional<quillnest::URL>& URL() const { return url_; }

 private:
  UUID identifier_;
  std::optional<quillnest::URL> url_;
};

// socketProtocol values.
inline constexpr int kProtocolTCP = 6;
inline constexpr int kProtocolUDP = 17;

class NEFilterSocketFlow : public NEFilterFlow {
 public:
  struct Attributes {
    std::optional<quillnest::URL> url;
    std::shared_ptr<const NWEndpoint> remoteEndpoint;
    std::optional<std::string> remoteHostname;
    int socketProtocol = 0;
  };

  NEFilterSocketFlow(UUID identifier, Attributes attributes)
      : NEFilterFlow(identifier, std::move(attributes.url)),
        remoteEndpoint_(std::move(attributes.remoteEndpoint)),
        remoteHostname_(std::move(attributes.remoteHostname)),
        socketProtocol_(attributes.socketProtocol) {}

  const std::shared_ptr<const NWEndpoint>& remoteEndpoint() const { return remoteEndpoint_; }
  const std::optional<std::string>& remoteHostname() const { return remoteHostname_; }
  int socketProtocol() const { return socketProtocol_; }

 private:
  std::shared_ptr<const NWEndpoint> remoteEndpoint_;
  std::optional<std::string> remoteHostname_;
  int socketProtocol_;
};

using FlowRef = std::shared_ptr<NEFilterFlow>;

}  // namespace quillnest
