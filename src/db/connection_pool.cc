#include "db/connection_pool.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "db/driver_error.h"
#include "db/stderr_line.h"

namespace norvessa {
namespace {

std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s",
                std::chrono::duration<double>(d).count());
  return text;
}

}  // namespace

namespace {

std::atomic<int> connects_left_running{0};

// A connect's outcome: the connection, or why not (and the reason of a
// DatabaseReplaced). Whatever the factory throws is caught.
struct Connected {
  std::unique_ptr<Connection> connection;
  std::string cause;
  std::string replaced;
};

Connected Connect(const ConnectionPool::Factory& factory) {
  Connected result;
  try {
    result.connection = factory();
  } catch (const DatabaseReplaced& e) {
    result.cause = e.what();
    result.replaced = e.reason();
  } catch (const std::exception& e) {
    result.cause = e.what();
  } catch (...) {
    result.cause = "the connect failed with an unknown error";
  }
  return result;
}

}  // namespace

// One connect on a thread of its own; the pool's mutex guards it.
struct ConnectionPool::Attempt {
  bool done = false;
  // Made during an outage: the one attempt of its step.
  bool single = false;
  // The requester stopped waiting: the pool takes the result.
  bool left = false;
  // Left because it had no answer within the connect wait: the server is
  // taken for away while it runs.
  bool abandoned = false;
  std::unique_ptr<Connection> connection;
  std::string cause;
  std::string replaced;
};

// What a connect thread reaches the pool through: null once the pool is
// gone. Held by the pool and by every connect thread.
struct ConnectionPool::Landing {
  std::mutex mutex;
  ConnectionPool* pool = nullptr;
};

ConnectionPool::ConnectionPool(Factory factory, int max_size,
                               std::chrono::milliseconds wait_limit)
    : ConnectionPool(std::move(factory), [&] {
        Options options;
        options.max_size = max_size;
        options.wait_limit = wait_limit;
        return options;
      }()) {}

ConnectionPool::ConnectionPool(Factory factory, Options options)
    : factory_(std::move(factory)),
      options_(std::move(options)),
      landing_(std::make_shared<Landing>()) {
  options_.max_size = std::max(options_.max_size, 1);
  options_.max_connects = std::max(options_.max_connects, 1);
  landing_->pool = this;
  idle_.push_back({factory_(), Now(), 0});
  open_ = 1;
}

ConnectionPool::~ConnectionPool() {
  std::lock_guard lock(landing_->mutex);
  landing_->pool = nullptr;
}

int ConnectionPool::ConnectsLeftRunning() {
  return connects_left_running.load();
}

std::chrono::steady_clock::time_point ConnectionPool::Now() const {
  return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

void ConnectionPool::Report(const Reports& lines) const {
  for (const std::string& line : lines) {
    if (options_.report) {
      options_.report(line);
    } else {
      WriteStderrLine(line);
    }
  }
}

std::unique_ptr<Connection> ConnectionPool::Acquire() {
  return Acquire(options_.wait_limit);
}

std::unique_ptr<Connection> ConnectionPool::Acquire(
    std::chrono::milliseconds wait_limit) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
  // Lines are written after the mutex is released, however this ends.
  ReportsAfter reports(*this);
  std::unique_lock lock(mutex_);
  while (true) {
    while (!closed_ && idle_.empty() && open_ >= options_.max_size) {
      ++waiting_;
      const bool timed_out =
          available_.wait_until(lock, deadline) == std::cv_status::timeout;
      --waiting_;
      if (timed_out && !closed_ && idle_.empty() &&
          open_ >= options_.max_size) {
        throw DriverError("No database connection available");
      }
    }
    if (closed_) throw DriverError("Database connections closed");
    if (idle_.empty()) {
      if (auto opened = OpenNew(lock, deadline, reports)) return opened;
      continue;
    }
    // The most recently used first: the least likely to have gone stale.
    Idle idle = std::move(idle_.back());
    idle_.pop_back();
    const bool check = Now() - idle.since >= options_.check_idle_after ||
                       idle.returned < suspect_before_;
    const std::uint64_t returns_before_check = returns_;
    // The checks run outside the lock, the slot kept.
    lock.unlock();
    std::string invalid;
    bool alive = true;
    try {
      invalid = idle.connection->InvalidReason();
      // A check talks to the server.
      alive = !invalid.empty() || !check || idle.connection->IsAlive();
    } catch (...) {
      Discard(std::move(idle.connection));
      throw;
    }
    if (!invalid.empty()) {
      Invalidate(std::move(idle.connection), invalid);
    } else if (alive) {
      return std::move(idle.connection);
    } else {
      // Dead: so is every connection that went idle before the check
      // began. They are closed without a round trip each.
      std::vector<Idle> dead;
      {
        std::lock_guard relock(mutex_);
        dead = TakeIdleReturnedBefore(returns_before_check);
        suspect_before_ = std::max(suspect_before_, returns_before_check);
      }
      available_.notify_all();
      dead.clear();
      Discard(std::move(idle.connection));
    }
    lock.lock();
    if (std::chrono::steady_clock::now() >= deadline) {
      throw DriverError("No database connection available");
    }
  }
}

