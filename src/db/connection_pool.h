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
    // server restart or failover leaves every idle connection dead. So is
    // every connection that went idle before a link was found lost (a
    // broken connection came back); and once one check fails, every
    // connection idle since before it began is closed unchecked.
    std::chrono::milliseconds check_idle_after = std::chrono::seconds(30);
    // While the server cannot be reached, one connection attempt is made
    // per step (doubling up to `max_retry`) and the requests in between
    // fail at once instead of each waiting for the login timeout. Zero:
    // every request that needs a connection tries (the embedded database,
    // whose open fails at once anyway).
    std::chrono::milliseconds first_retry{0};
    std::chrono::milliseconds max_retry = std::chrono::seconds(1);
    // Non-zero: connections open on a thread of their own, at most
    // `max_connects` at once (one during an outage), and a request waits
    // at most this long for the connect it started or for one under way;
    // then it fails as in an outage. A connect without an answer by then
    // starts the outage and is left to end on its own; while it runs, no
    // other starts during the outage. (A request whose own wait limit ends
    // first leaves its connect too, which then serves the pool.) Zero: the
    // requesting thread opens the connection, for as long as that takes
    // (the embedded database).
    std::chrono::milliseconds connect_wait{0};
    int max_connects = 4;
    // steady_clock::now when empty (tests move time themselves).
    Clock clock;
    // Where the start and the end of an outage are told; stderr when empty.
    std::function<void(const std::string&)> report;
  };

  ConnectionPool(
      Factory factory, int max_size,
      std::chrono::milliseconds wait_limit = std::chrono::seconds(30));
  ConnectionPool(Factory factory, Options options);
  // Connects still running are left to end on their own.
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // Waits while every connection is in use; after the wait limit fails
  // with "No database connection available", as it does when the checks of
  // idle connections take longer. During an outage, between two attempts,
  // fails at once with DatabaseUnavailable.
  std::unique_ptr<Connection> Acquire();
  // The same, waiting at most `wait_limit` for a connection.
  std::unique_ptr<Connection> Acquire(std::chrono::milliseconds wait_limit);
  // A broken connection, or one left inside a transaction, is closed; the
  // next Acquire opens a fresh one. A broken one also makes every idle
  // connection suspect: each is checked before it is handed out. One that
  // is no longer valid (Connection::InvalidReason) is closed, and with it
  // every idle one.
  void Release(std::unique_ptr<Connection> connection);

  // During an outage, makes the next connection attempt now, or joins the
  // one under way, waiting at most `limit`: empty when the database
  // answered (the outage is over and the connection stays in the pool),
  // else the cause. Outside an outage: empty at once.
  std::string AttemptNow(std::chrono::milliseconds limit);

  // Connect threads still in a driver whose requester stopped waiting;
  // such a thread may outlive its pool, so the process leaves without
  // running static destructors beneath it.
  static int ConnectsLeftRunning();

  // How long a write that failed for want of storage keeps the database
  // "not ready" when no write is stored after it.
  static constexpr std::chrono::seconds kWriteFailureWindow{5};

  // Why the database should get no traffic now, as far as the pool knows;
  // empty when it should. During an outage: "database unreachable: <the
  // last attempt's cause>". While the connections of a replaced database
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
    // Order of return: those returned before a lost link was seen are
    // suspect.
    std::uint64_t returned = 0;
  };
  struct Attempt;
  struct Landing;
  // Lines for stderr, written once the pool's mutex is released.
  using Reports = std::vector<std::string>;
  // Reports written when it ends; declared before the lock it outlives.
  struct ReportsAfter : Reports {
    explicit ReportsAfter(const ConnectionPool& pool) : pool(pool) {}
    ~ReportsAfter() { pool.Report(*this); }
    const ConnectionPool& pool;
  };

  std::chrono::steady_clock::time_point Now() const;
  void Report(const Reports& lines) const;
  // Opens a connection, counted in `open_`, or returns null when the
  // caller should look at the pool again (a connect under way ended);
  // `lock` is held on entry and on return. Fails as Acquire does.
  std::unique_ptr<Connection> OpenNew(
      std::unique_lock<std::mutex>& lock,
      std::chrono::steady_clock::time_point deadline, Reports& reports);
  // The connect ended: `connection`, or `cause` (and the reason of a
  // DatabaseReplaced); `lock` held.
  std::unique_ptr<Connection> Opened(std::unique_ptr<Connection> connection,
                                     const std::string& cause,
                                     const std::string& replaced,
                                     Reports& reports);
  // A connect thread's result, for the pool.
  void Land(const std::shared_ptr<Attempt>& attempt,
            std::unique_ptr<Connection> connection, std::string cause,
            std::string replaced);
  void StartOrExtendOutage(const std::string& cause, Reports& reports);
  // Closes every idle connection returned before `returned`; `lock` held;
  // the connections are closed by the caller, outside it.
  std::vector<Idle> TakeIdleReturnedBefore(std::uint64_t returned);
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
  // Returns so far, and the count when a lost link was last seen: idle
  // connections returned before it are checked before use.
  std::uint64_t returns_ = 0;
  std::uint64_t suspect_before_ = 0;
  // Connects running now, and those whose requester left.
  int connecting_ = 0;
  int abandoned_ = 0;
  std::shared_ptr<Landing> landing_;
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
