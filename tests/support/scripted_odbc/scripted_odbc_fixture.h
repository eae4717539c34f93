#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_FIXTURE_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_FIXTURE_H_

// Puts the scripted ODBC driver in unixODBC's reach. While the program
// starts, this library writes an odbcinst.ini of its own registering the
// driver as "FreeTDS", "ODBC Driver 18 for SQL Server", "TDS" and "SQL
// Server", and points ODBCSYSINI at it. unixODBC reads that setting once, at
// the process's first ODBC call, and the real drivers' names are taken over
// (the system's other drivers, Debian's SQLite3 among them, stay): the tests
// that use it therefore live in executables of their own, where no test
// reaches FreeTDS or Microsoft's driver.

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "support/scripted_odbc/scripted_odbc.h"

namespace norvessa::testing {

inline constexpr std::string_view kFreeTdsDriver = "FreeTDS";
inline constexpr std::string_view kMicrosoftDriver =
    "ODBC Driver 18 for SQL Server";
// Names other installations give one driver or the other.
inline constexpr std::string_view kTdsDriver = "TDS";
inline constexpr std::string_view kSqlServerDriver = "SQL Server";

// The driver library's own path: unixODBC also takes DRIVER={/path/lib.so}.
std::string ScriptedDriverPath();

// The server behind the driver, the very instance unixODBC loads: the
// fixture opens the same library file, which also keeps it loaded when
// unixODBC lets go of it after the last disconnect.
ScriptedServer& ScriptedOdbc();

// DRIVER={driver};SERVER=...;DATABASE=...;UID=...;PWD=...;
std::string ScriptedConnectionString(std::string_view driver = kFreeTdsDriver);

// The recorded calls to any of `functions`, in order.
std::vector<Call> CallsTo(ScriptedServer& server,
                          std::initializer_list<std::string_view> functions);

// Base of the scripted tests: a freshly reset server for each.
class ScriptedOdbcTest : public ::testing::Test {
 protected:
  void SetUp() override { server().Reset(); }
  ScriptedServer& server() { return ScriptedOdbc(); }
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_FIXTURE_H_
