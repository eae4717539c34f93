#ifndef NORVESSA_FRAMEWORK_API_H_
#define NORVESSA_FRAMEWORK_API_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "framework/api_core.h"

namespace norvessa {

class HttpTransport;

// Limits the transport applies to every connection.
struct ServerLimits {
  std::size_t header_limit = 64 * 1024;
  std::uint64_t body_limit = 16 * 1024 * 1024;
  std::chrono::milliseconds idle_timeout{30000};
  std::chrono::milliseconds stop_grace{10000};
};

// The route registry and the server provider in one: routes and middleware
// are registered on it, then it listens and hands every request to the
// registry. Listen, StopListen and IsRunning are called from one thread.
class Api : public ApiCore {
 public:
  using OnListen = std::function<void(Api&)>;

  static constexpr int kDefaultPort = 9000;
  static constexpr const char* kDefaultHost = "0.0.0.0";
  static constexpr int kMaxInChain = 32;
  static constexpr int kListenQueue = 15;

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
  bool IsRunning() const { return running_; }
  // Stops listening if needed and ends the transport's threads; a later
  // Listen starts a fresh transport.
  void ReleaseTransport();

  int port() const { return port_; }
  const std::string& host() const { return host_; }

 private:
  void EnsureTransport();

  ServerLimits limits_;
  int port_ = 0;
  std::string host_;
  bool running_ = false;
  std::unique_ptr<HttpTransport> transport_;
};

// The process-wide registry and server, created on first use.
Api& GetDefaultApi();

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_API_H_
