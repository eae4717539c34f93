#include "db/connection_pool.h"

#include "db/db_error.h"

namespace norvessa {

ConnectionPool::ConnectionPool(Factory factory, int max_size,
                               std::chrono::milliseconds wait_limit)
    : factory_(std::move(factory)),
      max_size_(max_size < 1 ? 1 : max_size),
      wait_limit_(wait_limit) {
  idle_.push_back(factory_());
  open_ = 1;
}

std::unique_ptr<Connection> ConnectionPool::Acquire() {
  std::unique_lock lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + wait_limit_;
  while (!closed_ && idle_.empty() && open_ >= max_size_) {
    if (available_.wait_until(lock, deadline) == std::cv_status::timeout &&
        !closed_ && idle_.empty() && open_ >= max_size_) {
      throw DbError("No database connection available");
    }
  }
  if (closed_) throw DbError("Database connections closed");
  if (!idle_.empty()) {
    std::unique_ptr<Connection> c = std::move(idle_.back());
    idle_.pop_back();
    return c;
  }
  // Open a new one outside the lock; the slot is taken meanwhile.
  ++open_;
  lock.unlock();
  try {
    return factory_();
  } catch (...) {
    lock.lock();
    --open_;
    available_.notify_one();
    throw;
  }
}

void ConnectionPool::Release(std::unique_ptr<Connection> connection) {
  if (!connection) return;
  std::unique_ptr<Connection> discarded;
  {
    std::lock_guard lock(mutex_);
    if (closed_ || connection->IsBroken() || connection->InTransaction()) {
      discarded = std::move(connection);
      --open_;
    } else {
      idle_.push_back(std::move(connection));
    }
  }
  available_.notify_one();
  // A broken connection is closed outside the lock.
}

void ConnectionPool::Close() {
  std::vector<std::unique_ptr<Connection>> closing;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    open_ -= static_cast<int>(idle_.size());
    closing.swap(idle_);
  }
  available_.notify_all();
}

int ConnectionPool::open_count() const {
  std::lock_guard lock(mutex_);
  return open_;
}

int ConnectionPool::idle_count() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(idle_.size());
}

}  // namespace norvessa
