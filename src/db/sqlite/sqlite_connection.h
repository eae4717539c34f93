#ifndef NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
#define NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvessa {

// The embedded database: an EXISTING SQLite file, opened read-write (a
// missing file or one that is not a database fails), in WAL mode with a
// busy timeout. The T-SQL the service writes is translated before it runs;
// LIKE ignores case and accents and the collation Latin1_General_CI_AI is
// known.
class SqliteConnection : public Connection {
 public:
  // Connections to one file that share `writers` take turns for their
  // write transactions in the order they arrive, instead of polling the
  // file's lock (which under load leaves some waiting for a second).
  explicit SqliteConnection(
      const std::string& path,
      std::shared_ptr<std::timed_mutex> writers = nullptr);
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

 private:
  // A prepared statement kept for reuse, and when it was last used.
  struct Cached {
    sqlite3_stmt* statement = nullptr;
    std::uint64_t last_use = 0;
  };

  [[noreturn]] void Fail(int code);
  void Run(const char* sql);
  // The statement for this T-SQL text, prepared once per connection and
  // reused, with the parameters bound; `rc` tells whether all went well
  // (nullptr when it could not be prepared).
  sqlite3_stmt* Prepare(std::string_view tsql, const std::vector<Param>& params,
                        int& rc);

  static constexpr std::size_t kCachedStatements = 64;

  sqlite3* db_ = nullptr;
  bool broken_ = false;
  std::unordered_map<std::string, Cached> statements_;
  std::shared_ptr<std::timed_mutex> writers_;
  std::unique_lock<std::timed_mutex> writing_;
  std::uint64_t uses_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
