#include "framework/api.h"

#include <stdexcept>
#include <utility>

#include "framework/dispatch_bridge.h"
#include "text/ascii.h"

namespace norvessa {

Api::Api(ServerLimits limits) {
  static_cast<ServerLimits&>(options_) = limits;
  // The system's maximum: a burst of connections waits in the queue
  // rather than being turned away by the kernel.
  options_.backlog = 0;
  options_.max_in_chain = kMaxInChain;
  options_.busy_message = std::string(kMaxConnectionsMessage);
  options_.on_refused = [this](const RawRequest& req, const RawResponse& res) {
    if (on_refused_) on_refused_(req, res);
  };
  options_.stats = std::make_shared<TransportStats>();
}

Api::~Api() = default;

void Api::SetLimits(const ServerLimits& limits) {
  static_cast<ServerLimits&>(options_) = limits;
  // The next Listen builds the transport with them.
  if (!running_) transport_.reset();
}

void Api::SetChainSlots(int slots) {
  options_.max_in_chain = slots;
  if (!running_) transport_.reset();
}

void Api::SetListenerName(std::string name) {
  options_.name = std::move(name);
  if (!running_) transport_.reset();
}

void Api::SetDescriptorReserve(int reserved) {
  options_.fit_to_descriptors = reserved >= 0;
  options_.reserved_descriptors = reserved < 0 ? 0 : reserved;
  if (!running_) transport_.reset();
}

ServerCounts Api::Counts() const {
  const TransportStats& stats = *options_.stats;
  ServerCounts counts;
  counts.refused_in_chain = stats.refused_in_chain.load();
  counts.refused_body_budget = stats.refused_body_budget.load();
  counts.closed_at_cap = stats.closed_at_cap.load();
  counts.abandoned = stats.abandoned.load();
  counts.accept_failures = stats.accept_failures.load();
  counts.bytes_sent = stats.bytes_sent.load();
  counts.forbidden = stats.forbidden.load();
  counts.forbidden_origin = stats.forbidden_origin.load();
  counts.misdirected = stats.misdirected.load();
  counts.closed_per_address = stats.closed_per_address.load();
  counts.malformed = stats.malformed.load();
  counts.body_too_large = stats.body_too_large.load();
  counts.header_too_large = stats.header_too_large.load();
  counts.not_implemented = stats.not_implemented.load();
  counts.closed_idle = stats.closed_idle.load();
  counts.closed_deadline = stats.closed_deadline.load();
  counts.waited = stats.waited.load();
  return counts;
}

void Api::EnsureTransport() {
  if (transport_) return;
  transport_ = MakeHttpTransport(
      options_, [this](const RawRequest& req, RawResponse& res) {
        DispatchRequest(*this, req, res, metrics_.get());
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

bool Api::ReleaseTransport(std::chrono::steady_clock::time_point deadline) {
  if (running_) StopListen();
  if (transport_ && !transport_->WaitForHandlers(deadline)) return false;
  transport_.reset();
  return true;
}

Api& GetDefaultApi() {
  static Api api;
  return api;
}

}  // namespace norvessa
