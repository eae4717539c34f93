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
  // Answered 500 with the busy message: the chain (and the queue of
  // requests waiting for it) was full, or a wait for a slot ran out.
  std::atomic<std::uint64_t> refused_in_chain{0};
  // Answered 500 with the busy message: the body would have passed the
  // bytes all bodies may hold together.
  std::atomic<std::uint64_t> refused_body_budget{0};
  // Closed at once on arrival: the connection limit was reached.
  std::atomic<std::uint64_t> closed_at_cap{0};
  // Closed at once on arrival: that address held its share of connections.
  std::atomic<std::uint64_t> closed_per_address{0};
  // Read in full but never dispatched: the client had gone by its turn.
  std::atomic<std::uint64_t> abandoned{0};
  // Accepts that failed (out of descriptors, mostly).
  std::atomic<std::uint64_t> accept_failures{0};
  // Bytes written to clients, headers included.
  std::atomic<std::uint64_t> bytes_sent{0};
  // Answered 403: the client's address is not allowed.
  std::atomic<std::uint64_t> forbidden{0};
  // Answered 403: the request came from a browser origin not listed.
  std::atomic<std::uint64_t> forbidden_origin{0};
  // Answered 421: the Host header names a host not listed.
  std::atomic<std::uint64_t> misdirected{0};
  // Answered by the request reader: malformed (400), body too large (413),
  // header too large (431), unknown transfer coding (501).
  std::atomic<std::uint64_t> malformed{0};
  std::atomic<std::uint64_t> body_too_large{0};
  std::atomic<std::uint64_t> header_too_large{0};
  std::atomic<std::uint64_t> not_implemented{0};
  // Closed unanswered: silent past the idle time, or the request was not
  // in by its deadline.
  std::atomic<std::uint64_t> closed_idle{0};
  std::atomic<std::uint64_t> closed_deadline{0};
  // Requests that found every slot taken and waited for one.
  std::atomic<std::uint64_t> waited{0};
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
  // The deadline instead, for a peer whose requests are all refused (an
  // address outside the allow-list that is no proxy): only its head is
  // read, to answer 403.
  std::chrono::milliseconds refused_peer_deadline{5000};
  // Connections open at once; one more is closed as soon as it is
  // accepted. Lowered at start to fit the process's descriptor limit.
  int max_connections = 10000;
  // Connections one address may hold at once (listed proxies are exempt);
  // one more from it is closed as soon as it is accepted. 0: no limit.
  int max_connections_per_address = 256;
  // Body bytes all connections hold together, counted as they arrive; a
  // body that would pass it gets the busy answer at once.
  std::uint64_t body_budget = 256ull * 1024 * 1024;
  // How long a request that finds every chain slot taken waits for one;
  // 0 answers it busy at once.
  std::chrono::milliseconds slot_wait{0};
  // How long StopListen waits for requests in flight before it closes them.
  std::chrono::milliseconds stop_grace{10000};
  // Who may send requests; everyone, from any origin and naming any host,
  // when none.
  std::shared_ptr<const AccessRules> access;
};

// The limits, and how the transport itself is set up.
struct TransportOptions : ServerLimits {
  // After an answer the unread rest of a request is drained before the
  // socket closes, so that the client reads the answer, not a reset: while
  // the client goes on sending, up to `drain_bytes` and `drain_time` in
  // all, and for `drain_idle` of silence.
  std::chrono::milliseconds drain_idle{2000};
  std::chrono::milliseconds drain_time{10000};
  std::uint64_t drain_bytes = 17 * 1024 * 1024;
  // The listen backlog; 0 is the system's maximum.
  int backlog = 0;
  // Requests in the handler chain at once; the next one gets 500 with
  // `busy_message` (and Retry-After) unless it may wait for a slot.
  int max_in_chain = 32;
  // Requests that may wait for a slot at once, when `slot_wait` is set.
  int max_waiting = 64;
  std::string busy_message;
  int io_threads = 2;
  // Threads that run the chain; 0 is one per chain slot.
  int worker_threads = 0;
  // How this listener is named in the lines it writes on stderr.
  std::string name = "API";
  // Whether the connection limit is fitted to the descriptor limit at
  // start, keeping `reserved_descriptors` for everything else.
  bool fit_to_descriptors = true;
  int reserved_descriptors = 256;
  // Called, on a transport thread, with each request answered without
  // the chain (the busy message, 403, 421, or a malformed request whose
  // request line could be read) and with that answer; it must not throw
  // or block.
  std::function<void(const RawRequest&, const RawResponse&)> on_refused;
  // Where the counts go; the transport makes its own when none is given.
  std::shared_ptr<TransportStats> stats;
};

// The answer to a client whose address or origin is not allowed.
inline constexpr std::string_view kForbiddenBody = R"({"error":"Forbidden"})";
// The answer to a request for a host that is not served here.
inline constexpr std::string_view kMisdirectedBody =
    R"({"error":"Misdirected Request"})";

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
  // Stops accepting, answers the requests waiting for a slot busy, closes
  // idle connections, waits for the requests in flight up to the grace
  // period and then closes what is left.
  virtual void Stop() = 0;
  // Waits until no handler runs, up to `deadline`; false when one still
  // does (a handler stuck in a call that never returns).
  virtual bool WaitForHandlers(
      std::chrono::steady_clock::time_point deadline) = 0;
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
// `max_connections`, lowered if need be so that the connections and
// `reserved` fit in it; a lowered limit is told on stderr, naming the
// listener.
int FitConnectionsToDescriptorLimit(int max_connections,
                                    int reserved = kReservedDescriptors,
                                    const std::string& name = "API");

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_HTTP_TRANSPORT_H_
