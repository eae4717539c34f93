#ifndef NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
#define NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_

#include <string>

#include "db/connection.h"

struct sqlite3;

namespace norvessa {

// The embedded database: an EXISTING SQLite file, opened read-write (a
// missing file or one that is not a database fails), in WAL mode with a
// busy timeout. The T-SQL the service writes is translated before it runs;
// LIKE ignores case and accents and the collation Latin1_General_CI_AI is
// known.
class SqliteConnection : public Connection {
 public:
  explicit SqliteConnection(const std::string& path);
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
  [[noreturn]] void Fail(int code);
  void Run(const char* sql);

  sqlite3* db_ = nullptr;
  bool broken_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
