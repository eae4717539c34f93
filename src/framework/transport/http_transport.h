#ifndef NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/access_rules.h"
#include "framework/raw_http.h"

namespace norvessa {

// What the transport counts, for the life of the server that owns it.
struct TransportStats {
  // Answered 500 with the busy message: the chain was full.
  std::atomic<std::uint64_t> refused_in_chain{0};
  // Answered 500 with the busy message: the body would have passed the
  // bytes all bodies may hold together.
  std::atomic<std::uint64_t> refused_body_budget{0};
  // Closed at once on arrival: the connection limit was reached.
  std::atomic<std::uint64_t> closed_at_cap{0};
  // Read in full but never dispatched: the client had gone by its turn.
  std::atomic<std::uint64_t> abandoned{0};
  // Accepts that failed (out of descriptors, mostly).
  std::atomic<std::uint64_t> accept_failures{0};
  // Bytes written to clients, headers included.
  std::atomic<std::uint64_t> bytes_sent{0};
  // Answered 403: the client's address is not allowed.
  std::atomic<std::uint64_t> forbidden{0};
};

// Limits the transport applies to every connection; the server's settings
// set them.
struct ServerLimits {
  // Request line and headers together; more gets 431.
  std::size_t header_limit = 64 * 1024;
  // More gets 413.
  std::uint64_t body_limit = 16 * 1024 * 1024;
  // A client silent this long while we read or write is disconnected.
  std::chrono::milliseconds idle_timeout{30000};
  // The whole request (request line, headers and body) must have arrived
  // this long after the connection was accepted, else it is closed
  // unanswered, however steadily its bytes trickle in.
  std::chrono::milliseconds request_deadline{60000};
  // Connections open at once; one more is closed as soon as it is
  // accepted. Lowered at start to fit the process's descriptor limit.
  int max_connections = 10000;
  // Body bytes all connections may hold together; a body that would pass
  // it (by its Content-Length up front, or chunk by chunk) gets the busy
  // answer at once.
  std::uint64_t body_budget = 256ull * 1024 * 1024;
  // How long StopListen waits for requests in flight before it closes them.
  std::chrono::milliseconds stop_grace{10000};
  // Who may send requests; everyone when none.
  std::shared_ptr<const AccessRules> access;
};

// The limits, and how the transport itself is set up.
struct TransportOptions : ServerLimits {
  // After an answer, how long the unread rest of a request is drained
  // before the socket closes (so the client reads the answer, not a reset).
  std::chrono::milliseconds linger{1000};
  // The listen backlog; 0 is the system's maximum.
  int backlog = 0;
  // Requests in the handler chain at once; the next one read in full gets
  // 500 with `busy_message` at once.
  int max_in_chain = 32;
  std::string busy_message;
  int io_threads = 2;
  // Threads that run the chain; 0 is one per chain slot.
  int worker_threads = 0;
  // Called, on a transport thread, with each request answered without
  // the chain (the busy message, or 403 to an address not allowed) and
  // with that answer; it must not throw or block.
  std::function<void(const RawRequest&, const RawResponse&)> on_refused;
  // Where the counts go; the transport makes its own when none is given.
  std::shared_ptr<TransportStats> stats;
};

// The answer to a client whose address is not allowed.
inline constexpr std::string_view kForbiddenBody = R"({"error":"Forbidden"})";

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

// The process's own files (settings, logs, database connections and their
// journals, the listeners) need descriptors beside the connections.
inline constexpr int kReservedDescriptors = 256;

// Raises the soft descriptor limit to the hard one and returns
// `max_connections`, lowered if need be so that the connections and the
// reserve fit in it; a lowered limit is told on stderr.
int FitConnectionsToDescriptorLimit(int max_connections);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_
