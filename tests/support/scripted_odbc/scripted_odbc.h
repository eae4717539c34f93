#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_

// The scripted ODBC driver: a shared library that unixODBC loads like any
// other driver, so the service's own ODBC code runs unchanged against
// answers a test scripts, and every call it makes is recorded. Tests reach
// the driver's single, process-wide server through ScriptedOdbcServer(),
// which the library exports; everything crosses that boundary as virtual
// calls, so the test binary and the driver share one instance.
//
// Personalities follow the DRIVER={...} of the connection string: a name
// holding "FreeTDS" behaves like FreeTDS with ClientCharset=UTF-8, any other
// like Microsoft's driver (narrow text in the C library's current LC_CTYPE).
//
// A program in another process (the service itself, started by a test) is
// seen through a file: with SCRIPTED_ODBC_TRACE set in its environment,
// every statement the driver receives is appended to that file as one line
// of UTF-8 (its line breaks written "\n"). With SCRIPTED_ODBC_CONNECT_HANGS
// set as well, SQLDriverConnect appends "SQLDriverConnect hangs" and never
// returns: a server that accepts and never answers, behind a driver that
// ignores its login timeout.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace norvessa::testing {

// A value as the server renders it as text (UTF-8), or NULL.
using ScriptValue = std::optional<std::string>;

// What SQLDescribeCol reports for a column: SQL_INTEGER, SQL_WVARCHAR, -155
// for datetimeoffset...
struct ScriptColumn {
  std::string name;
  int sql_type = 0;
  unsigned long size = 0;
  int digits = 0;
};

// One result of a statement, in the order a server sends them.
struct ScriptResult {
  enum class Kind { kRows, kCount, kError };
  Kind kind = Kind::kCount;
  // kRows
  std::vector<ScriptColumn> columns;
  std::vector<std::vector<ScriptValue>> rows;
  // kCount: what SQLRowCount gives
  long long count = 0;
  // kError
  std::string sqlstate;
  std::string message;
  bool kills_connection = false;  // the connection is dead from then on
};

inline ScriptResult Rows(std::vector<ScriptColumn> columns,
                         std::vector<std::vector<ScriptValue>> rows) {
  ScriptResult r;
  r.kind = ScriptResult::Kind::kRows;
  r.columns = std::move(columns);
  r.rows = std::move(rows);
  return r;
}

inline ScriptResult Count(long long count) {
  ScriptResult r;
  r.kind = ScriptResult::Kind::kCount;
  r.count = count;
  return r;
}

inline ScriptResult Error(std::string sqlstate, std::string message,
                          bool kills_connection = false) {
  ScriptResult r;
  r.kind = ScriptResult::Kind::kError;
  r.sqlstate = std::move(sqlstate);
  r.message = std::move(message);
  r.kills_connection = kills_connection;
  return r;
}

struct ScriptAnswer {
  // Answers statements whose text contains this, ignoring ASCII case; ""
  // answers any statement.
  std::string match;
  // The first is what SQLExecDirect returns (an error there fails it), the
  // rest come from SQLMoreResults. A statement whose only result is a count
  // of 0 makes SQLExecDirect return SQL_NO_DATA, as ODBC 3 drivers do.
  std::vector<ScriptResult> results;
  // How many statements it answers before it is spent; -1 for any number.
  int times = -1;
};

// A parameter as it was at execute time.
struct BoundParam {
  int number = 0;
  int c_type = 0;
  int sql_type = 0;
  unsigned long column_size = 0;
  int decimal_digits = 0;
  long long buffer_length = 0;
  long long indicator = 0;  // *StrLen_or_IndPtr; SQL_NTS when none was bound
  std::string bytes;        // the raw bytes of the bound value
  ScriptValue value;        // what the server stores, UTF-8; nullopt for NULL
};

struct Call {
  // Serial of the connection, 1, 2, ... in the order connections were made.
  // Calls on a connection handle before SQLDriverConnect succeeds on it (the
  // attributes unixODBC replays, say) carry the serial it then gets, or 0
  // if it never connects; calls on no connection carry 0.
  int connection = 0;
  std::string function;  // "SQLExecDirect", "SQLEndTran", ...
  // SQLExecDirect: the statement as the server received it, in UTF-8;
  // SQLDriverConnect: the connection string.
  std::string text;
  // Attribute calls: the attribute and its integer value (for the Get calls
  // the value answered, as for SQLRowCount and SQLNumResultCols).
  // SQLEndTran: the handle type, and the completion type in `value`.
  // SQLFreeStmt: the option in `value`. SQLBindParameter, SQLGetData,
  // SQLDescribeCol: the parameter or column number, and the C type in
  // `value`. SQLAllocHandle, SQLFreeHandle: the handle type. SQLGetInfo,
  // SQLGetFunctions: the info type or function id. SQLGetDiagRec,
  // SQLGetDiagField: the record, and the field in `value`.
  long attribute = 0;
  long long value = 0;
  std::vector<BoundParam> params;  // SQLExecDirect
  int rc = 0;                      // what the driver returned
};

class ScriptedServer {
 public:
  // Forgets answers, calls, failures and settings: the server is reachable
  // again and connection serials restart at 1 (connections still open keep
  // theirs).
  virtual void Reset() = 0;
  // The first matching answer that is not spent wins, in the order added.
  virtual void Answer(ScriptAnswer answer) = 0;
  // While false, SQLDriverConnect fails with 08001.
  virtual void SetReachable(bool reachable) = 0;
  // Cuts every connection open now: its next call that talks to the server
  // (SQLExecDirect, SQLEndTran, SQLSetConnectAttr of SQL_ATTR_AUTOCOMMIT)
  // fails with 08S01 and the connection is dead from then on.
  virtual void Restart() = 0;
  // false (the default): SQL_ATTR_CONNECTION_DEAD says SQL_CD_TRUE only
  // once a call has found the cut, as FreeTDS learns it at its next read;
  // true: at once.
  virtual void SetDeadKnownAtOnce(bool at_once) = 0;
  // The next call of `function` (SQLDriverConnect, SQLDisconnect,
  // SQLExecDirect, SQLEndTran, or SQLSetConnectAttr on a connected handle)
  // fails with this diagnostic. Several queue up in order.
  virtual void FailNext(std::string function, std::string sqlstate,
                        std::string message, bool kills_connection) = 0;
  // SQLGetData to SQL_C_CHAR returns at most n bytes per call, fewer than
  // the buffer would hold, cutting wherever n falls (also inside a UTF-8
  // character); 0, the default, fills the buffer as ODBC says.
  virtual void SetPieceBytes(std::size_t n) = 0;

  virtual std::vector<Call> Calls() = 0;
  virtual int ConnectAttempts() = 0;
  virtual int OpenConnections() = 0;

 protected:
  ~ScriptedServer() = default;
};

}  // namespace norvessa::testing

// Exported by libscripted_odbc.so.
extern "C" norvessa::testing::ScriptedServer* ScriptedOdbcServer();

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_
