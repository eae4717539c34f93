#include "db/connection_factory.h"

#include <memory>

#include "db/driver_error.h"
#include "db/odbc/connection_string.h"
#include "db/odbc/odbc_connection.h"
#include "db/sqlite/sqlite_connection.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

bool IsSqlite(const ConnectionSettings& s) {
  return EqualsIgnoreCase(s.driver, "SQLite");
}

}  // namespace

ConnectionPool::Factory MakeConnectionFactory(const ConnectionSettings& s,
                                              int pool_size) {
  if (IsSqlite(s)) {
    // The pool's connections take turns for their write transactions; no
    // more than half of them wait while the turn is stuck.
    auto turn = std::make_shared<WriterTurn>(pool_size);
    // Never two files open at once under the one path (a backup restored
    // by renaming over it).
    auto file = std::make_shared<SqliteFileGuard>();
    return [path = s.database, turn, file]() -> std::unique_ptr<Connection> {
      return std::make_unique<SqliteConnection>(path, turn, file);
    };
  }
  if (s.driver.empty() || EqualsIgnoreCase(s.driver, "MSSQL9")) {
    OdbcOptions options;
    options.connection_string =
        SqlServerConnectionString(s.odbc_driver, s.hostname, s.database, s.user,
                                  s.password, s.odbc_extra);
    options.freetds = s.odbc_driver.empty() ||
                      s.odbc_driver.find("FreeTDS") != std::string::npos;
    return [options]() -> std::unique_ptr<Connection> {
      return std::make_unique<OdbcConnection>(options);
    };
  }
  throw DriverError("Unknown database driver '" + s.driver + "'");
}

std::unique_ptr<ConnectionPool> OpenConnectionPool(const ConnectionSettings& s,
                                                   int max_size) {
  ConnectionPool::Options options;
  options.max_size = max_size;
  if (!IsSqlite(s)) {
    options.first_retry = std::chrono::milliseconds(500);
    options.max_retry = std::chrono::seconds(30);
  }
  return std::make_unique<ConnectionPool>(MakeConnectionFactory(s, max_size),
                                          options);
}

}  // namespace norvessa
