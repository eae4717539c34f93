#ifndef NORVESSA_DB_CONNECTION_FACTORY_H_
#define NORVESSA_DB_CONNECTION_FACTORY_H_

#include <memory>
#include <string>

#include "db/connection_pool.h"

namespace norvessa {

// What the connection settings file says about the database.
struct ConnectionSettings {
  // "MSSQL9" (or empty): SQL Server through ODBC; "SQLite": the embedded
  // database, `database` being the path of an existing file.
  std::string driver;
  std::string hostname;
  std::string database;
  std::string user;
  std::string password;
  // The ODBC driver for SQL Server; "FreeTDS" when empty.
  std::string odbc_driver;
  // "key=value;" pairs for the ODBC connection string, over the service's
  // own.
  std::string odbc_extra;
  // The embedded database: how many long reads run at once, the others
  // waiting in line (ReadQueue); 0 for as many as the machine has cores.
  int concurrent_reads = 0;
};

// The long reads of the embedded database that run at once unless the
// settings say otherwise: the machine's cores.
int DefaultConcurrentReads();

// Opens connections with these settings, for a pool of `pool_size`; fails
// with DriverError on an unknown driver name or a malformed ODBCEXTRA.
ConnectionPool::Factory MakeConnectionFactory(
    const ConnectionSettings& s,
    int pool_size = ConnectionPool::Options{}.max_size);

// A pool of up to `max_size` connections with these settings, its first
// connection open. SQL Server connects back off while the server is away;
// the embedded database simply tries again on the next request.
std::unique_ptr<ConnectionPool> OpenConnectionPool(const ConnectionSettings& s,
                                                   int max_size);

}  // namespace norvessa

#endif  // NORVESSA_DB_CONNECTION_FACTORY_H_
