#ifndef NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
#define NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "framework/access_rules.h"
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

class Session;

// The chain's slots, and the requests waiting for one in arrival order. A
// freed slot goes to the oldest waiter, and no request takes a free slot
// while another waits.
class ChainSlots {
 public:
  enum class Outcome { kTaken, kQueued, kFull };

  ChainSlots(int slots, int max_waiting)
      : slots_(slots), max_waiting_(max_waiting) {}

  // Takes a slot, or queues `waiter` when `may_wait` and the queue has
  // room; the waiter is told with Session::SlotGranted.
  Outcome Take(const std::shared_ptr<Session>& waiter, bool may_wait);
  // Every slot taken, and no room in the queue for one that may wait.
  bool Full(bool may_wait) const;
  // A slot comes back: it goes to the oldest waiter still there, else it
  // is free.
  void Give();
  // Takes `waiter` out of the queue; false when it was granted a slot
  // meanwhile (the grant is on its way).
  bool Withdraw(const Session* waiter);
  // Nobody may wait any more; returns those who did, to be answered.
  std::vector<std::shared_ptr<Session>> CloseQueue();
  // Allows waiting again (a later Listen).
  void OpenQueue();
  int taken() const;
  int waiting() const;

 private:
  struct Waiter {
    const Session* key;
    std::weak_ptr<Session> session;
  };

  const int slots_;
  const int max_waiting_;
  mutable std::mutex mutex_;
  int taken_ = 0;
  bool closed_ = false;
  std::deque<Waiter> waiters_;
};

struct IpAddressHash {
  std::size_t operator()(const IpAddress& a) const noexcept {
    std::size_t h = 1469598103934665603ull;
    for (std::uint8_t b : a) h = (h ^ b) * 1099511628211ull;
    return h;
  }
};

// Connections open per peer address.
class PeerCounts {
 public:
  // Counts one more connection from `peer` unless it holds `limit`.
  bool TryAdd(const IpAddress& peer, int limit);
  void Remove(const IpAddress& peer);

 private:
  std::mutex mutex_;
  std::unordered_map<IpAddress, int, IpAddressHash> open_;
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
  ChainSlots slots{options.max_in_chain,
                   options.slot_wait.count() > 0 ? options.max_waiting : 0};
  BodyBudget bodies;
  // The connection limit as fitted to the descriptor limit at start.
  std::atomic<int> max_connections;
  std::atomic<int> open_connections{0};
  PeerCounts peers;
  OccasionalLine cap_line;
  OccasionalLine peer_cap_line;
  OccasionalLine descriptor_line;
  SessionRegistry sessions;
};

}  // namespace norvessa::transport

#endif  // NORVESSA_FRAMEWORK_TRANSPORT_TRANSPORT_CONTEXT_H_
