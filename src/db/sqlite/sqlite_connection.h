#ifndef NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
#define NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/sqlite/writer_turn.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvessa {

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
