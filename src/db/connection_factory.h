#ifndef NORVESSA_DB_CONNECTION_FACTORY_H_
#define NORVESSA_DB_CONNECTION_FACTORY_H_

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
};

// Opens connections with these settings; fails with DbError on an unknown
// driver name.
ConnectionPool::Factory MakeConnectionFactory(const ConnectionSettings& s);

}  // namespace norvessa

#endif  // NORVESSA_DB_CONNECTION_FACTORY_H_
