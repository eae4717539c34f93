#ifndef NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "framework/transport/http_transport.h"
#include "framework/transport/session_registry.h"
#include "framework/transport/worker_pool.h"

namespace norvessa::transport {

// The body bytes all connections hold together, against one limit.
class BodyBudget {
 public:
  explicit BodyBudget(std::uint64_t limit) : limit_(limit) {}
  // Takes `n` more bytes, unless that would pass the limit.
  bool Take(std::uint64_t n);
  void Give(std::uint64_t n) { held_.fetch_sub(n); }

 private:
  const std::uint64_t limit_;
  std::atomic<std::uint64_t> held_{0};
};

// The share of the budget one request holds; given back when it goes.
class BodyLease {
 public:
  BodyLease() = default;
  explicit BodyLease(BodyBudget& budget) : budget_(&budget) {}
  ~BodyLease() { Reset(); }
  BodyLease(BodyLease&& other) noexcept
      : budget_(other.budget_), held_(other.held_) {
    other.held_ = 0;
  }
  BodyLease& operator=(BodyLease&&) = delete;

  // Holds `total` bytes in all; false (holding what it held) when the
  // budget cannot give the difference.
  bool GrowTo(std::uint64_t total);
  void Reset();

 private:
  BodyBudget* budget_ = nullptr;
  std::uint64_t held_ = 0;
};

// A line on stderr about a condition that may last: the first time it is
// seen, then at most once a minute while it goes on, with the number of
// times it was seen in between.
class OccasionalLine {
 public:
  static constexpr std::chrono::minutes kInterval{1};

  // `text` is the line without its count and newline.
  void Seen(const std::function<std::string()>& text);

 private:
  std::mutex mutex_;
  std::optional<std::chrono::steady_clock::time_point> last_;
  std::uint64_t unreported_ = 0;
};

// What every connection of one transport shares.
struct TransportContext {
  TransportContext(TransportOptions o, HttpTransport::Handler h, WorkerPool& w)
      : options(std::move(o)),
        handler(std::move(h)),
        workers(w),
        stats(options.stats ? options.stats
                            : std::make_shared<TransportStats>()),
        bodies(options.body_budget),
        max_connections(options.max_connections) {}

  const TransportOptions options;
  const HttpTransport::Handler handler;
  WorkerPool& workers;
  const std::shared_ptr<TransportStats> stats;
  std::atomic<int> in_chain{0};
  BodyBudget bodies;
  // The connection limit as fitted to the descriptor limit at start.
  std::atomic<int> max_connections;
  std::atomic<int> open_connections{0};
  OccasionalLine cap_line;
  OccasionalLine descriptor_line;
  SessionRegistry sessions;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
