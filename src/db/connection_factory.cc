#include "db/connection_factory.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "db/driver_error.h"
#include "db/odbc/connection_string.h"
#include "db/odbc/odbc_connection.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/stderr_line.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

bool IsSqlite(const ConnectionSettings& s) {
  return EqualsIgnoreCase(s.driver, "SQLite");
}

OdbcOptions OdbcOptionsFor(const ConnectionSettings& s,
                           SqlServerDriverKind kind) {
  OdbcOptions options;
  options.connection_string =
      SqlServerConnectionString(kind, s.odbc_driver, s.hostname, s.database,
                                s.user, s.password, s.odbc_extra);
  options.freetds = kind == SqlServerDriverKind::kFreeTds;
  return options;
}

}  // namespace

int DefaultConcurrentReads() {
  return static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
}

ConnectionPool::Factory MakeConnectionFactory(const ConnectionSettings& s,
                                              int pool_size) {
  if (IsSqlite(s)) {
    // The pool's connections take turns for their write transactions; no
    // more than half of them wait while the turn is stuck.
    auto turn = std::make_shared<WriterTurn>(pool_size);
    // Never two files open at once under the one path (a backup restored
    // by renaming over it).
    auto file = std::make_shared<SqliteFileGuard>();
    auto reads = std::make_shared<ReadQueue>(
        s.concurrent_reads > 0 ? s.concurrent_reads : DefaultConcurrentReads());
    return [path = s.database, turn, file,
            reads]() -> std::unique_ptr<Connection> {
      return std::make_unique<SqliteConnection>(path, turn, file, reads);
    };
  }
  if (s.driver.empty() || EqualsIgnoreCase(s.driver, "MSSQL9")) {
    // Which driver serves the connections: first what its name suggests,
    // then what the first connection's driver says it is.
    struct Identity {
      std::mutex mutex;
      SqlServerDriverKind kind;
    };
    auto identity = std::make_shared<Identity>();
    identity->kind = DriverKindFromName(s.odbc_driver);
    return [s, identity]() -> std::unique_ptr<Connection> {
      SqlServerDriverKind assumed;
      {
        std::lock_guard lock(identity->mutex);
        assumed = identity->kind;
      }
      auto connection =
          std::make_unique<OdbcConnection>(OdbcOptionsFor(s, assumed));
      const std::string file = connection->DriverFile();
      const std::optional<SqlServerDriverKind> found = DriverKindFromFile(file);
      if (!found || *found == assumed) return connection;
      {
        std::lock_guard lock(identity->mutex);
        if (identity->kind == assumed) {
          identity->kind = *found;
          WriteStderrLine(std::string("ODBC driver '") +
                          (s.odbc_driver.empty() ? "FreeTDS" : s.odbc_driver) +
                          "' is " + DriverKindName(*found) + " (" + file +
                          "), not " + DriverKindName(assumed) +
                          " as its name suggests: connecting again with " +
                          DriverKindName(*found) + "'s settings");
        }
      }
      connection.reset();
      return std::make_unique<OdbcConnection>(OdbcOptionsFor(s, *found));
    };
  }
  throw DriverError("Unknown database driver '" + s.driver + "'");
}

std::unique_ptr<ConnectionPool> OpenConnectionPool(const ConnectionSettings& s,
                                                   int max_size) {
  ConnectionPool::Options options;
  options.max_size = max_size;
  if (!IsSqlite(s)) {
    // Back within a second of the server's return; a connect that has
    // not answered in 2 s is not waited for by requests.
    options.first_retry = std::chrono::milliseconds(500);
    options.max_retry = std::chrono::seconds(1);
    options.connect_wait = std::chrono::seconds(2);
    options.max_connects = 4;
  }
  return std::make_unique<ConnectionPool>(MakeConnectionFactory(s, max_size),
                                          options);
}

}  // namespace norvessa