std::vector<ConnectionPool::Idle> ConnectionPool::TakeIdleReturnedBefore(
    std::uint64_t returned) {
  std::vector<Idle> taken;
  std::vector<Idle> kept;
  for (Idle& idle : idle_) {
    (idle.returned < returned ? taken : kept).push_back(std::move(idle));
  }
  idle_ = std::move(kept);
  const int n = static_cast<int>(taken.size());
  open_ -= n;
  discarded_ += n;
  to_replace_ += n;
  return taken;
}

void ConnectionPool::StartOrExtendOutage(const std::string& cause,
                                         Reports& reports) {
  if (options_.first_retry.count() <= 0) return;
  if (!outage_) {
    outage_ = true;
    outage_since_ = Now();
    retry_step_ = options_.first_retry;
    reports.push_back("Database unreachable: " + cause +
                      " (one connection attempt every " +
                      Seconds(options_.first_retry) + ", doubling up to " +
                      Seconds(options_.max_retry) + ", until it answers)");
  } else {
    retry_step_ = std::min(retry_step_ * 2, options_.max_retry);
  }
  next_attempt_ = Now() + retry_step_;
  outage_cause_ = cause;
}

std::unique_ptr<Connection> ConnectionPool::Opened(
    std::unique_ptr<Connection> connection, const std::string& cause,
    const std::string& replaced, Reports& reports) {
  if (!replaced.empty()) invalid_reason_ = replaced;
  available_.notify_all();
  if (connection) {
    invalid_reason_.clear();
    if (to_replace_ > 0) {
      --to_replace_;
      ++reconnects_;
    }
    if (outage_) {
      outage_ = false;
      reports.push_back("Database reachable again after " +
                        Seconds(Now() - outage_since_));
    }
    return connection;
  }
  --open_;
  StartOrExtendOutage(cause, reports);
  return nullptr;
}

