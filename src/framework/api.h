#ifndef NORVESSA_FRAMEWORK_API_H_
#define NORVESSA_FRAMEWORK_API_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "framework/api_core.h"
#include "framework/raw_http.h"
#include "framework/request_metrics.h"
#include "framework/transport/http_transport.h"

namespace norvessa {

// What the server counted since the Api was created.
struct ServerCounts {
  // Answered 500 with kMaxConnectionsMessage: the chain was full, or the
  // body would have passed the body budget.
  std::uint64_t refused_in_chain = 0;
  std::uint64_t refused_body_budget = 0;
  // Closed as soon as they arrived: the connection limit was reached.
  std::uint64_t closed_at_cap = 0;
  // Read in full, never dispatched: the client had gone by its turn.
  std::uint64_t abandoned = 0;
  // Failed accepts (out of descriptors, mostly).
  std::uint64_t accept_failures = 0;
  // Bytes written to clients, headers included.
  std::uint64_t bytes_sent = 0;
  // Answered 403: the client's address is not allowed.
  std::uint64_t forbidden = 0;
  // Answered 403: the request's browser origin is not allowed.
  std::uint64_t forbidden_origin = 0;
  // Answered 421: the Host header names a host not served here.
  std::uint64_t misdirected = 0;
  // Closed as soon as they arrived: their address held its share.
  std::uint64_t closed_per_address = 0;
  // Answered by the request reader: 400, 413, 431 and 501.
  std::uint64_t malformed = 0;
  std::uint64_t body_too_large = 0;
  std::uint64_t header_too_large = 0;
  std::uint64_t not_implemented = 0;
  // Closed unanswered: silent too long, or not in by the deadline.
  std::uint64_t closed_idle = 0;
  std::uint64_t closed_deadline = 0;
  // Requests that waited for a chain slot.
  std::uint64_t waited = 0;

  std::uint64_t refused() const {
    return refused_in_chain + refused_body_budget;
  }
};

// The route registry and the server provider in one: routes and middleware
// are registered on it, then it listens and hands every request to the
// registry. Listen, StopListen and IsRunning are called from one thread.
class Api : public ApiCore {
 public:
  using OnListen = std::function<void(Api&)>;
  // Told of each request the server answered with the busy message without
  // running the chain, and of that answer; called on a transport thread,
  // so it must be quick, and what it throws is ignored.
  using RefusedHook =
      std::function<void(const RawRequest&, const RawResponse&)>;

  static constexpr int kDefaultPort = 9000;
  static constexpr const char* kDefaultHost = "0.0.0.0";
  static constexpr int kMaxInChain = 32;

  explicit Api(ServerLimits limits = {});
  ~Api() override;

  // Port 0 or less means 9000; an empty host means "0.0.0.0", which listens
  // on every local IPv4 and (where present) IPv6 address; any other host is
  // one binding. Errors (port in use, unknown host) reach the caller and
  // leave the server not running.
  void Listen(int port, std::string host, OnListen on_listen = {});
  void Listen(int port);
  void Listen();
  // Serves on an already bound and listening socket (tests bind
  // 127.0.0.1:0 themselves, since port 0 means 9000 here).
  void ListenOn(int native_socket);
  // Returns once the requests in flight have finished, or after the grace
  // period with their connections closed. Fails with "Api not listen" when
  // the server never listened.
  void StopListen();
  bool IsRunning() const { return running_.load(); }
  // Stops listening if needed and ends the transport's threads; a later
  // Listen starts a fresh transport.
  void ReleaseTransport();
  // As ReleaseTransport, but waits for running handlers only up to
  // `deadline`: when one is still running then (stuck in a call that never
  // returns), the transport is kept, with its threads, and false returned;
  // the process then ends without joining them.
  bool ReleaseTransport(std::chrono::steady_clock::time_point deadline);

  int port() const { return port_; }
  const std::string& host() const { return host_; }

  // Takes effect at the next Listen; call it while not listening.
  void SetLimits(const ServerLimits& limits);
  const ServerLimits& limits() const { return options_; }
  // Set before Listen.
  void OnRefused(RefusedHook hook) { on_refused_ = std::move(hook); }
  // Counts every request the chain runs there; set before Listen.
  void SetRequestMetrics(std::shared_ptr<RequestMetrics> metrics) {
    metrics_ = std::move(metrics);
  }
  // Requests in the chain at once (and worker threads); 32 unless set.
  // Takes effect at the next Listen.
  void SetChainSlots(int slots);
  // How the listener is named in its stderr lines, and how many
  // descriptors its connection limit leaves to the rest of the process
  // (negative: the limit is not fitted to the descriptor limit). Take
  // effect at the next Listen.
  void SetListenerName(std::string name);
  void SetDescriptorReserve(int reserved);
  ServerCounts Counts() const;

 private:
  void EnsureTransport();

  // The limits with the server's fixed settings, as the next transport
  // gets them.
  TransportOptions options_;
  RefusedHook on_refused_;
  std::shared_ptr<RequestMetrics> metrics_;
  int port_ = 0;
  std::string host_;
  // Read by the operators' listener's threads too.
  std::atomic<bool> running_{false};
  std::unique_ptr<HttpTransport> transport_;
};

// The process-wide registry and server, created on first use.
Api& GetDefaultApi();

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_H_
