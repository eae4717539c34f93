#ifndef NORVESSA_DB_CONNECTION_POOL_H_
#define NORVESSA_DB_CONNECTION_POOL_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "db/connection.h"

namespace norvessa {

// Connections with the same parameters, at most `max_size` of them. The
// first opens at once, so an unreachable server is reported at start; the
// others open when first needed.
class ConnectionPool {
 public:
  using Factory = std::function<std::unique_ptr<Connection>()>;

  ConnectionPool(
      Factory factory, int max_size,
      std::chrono::milliseconds wait_limit = std::chrono::seconds(30));
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Waits while every connection is in use; after the wait limit fails
  // with "No database connection available".
  std::unique_ptr<Connection> Acquire();
  // A broken connection, or one left inside a transaction, is closed; the
  // next Acquire opens a fresh one.
  void Release(std::unique_ptr<Connection> connection);

  // Closes the idle connections; from then on Acquire fails with
  // "Database connections closed".
  void Close();

  int open_count() const;
  int idle_count() const;

 private:
  Factory factory_;
  const int max_size_;
  const std::chrono::milliseconds wait_limit_;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::vector<std::unique_ptr<Connection>> idle_;
  int open_ = 0;
  bool closed_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_CONNECTION_POOL_H_
