#include "db/connection_pool.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "db/driver_error.h"

namespace norvessa {
namespace {

std::string Seconds(std::chrono::steady_clock::duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s",
                std::chrono::duration<double>(d).count());
  return text;
}

// One line to stderr in one write; a driver's message never starts a
// second line.
void WriteLine(const std::string& text) {
  std::string line;
  for (char c : text) {
    line += static_cast<unsigned char>(c) < 32 ? ' ' : c;
  }
  line += '\n';
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace

ConnectionPool::ConnectionPool(Factory factory, int max_size,
                               std::chrono::milliseconds wait_limit)
    : ConnectionPool(std::move(factory), [&] {
        Options options;
        options.max_size = max_size;
        options.wait_limit = wait_limit;
        return options;
      }()) {}

ConnectionPool::ConnectionPool(Factory factory, Options options)
    : factory_(std::move(factory)), options_(std::move(options)) {
  options_.max_size = std::max(options_.max_size, 1);
  idle_.push_back({factory_(), Now()});
  open_ = 1;
}

std::chrono::steady_clock::time_point ConnectionPool::Now() const {
  return options_.clock ? options_.clock() : std::chrono::steady_clock::now();
}

void ConnectionPool::Report(const std::string& line) const {
  if (options_.report) {
    options_.report(line);
  } else {
    WriteLine(line);
  }
}

std::unique_ptr<Connection> ConnectionPool::Acquire() {
  return Acquire(options_.wait_limit);
}

std::unique_ptr<Connection> ConnectionPool::Acquire(
    std::chrono::milliseconds wait_limit) {
  const auto deadline = std::chrono::steady_clock::now() + wait_limit;
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
    if (idle_.empty()) return OpenNew(lock);
    // The most recently used first: the least likely to have gone stale.
    Idle idle = std::move(idle_.back());
    idle_.pop_back();
    const bool check = Now() - idle.since >= options_.check_idle_after;
    // The checks run outside the lock, the slot kept.
    lock.unlock();
    const std::string invalid = idle.connection->InvalidReason();
    if (!invalid.empty()) {
      Invalidate(std::move(idle.connection), invalid);
    } else if (!check || idle.connection->IsAlive()) {
      // A check talks to the server.
      return std::move(idle.connection);
    } else {
      Discard(std::move(idle.connection));
    }
    lock.lock();
  }
}

std::unique_ptr<Connection> ConnectionPool::OpenNew(
    std::unique_lock<std::mutex>& lock) {
  const bool backing_off = options_.first_retry.count() > 0;
  if (backing_off && outage_ && (attempting_ || Now() < next_attempt_)) {
    throw DatabaseUnavailable(
        "Database unreachable (next attempt in " +
        Seconds(std::max(next_attempt_ - Now(),
                         std::chrono::steady_clock::duration{})) +
        "): " + outage_cause_);
  }
  // One attempt at a time while the server is away; the slot is taken
  // while the connection opens outside the lock.
  attempting_ = outage_;
  ++open_;
  lock.unlock();
  std::unique_ptr<Connection> connection;
  std::string cause;
  std::string replaced;
  try {
    connection = factory_();
  } catch (const DatabaseReplaced& e) {
    cause = e.what();
    replaced = e.reason();
  } catch (const std::exception& e) {
    cause = e.what();
  }
  lock.lock();
  attempting_ = false;
  if (!replaced.empty()) invalid_reason_ = replaced;
  if (connection) {
    invalid_reason_.clear();
    if (to_replace_ > 0) {
      --to_replace_;
      ++reconnects_;
    }
    if (outage_) {
      outage_ = false;
      Report("Database reachable again after " +
             Seconds(Now() - outage_since_));
    }
    return connection;
  }
  --open_;
  available_.notify_one();
  if (backing_off) {
    if (!outage_) {
      outage_ = true;
      outage_since_ = Now();
      retry_step_ = options_.first_retry;
      Report("Database unreachable: " + cause + " (one connection attempt " +
             "every " + Seconds(options_.first_retry) + ", doubling up to " +
             Seconds(options_.max_retry) + ", until it answers)");
    } else {
      retry_step_ = std::min(retry_step_ * 2, options_.max_retry);
    }
    next_attempt_ = Now() + retry_step_;
    outage_cause_ = cause;
  }
  throw DriverError(cause, true);
}

void ConnectionPool::Discard(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard lock(mutex_);
    --open_;
    ++discarded_;
    ++to_replace_;
  }
  available_.notify_one();
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
  if (connection->IsBroken() || connection->InTransaction()) {
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
      idle_.push_back({std::move(connection), Now()});
    }
  }
  available_.notify_one();
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
