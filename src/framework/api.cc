#include "framework/api.h"

#include <stdexcept>
#include <utility>

#include "framework/ascii.h"
#include "framework/dispatch_bridge.h"
#include "framework/transport/http_transport.h"

namespace norvessa {

Api::Api(ServerLimits limits) : limits_(limits) {}

Api::~Api() = default;

void Api::EnsureTransport() {
  if (transport_) return;
  TransportOptions options;
  options.header_limit = limits_.header_limit;
  options.body_limit = limits_.body_limit;
  options.idle_timeout = limits_.idle_timeout;
  options.stop_grace = limits_.stop_grace;
  options.backlog = kListenQueue;
  options.max_in_chain = kMaxInChain;
  options.busy_message = std::string(kMaxConnectionsMessage);
  transport_ = MakeHttpTransport(
      std::move(options), [this](const RawRequest& req, RawResponse& res) {
        DispatchRequest(*this, req, res);
      });
}

void Api::Listen(int port, std::string host, OnListen on_listen) {
  port_ = port;
  host_ = std::string(TrimBlanks(host));
  if (port_ <= 0) port_ = kDefaultPort;
  if (host_.empty()) host_ = kDefaultHost;
  if (port_ > 65535) {
    throw std::runtime_error("Invalid port " + std::to_string(port_));
  }
  EnsureTransport();
  std::vector<Binding> bindings;
  if (host_ != kDefaultHost) {
    bindings.push_back({host_, static_cast<std::uint16_t>(port_)});
  }
  transport_->Start(bindings, static_cast<std::uint16_t>(port_));
  running_ = true;
  if (on_listen) on_listen(*this);
}

void Api::Listen(int port) { Listen(port, host_); }

void Api::Listen() { Listen(port_, host_); }

void Api::ListenOn(int native_socket) {
  EnsureTransport();
  transport_->StartOn(native_socket);
  const auto ports = transport_->LocalPorts();
  port_ = ports.empty() ? 0 : ports.front();
  running_ = true;
}

void Api::StopListen() {
  if (!transport_) throw std::runtime_error("Api not listen");
  transport_->Stop();
  running_ = false;
}

void Api::ReleaseTransport() {
  if (running_) StopListen();
  transport_.reset();
}

Api& GetDefaultApi() {
  static Api api;
  return api;
}

}  // namespace norvessa
