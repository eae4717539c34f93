#ifndef NORVESSA_DB_ODBC_ODBC_CONNECTION_H_
#define NORVESSA_DB_ODBC_ODBC_CONNECTION_H_

#include <memory>
#include <string>

#include "db/connection.h"

namespace norvessa {

struct OdbcOptions {
  // Which server sits behind the driver: SQL Server, or SQLite (the tests
  // run the ODBC code against Debian's SQLite ODBC driver).
  enum class Dialect { kSqlServer, kSqlite };

  std::string connection_string;
  Dialect dialect = Dialect::kSqlServer;
  int login_timeout_seconds = 15;
  int query_timeout_seconds = 30;
};

// A connection through unixODBC. Named :Params become "?" markers (never
// inside literals or comments) and are bound by type, date-times with
// three fractional digits. Open reads the whole result before it returns,
// so a connection never has two active statements. On SQL Server every new
// connection runs SET DATEFORMAT mdy, and the key of an inserted row comes
// from SCOPE_IDENTITY() in the same batch as the INSERT.
class OdbcConnection : public Connection {
 public:
  explicit OdbcConnection(OdbcOptions options);
  ~OdbcConnection() override;
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override;
  std::int64_t Execute(std::string_view sql,
                       const std::vector<Param>& params) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params) override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override { return in_transaction_; }
  bool IsBroken() const override { return broken_; }

 private:
  struct Handles;
  class Statement;

  void EndTransaction(bool commit);

  OdbcOptions options_;
  std::unique_ptr<Handles> handles_;
  bool in_transaction_ = false;
  bool broken_ = false;
};

// DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD=... for SQL Server.
// `host` may be "host", "host\INSTANCE" or "host,port"; empty values are
// left out; FreeTDS also gets the UTF-8 client character set.
std::string SqlServerConnectionString(const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password);

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_ODBC_CONNECTION_H_
