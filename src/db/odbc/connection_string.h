#ifndef NORVESSA_DB_ODBC_CONNECTION_STRING_H_
#define NORVESSA_DB_ODBC_CONNECTION_STRING_H_

#include <optional>
#include <string>
#include <string_view>

namespace norvessa {

// The ODBC drivers for SQL Server the service knows how to set up.
enum class SqlServerDriverKind { kFreeTds, kMicrosoft };

// What the configured driver name suggests: FreeTDS when it names FreeTDS
// or its library ("FreeTDS", "freetds", "/usr/lib/.../libtdsodbc.so"), in
// any case; otherwise Microsoft's driver.
SqlServerDriverKind DriverKindFromName(std::string_view odbc_driver);

// What the driver says it is, from SQLGetInfo(SQL_DRIVER_NAME), its
// library's file name: "libtdsodbc.so" is FreeTDS, "libmsodbcsql-18..."
// Microsoft's; nothing for any other.
std::optional<SqlServerDriverKind> DriverKindFromFile(std::string_view file);

// "FreeTDS" or "Microsoft's ODBC driver".
const char* DriverKindName(SqlServerDriverKind kind);

// DRIVER={...};SERVER=...;DATABASE=...;UID=...;PWD=... for SQL Server, and
// the service's own settings: for FreeTDS the UTF-8 client character set,
// TDS 7.4 (older versions send date, time and datetime2 as text), the
// application name, a 30 s query timeout (FreeTDS bounds nothing after
// the login otherwise) and an encrypted link (Encryption=require; the
// certificate is not checked unless a CA file is given); for Microsoft's
// driver an encrypted link with a trusted server certificate and the
// application name. `kind` chooses the settings; without it, the name
// does (DriverKindFromName). `host` may be "host",
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
std::string SqlServerConnectionString(SqlServerDriverKind kind,
                                      const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password,
                                      const std::string& extra = {});

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_CONNECTION_STRING_H_
