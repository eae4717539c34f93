#ifndef NORVESSA_DB_ODBC_ODBC_CONNECTION_H_
#define NORVESSA_DB_ODBC_ODBC_CONNECTION_H_

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "db/connection.h"
#include "db/driver_error.h"

namespace norvessa {

class OdbcStatement;

struct OdbcOptions {
  // Which server sits behind the driver: SQL Server, or SQLite (the tests
  // run the ODBC code against Debian's SQLite ODBC driver).
  enum class Dialect { kSqlServer, kSqlite };

  std::string connection_string;
  Dialect dialect = Dialect::kSqlServer;
  // FreeTDS declares long text parameters in its own way.
  bool freetds = false;
  int login_timeout_seconds = 15;
  int query_timeout_seconds = 30;
  // The SELECT 1 that tells whether an idle connection still works.
  int check_timeout_seconds = 5;
};

// A connection through unixODBC. Named :Params become "?" markers (never
// inside literals or comments) and are bound by type: text as UTF-16 with
// one declared size, date-times with three fractional digits. Open reads
// the whole result, and every statement reads every result the server
// sends after it, so a connection never has two active statements and an
// error raised late in a batch (a trigger's) is never missed. On SQL Server
// every new connection runs SET DATEFORMAT mdy, NOCOUNT ON and XACT_ABORT
// ON, and the key of an inserted row comes from SCOPE_IDENTITY() in the same
// batch as the INSERT. A statement with parameters is prepared once per
// connection and text (SQLPrepare) and then only executed, so the server
// keeps one plan per statement whatever its values.
class OdbcConnection : public Connection {
 public:
  explicit OdbcConnection(OdbcOptions options);
  ~OdbcConnection() override;
  OdbcConnection(const OdbcConnection&) = delete;
  OdbcConnection& operator=(const OdbcConnection&) = delete;

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override;
  void Visit(std::string_view sql, const std::vector<Param>& params,
             RowVisitor& visitor) override;
  std::optional<std::int64_t> Execute(
      std::string_view sql, const std::vector<Param>& params) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params) override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override { return in_transaction_; }
  bool IsBroken() const override { return broken_; }
  // The driver's own verdict first, then SELECT 1 with a short timeout.
  bool IsAlive() override;

  // The driver's library as it names itself (SQLGetInfo SQL_DRIVER_NAME):
  // "libtdsodbc.so"; empty when it does not say.
  std::string DriverFile();

 private:
  struct Handles;

  void EndTransaction(bool commit);
  bool DriverSaysDead();
  // The driver's diagnostics of a failed call as DriverError; a connection the
  // driver calls dead, that lost its link, or that the caller knows `lost`,
  // is marked broken first.
  DriverError Diagnosed(short handle_type, void* handle, bool lost);
  [[noreturn]] void Fail(short handle_type, void* handle, bool lost = false);

  // Runs `run` on the statement prepared for `sql`, preparing it first
  // when this connection has not; a statement that fails is let go.
  template <typename Run>
  auto WithPrepared(std::string_view sql, Run&& run)
      -> decltype(run(std::declval<OdbcStatement&>()));

  OdbcOptions options_;
  std::unique_ptr<Handles> handles_;
  // Looked up by the text as given, without copying it.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  // Statements with parameters, prepared; closed before the connection.
  static constexpr std::size_t kPreparedStatements = 64;
  std::unordered_map<std::string, std::unique_ptr<OdbcStatement>, TextHash,
                     std::equal_to<>>
      prepared_;
  bool in_transaction_ = false;
  bool broken_ = false;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_ODBC_CONNECTION_H_