std::unique_ptr<Connection> ConnectionPool::OpenNew(
    std::unique_lock<std::mutex>& lock,
    std::chrono::steady_clock::time_point deadline, Reports& reports) {
  const bool backing_off = options_.first_retry.count() > 0;
  if (abandoned_ > 0 && outage_) {
    throw DatabaseUnavailable(
        "Database unreachable (a connection attempt has had no answer for " +
        Seconds(Now() - outage_since_) + "): " + outage_cause_);
  }
  if (backing_off && outage_ && (attempting_ || Now() < next_attempt_)) {
    throw DatabaseUnavailable(
        "Database unreachable (next attempt in " +
        Seconds(std::max(next_attempt_ - Now(),
                         std::chrono::steady_clock::duration{})) +
        "): " + outage_cause_);
  }
  const bool threaded = options_.connect_wait.count() > 0;
  if (!threaded) {
    // One attempt at a time while the server is away; the slot is taken
    // while the connection opens outside the lock.
    attempting_ = outage_;
    ++open_;
    lock.unlock();
    Connected result = Connect(factory_);
    lock.lock();
    attempting_ = false;
    if (auto opened = Opened(std::move(result.connection), result.cause,
                             result.replaced, reports)) {
      return opened;
    }
    throw DriverError(result.cause, true);
  }
  const auto connect_until =
      std::chrono::steady_clock::now() + options_.connect_wait;
  const auto wait_until = std::min(deadline, connect_until);
  const int limit = outage_ ? 1 : options_.max_connects;
  if (connecting_ >= limit) {
    // Enough connects under way: wait for one to end, then look again.
    ++waiting_;
    const bool ended = available_.wait_until(lock, wait_until, [&] {
      return closed_ || connecting_ < limit || !idle_.empty();
    });
    --waiting_;
    if (!ended) {
      throw DatabaseUnavailable(
          "Database unreachable: the connection attempts under way had no "
          "answer within " +
          Seconds(options_.connect_wait));
    }
    return nullptr;
  }
  auto attempt = std::make_shared<Attempt>();
  attempt->single = outage_;
  if (outage_) attempting_ = true;
  ++open_;
  ++connecting_;
  try {
    std::thread([landing = landing_, attempt, factory = factory_] {
      Connected result = Connect(factory);
      std::unique_lock landing_lock(landing->mutex);
      if (landing->pool != nullptr) {
        landing->pool->Land(attempt, std::move(result.connection),
                            std::move(result.cause),
                            std::move(result.replaced));
        return;
      }
      // The pool is gone (its requester had left): what was opened is
      // closed here.
      landing_lock.unlock();
      result.connection.reset();
      --connects_left_running;
    }).detach();
  } catch (const std::exception& e) {
    // No thread for it (the process has too many): nothing was tried.
    --open_;
    --connecting_;
    if (attempt->single) attempting_ = abandoned_ > 0;
    available_.notify_all();
    throw DriverError(std::string("Cannot start a connection attempt: ") +
                      e.what());
  }
  ++waiting_;
  const bool done =
      available_.wait_until(lock, wait_until, [&] { return attempt->done; });
  --waiting_;
  if (!done) {
    // The connect is left to end on its own; its connection, if any, then
    // serves the pool.
    attempt->left = true;
    ++connects_left_running;
    if (std::chrono::steady_clock::now() < connect_until) {
      // This request's own limit came first: that says nothing of the
      // server.
      throw DriverError("No database connection available");
    }
    // No answer within the connect wait: the server is taken for away, and
    // until this connect ends no other starts during the outage.
    attempt->abandoned = true;
    ++abandoned_;
    attempting_ = true;
    const std::string cause = "no answer to a connection attempt within " +
                              Seconds(options_.connect_wait);
    StartOrExtendOutage(cause, reports);
    throw DatabaseUnavailable("Database unreachable: " + cause);
  }
  if (attempt->single) attempting_ = abandoned_ > 0;
  available_.notify_all();
  if (auto opened = Opened(std::move(attempt->connection), attempt->cause,
                           attempt->replaced, reports)) {
    return opened;
  }
  throw DriverError(attempt->cause, true);
}

void ConnectionPool::Land(const std::shared_ptr<Attempt>& attempt,
                          std::unique_ptr<Connection> connection,
                          std::string cause, std::string replaced) {
  Reports reports;
  std::unique_ptr<Connection> closing;
  bool left = false;
  {
    std::lock_guard lock(mutex_);
    --connecting_;
    attempt->done = true;
    left = attempt->left;
    if (!left) {
      attempt->connection = std::move(connection);
      attempt->cause = std::move(cause);
      attempt->replaced = std::move(replaced);
    } else {
      if (attempt->abandoned) --abandoned_;
      if (attempt->abandoned || attempt->single) attempting_ = abandoned_ > 0;
      if (closed_) {
        --open_;
        closing = std::move(connection);
      } else if (auto opened =
                     Opened(std::move(connection), cause, replaced, reports)) {
        idle_.push_back({std::move(opened), Now(), returns_++});
      }
    }
  }
  available_.notify_all();
  Report(reports);
  closing.reset();
  // Last: the process may leave without its destructors once none runs.
  if (left) --connects_left_running;
}

std::string ConnectionPool::AttemptNow(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  ReportsAfter reports(*this);
  std::unique_lock lock(mutex_);
  if (!outage_ || closed_) return {};
  if (attempting_) {
    // Joins the attempt under way.
    available_.wait_until(lock, deadline, [&] { return !attempting_; });
    return outage_ ? outage_cause_ : std::string();
  }
  if (open_ >= options_.max_size) return outage_cause_;
  next_attempt_ = Now();
  try {
    std::unique_ptr<Connection> opened = OpenNew(lock, deadline, reports);
    if (!opened) return outage_ ? outage_cause_ : std::string();
    if (closed_) {
      --open_;
      lock.unlock();
      return {};
    }
    idle_.push_back({std::move(opened), Now(), returns_++});
    available_.notify_all();
    return {};
  } catch (const DriverError& e) {
    return outage_ ? outage_cause_ : std::string(e.what());
  }
}

