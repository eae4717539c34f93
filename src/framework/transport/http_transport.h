#ifndef NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/raw_http.h"

namespace norvessa {

struct TransportOptions {
  // Request line and headers together; more gets 431.
  std::size_t header_limit = 64 * 1024;
  // More gets 413.
  std::uint64_t body_limit = 16 * 1024 * 1024;
  // A client silent this long while we read or write is disconnected.
  std::chrono::milliseconds idle_timeout{30000};
  // How long StopListen waits for requests in flight before it closes them.
  std::chrono::milliseconds stop_grace{10000};
  // After an answer, how long the unread rest of a request is drained
  // before the socket closes (so the client reads the answer, not a reset).
  std::chrono::milliseconds linger{1000};
  int backlog = 15;
  // Requests in the handler chain at once; the next one read in full gets
  // 500 with `busy_message` at once.
  int max_in_chain = 32;
  std::string busy_message;
  int io_threads = 2;
};

struct Binding {
  std::string address;
  std::uint16_t port = 0;
};

// HTTP/1.1 over TCP, one request per connection. The handler runs on a
// worker pool; reading and writing happen on the transport's own threads.
class HttpTransport {
 public:
  using Handler = std::function<void(const RawRequest&, RawResponse&)>;

  virtual ~HttpTransport() = default;

  // Binds and listens. With no bindings it binds the IPv4 wildcard and,
  // where the host has IPv6, the IPv6 wildcard (IPV6_V6ONLY), both on
  // `default_port`. Throws std::runtime_error when a binding fails; then
  // nothing listens.
  virtual void Start(const std::vector<Binding>& bindings,
                     std::uint16_t default_port) = 0;
  // Listens on an already bound and listening socket, taking it over.
  virtual void StartOn(int native_socket) = 0;
  // Stops accepting, closes idle connections, waits for the requests in
  // flight up to the grace period and then closes what is left.
  virtual void Stop() = 0;
  virtual bool IsListening() const = 0;
  // The ports actually bound (tests read the port of 127.0.0.1:0).
  virtual std::vector<std::uint16_t> LocalPorts() const = 0;
};

std::unique_ptr<HttpTransport> MakeHttpTransport(
    TransportOptions options, HttpTransport::Handler handler);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_
