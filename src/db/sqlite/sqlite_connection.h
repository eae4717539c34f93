#ifndef NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
#define NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvessa {

// The turn for write transactions that the connections of one pool share:
// writers take it one after the other, in the order they ask, instead of
// polling the file's lock (which under load leaves some waiting for a
// second). A writer waits for the turn up to a limit. But while the turn
// has not changed hands for a second (an outside process holds the file's
// write lock) at most half of the pool waits, and the writers beyond that
// half fail at once: waiting writers never hold every request the server
// takes at a time, and reads, which WAL lets through, are still served.
// Healthy bursts pass the turn on within milliseconds and never fail.
class WriterTurn {
 public:
  static constexpr std::chrono::milliseconds kStuckAfter{1000};

  // `pool_size`: the connections that share the turn; 0 sets no bound on
  // the writers that wait. `stuck_after`: how long the turn may stay with
  // one writer before those waiting beyond half of the pool give up.
  explicit WriterTurn(int pool_size = 0,
                      std::chrono::milliseconds stuck_after = kStuckAfter);
  WriterTurn(const WriterTurn&) = delete;
  WriterTurn& operator=(const WriterTurn&) = delete;

  // Waits for the turn, at most `limit`; fails with DriverError when the limit
  // passes or the turn is stuck with half of the pool waiting already.
  void Take(std::chrono::milliseconds limit);
  void Pass();

  // The writers waiting for the turn now.
  int waiting() const;

 private:
  const std::chrono::milliseconds stuck_after_;
  mutable std::mutex mutex_;
  // One wake-up per waiting writer, in the order they asked.
  std::list<std::condition_variable> queue_;
  bool taken_ = false;
  std::chrono::steady_clock::time_point taken_at_;
  int most_waiting_;
};

// The embedded database: an EXISTING SQLite file, opened read-write (a
// missing file, one that is not a database or one this process may not
// write fails), in WAL mode with a busy timeout and foreign keys enforced.
// A connection that finds the file unwritable, unreadable, moved or
// damaged later is broken, and its pool opens a fresh one. The T-SQL the
// service writes is translated before it runs; LIKE ignores case and accents
// and the collation Latin1_General_CI_AI is known. A float parameter that is
// not finite is refused, as SQL Server refuses it.
class SqliteConnection : public Connection {
 public:
  // Connections to one file that share `turn` take turns for their write
  // transactions.
  explicit SqliteConnection(const std::string& path,
                            std::shared_ptr<WriterTurn> turn = nullptr);
  ~SqliteConnection() override;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override;
  std::int64_t Execute(std::string_view sql,
                       const std::vector<Param>& params) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params) override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  bool IsBroken() const override { return broken_; }

  // Finalizes a statement.
  struct StatementDeleter {
    void operator()(sqlite3_stmt* s) const;
  };

 private:
  // A prepared statement kept for reuse, and when it was last used.
  struct Cached {
    std::unique_ptr<sqlite3_stmt, StatementDeleter> statement;
    std::uint64_t last_use = 0;
  };

  [[noreturn]] void Fail(int code);
  void Run(const char* sql);
  void PassTurn();
  // The statement for this T-SQL text, prepared once per connection and
  // reused, with the parameters bound; `rc` tells whether all went well
  // (nullptr when it could not be prepared).
  sqlite3_stmt* Prepare(std::string_view tsql, const std::vector<Param>& params,
                        int& rc);

  static constexpr std::size_t kCachedStatements = 64;

  sqlite3* db_ = nullptr;
  bool broken_ = false;
  std::unordered_map<std::string, Cached> statements_;
  std::shared_ptr<WriterTurn> turn_;
  bool has_turn_ = false;
  // When the current wait for another process's lock began.
  std::chrono::steady_clock::time_point busy_since_;
  std::uint64_t uses_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