void ConnectionPool::Discard(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard lock(mutex_);
    --open_;
    ++discarded_;
    ++to_replace_;
  }
  available_.notify_all();
  // Closed outside the lock: a disconnect may wait on the network.
  connection.reset();
}

void ConnectionPool::Invalidate(std::unique_ptr<Connection> connection,
                                const std::string& reason) {
  std::vector<Idle> closing;
  {
    std::lock_guard lock(mutex_);
    invalid_reason_ = reason;
    closing.swap(idle_);
    const int n = static_cast<int>(closing.size()) + 1;
    open_ -= n;
    discarded_ += n;
    to_replace_ += n;
  }
  available_.notify_all();
  // Closed here, before the caller may open the database again.
  closing.clear();
  connection.reset();
}

void ConnectionPool::Release(std::unique_ptr<Connection> connection) {
  if (!connection) return;
  if (connection->IsBroken()) {
    // The link was lost: whatever went idle before may have lost its own.
    {
      std::lock_guard lock(mutex_);
      suspect_before_ = returns_;
    }
    Discard(std::move(connection));
    return;
  }
  if (connection->InTransaction()) {
    Discard(std::move(connection));
    return;
  }
  if (std::string invalid = connection->InvalidReason(); !invalid.empty()) {
    Invalidate(std::move(connection), invalid);
    return;
  }
  std::unique_ptr<Connection> closing;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      --open_;
      closing = std::move(connection);
    } else {
      idle_.push_back({std::move(connection), Now(), returns_++});
    }
  }
  available_.notify_all();
}

void ConnectionPool::Close() {
  std::vector<Idle> closing;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    open_ -= static_cast<int>(idle_.size());
    closing.swap(idle_);
  }
  available_.notify_all();
}

std::string ConnectionPool::NotReadyCause() const {
  std::lock_guard lock(mutex_);
  if (!invalid_reason_.empty()) return invalid_reason_;
  if (outage_) return "database unreachable: " + outage_cause_;
  if (write_failed_ && Now() - write_failed_at_ < kWriteFailureWindow) {
    return "database: writes fail: " + write_failure_;
  }
  return {};
}

void ConnectionPool::NoteWriteStored() {
  std::lock_guard lock(mutex_);
  write_stored_at_ = Now();
  write_stored_ = true;
  write_failed_ = false;
}

void ConnectionPool::NoteWriteFailed(const std::string& cause) {
  std::lock_guard lock(mutex_);
  write_failed_at_ = Now();
  write_failed_ = true;
  write_failure_ = cause;
}

bool ConnectionPool::WriteStoredWithin(
    std::chrono::steady_clock::duration d) const {
  std::lock_guard lock(mutex_);
  return write_stored_ && Now() - write_stored_at_ < d;
}

int ConnectionPool::open_count() const {
  std::lock_guard lock(mutex_);
  return open_;
}

int ConnectionPool::waiting_count() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

int ConnectionPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(idle_.size());
}

std::uint64_t ConnectionPool::reconnect_count() const {
  std::lock_guard lock(mutex_);
  return reconnects_;
}

namespace {

int ClassDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return -1;
}

char ClassChar(int digit) {
  return static_cast<char>(digit < 10 ? '0' + digit : 'A' + digit - 10);
}

}  // namespace

void ConnectionPool::CountStatementError(std::string_view sqlstate) {
  std::size_t slot = kClassSlots - 1;
  if (sqlstate.size() >= 2) {
    const int a = ClassDigit(sqlstate[0]);
    const int b = ClassDigit(sqlstate[1]);
    if (a >= 0 && b >= 0) slot = static_cast<std::size_t>(a * 36 + b);
  }
  statement_errors_[slot].fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::pair<std::string, std::uint64_t>>
ConnectionPool::StatementErrors() const {
  std::vector<std::pair<std::string, std::uint64_t>> out;
  for (std::size_t slot = 0; slot < kClassSlots; ++slot) {
    const std::uint64_t n =
        statement_errors_[slot].load(std::memory_order_relaxed);
    if (n == 0) continue;
    if (slot == kClassSlots - 1) {
      out.emplace_back("none", n);
    } else {
      const int digit = static_cast<int>(slot);
      out.emplace_back(
          std::string{ClassChar(digit / 36), ClassChar(digit % 36)}, n);
    }
  }
  return out;
}

int ConnectionPool::discarded_count() const {
  std::lock_guard lock(mutex_);
  return discarded_;
}

}  // namespace norvessa
