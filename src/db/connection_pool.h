#ifndef NORVESSA_DB_CONNECTION_POOL_H_
#define NORVESSA_DB_CONNECTION_POOL_H_

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/connection.h"

namespace norvessa {

// Connections with the same parameters, at most `max_size` of them. The
// first opens at once, so an unreachable server is reported at start; the
// others open when first needed.
class ConnectionPool {
 public:
  using Factory = std::function<std::unique_ptr<Connection>()>;
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  struct Options {
    int max_size = 32;
    std::chrono::milliseconds wait_limit = std::chrono::seconds(30);
    // A connection idle for longer is checked before it is handed out: a
    // server restart or failover leaves every idle connection dead.
    std::chrono::milliseconds check_idle_after = std::chrono::seconds(30);
    // While the server cannot be reached, one connection attempt is made
    // per step (doubling up to `max_retry`) and the requests in between
    // fail at once instead of each waiting for the login timeout. Zero:
    // every request that needs a connection tries (the embedded database,
    // whose open fails at once anyway).
    std::chrono::milliseconds first_retry{0};
    std::chrono::milliseconds max_retry = std::chrono::seconds(30);
    // steady_clock::now when empty (tests move time themselves).
    Clock clock;
    // Where the start and the end of an outage are told; stderr when empty.
    std::function<void(const std::string&)> report;
  };

  ConnectionPool(
      Factory factory, int max_size,
      std::chrono::milliseconds wait_limit = std::chrono::seconds(30));
  ConnectionPool(Factory factory, Options options);
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Waits while every connection is in use; after the wait limit fails
  // with "No database connection available". During an outage, between
  // two attempts, fails at once with DatabaseUnavailable.
  std::unique_ptr<Connection> Acquire();
  // The same, waiting at most `wait_limit` for a connection.
  std::unique_ptr<Connection> Acquire(std::chrono::milliseconds wait_limit);
  // A broken connection, or one left inside a transaction, is closed; the
  // next Acquire opens a fresh one. So is one that is no longer valid
  // (Connection::InvalidReason), and with it every idle one.
  void Release(std::unique_ptr<Connection> connection);

  // How long a write that failed for want of storage keeps the database
  // "not ready" when no write is stored after it.
  static constexpr std::chrono::seconds kWriteFailureWindow{5};

  // Why the database should get no traffic now, as far as the pool knows;
  // empty when it should. While the connections of a replaced database
  // file are closing: that reason ("database file replaced"). While a
  // write failed with a StorageError in the last kWriteFailureWindow and
  // none has been stored since: "database: writes fail: <cause>".
  std::string NotReadyCause() const;
  // A write transaction was stored, or a write failed with StorageError.
  void NoteWriteStored();
  void NoteWriteFailed(const std::string& cause);
  // Whether a write was stored within the last `d`.
  bool WriteStoredWithin(std::chrono::steady_clock::duration d) const;

  // Closes the idle connections; from then on Acquire fails with
  // "Database connections closed".
  void Close();

  int open_count() const;
  int idle_count() const;
  // Acquires waiting for a connection to come back now.
  int waiting_count() const;
  // Connections closed because they were broken or found dead.
  int discarded_count() const;
  // Connections opened in place of one discarded.
  std::uint64_t reconnect_count() const;

  // A statement (or a transaction's begin, commit or rollback) failed with
  // this SQLSTATE; counted by its class, the first two characters.
  void CountStatementError(std::string_view sqlstate);
  // The classes seen ("08", "42"; "none" for errors without a SQLSTATE)
  // and their counts.
  std::vector<std::pair<std::string, std::uint64_t>> StatementErrors() const;

 private:
  struct Idle {
    std::unique_ptr<Connection> connection;
    std::chrono::steady_clock::time_point since;
  };

  std::chrono::steady_clock::time_point Now() const;
  void Report(const std::string& line) const;
  // Opens a connection in the slot the caller took; `lock` is held on
  // entry and on return.
  std::unique_ptr<Connection> OpenNew(std::unique_lock<std::mutex>& lock);
  void Discard(std::unique_ptr<Connection> connection);
  // `connection` is no longer valid for `reason`: it is closed, and so is
  // every idle one, which reaches the same database.
  void Invalidate(std::unique_ptr<Connection> connection,
                  const std::string& reason);

  Factory factory_;
  Options options_;
  mutable std::mutex mutex_;
  std::condition_variable available_;
  std::vector<Idle> idle_;
  int open_ = 0;
  int waiting_ = 0;
  int discarded_ = 0;
  // Discarded connections not yet replaced, and those replaced.
  int to_replace_ = 0;
  std::uint64_t reconnects_ = 0;
  bool closed_ = false;
  // Indexed by the two characters of a class, 0-9 and A-Z each; the last
  // slot holds errors without a SQLSTATE or with another one.
  static constexpr std::size_t kClassSlots = 36 * 36 + 1;
  std::array<std::atomic<std::uint64_t>, kClassSlots> statement_errors_{};

  // Set when a connection was found invalid; cleared when one opens.
  std::string invalid_reason_;
  // The last write stored, the last failed for want of storage and why.
  std::chrono::steady_clock::time_point write_stored_at_{};
  std::chrono::steady_clock::time_point write_failed_at_{};
  bool write_stored_ = false;
  bool write_failed_ = false;
  std::string write_failure_;

  // The outage: since when, the next attempt, the step and the last cause.
  bool outage_ = false;
  bool attempting_ = false;
  std::chrono::steady_clock::time_point outage_since_;
  std::chrono::steady_clock::time_point next_attempt_;
  std::chrono::milliseconds retry_step_{0};
  std::string outage_cause_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_CONNECTION_POOL_H_
