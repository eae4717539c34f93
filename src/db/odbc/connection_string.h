#ifndef NORVESSA_DB_ODBC_CONNECTION_STRING_H_
#define NORVESSA_DB_ODBC_CONNECTION_STRING_H_

#include <string>

namespace norvessa {

// DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD=... for SQL Server, and
// the service's own settings: for FreeTDS the UTF-8 client character set,
// TDS 7.4 (older versions send date, time and datetime2 as text), the
// application name and a 30 s query timeout (FreeTDS bounds nothing after
// the login otherwise); for Microsoft's driver a trusted server
// certificate and the application name. `host` may be "host",
// "host\INSTANCE" or "host,port"; empty values are left out. `extra` holds
// "key=value;" pairs: a key the service sets already (compared without
// regard to case) takes the new value in its place, others are appended —
// drivers disagree on which of two repeated keys wins. Throws DriverError on a
// pair without "=".
std::string SqlServerConnectionString(const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password,
                                      const std::string& extra = {});

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_CONNECTION_STRING_H_
