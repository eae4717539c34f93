#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_

// The scripted ODBC driver: a shared library that unixODBC loads like any
// other driver, so the service's own ODBC code runs unchanged against
// answers a test scripts, and every call it makes is recorded. Tests reach
// the driver's single, process-wide server through ScriptedOdbcServer(),
// which the library exports; everything crosses that boundary as virtual
// calls, so the test binary and the driver share one instance.
//
// Personalities: by default they follow the DRIVER={...} of the connection
// string: a name holding "FreeTDS" (in any case, as unixODBC finds the
// driver's section) behaves like FreeTDS with
// ClientCharset=UTF-8, any other like Microsoft's driver (narrow text in the
// C library's current LC_CTYPE); SetPersonality overrides the rule. The
// personality also gives the messages' prefixes ("[FreeTDS][SQL Server]...",
// "[Microsoft][ODBC Driver 18 for SQL Server]...") and what SQLGetInfo says
// of the driver. A scripted message that starts with '[' is sent as it is.
//
// As SQL Server does, each connection keeps SET NOCOUNT: a statement whose
// text holds "SET NOCOUNT ON" (any case) turns it on for the connection,
// "SET NOCOUNT OFF" off again, and every connection starts with it off.
// While it is on, count results are never sent (they drop out of the
// statement's results) and SQLRowCount answers -1.
//
// Time: a call that waits (Hang(), a half-open link, a connect during an
// outage) gives up the server's mutex while it waits, so other threads and
// connections go on; Blocked() counts those waiting.
//
// Prepared statements: SQLPrepare only keeps the text, as both drivers put
// the prepare off to the first execute; nothing reaches the server, and a
// text the server refuses fails at SQLExecute. SQLExecute sends it with the
// parameters bound at that moment and meets answers, NOCOUNT, Hang(), cut
// and half-open links, the control file and the backend as SQLExecDirect
// does. SQLFreeStmt(SQL_CLOSE) closes the cursor and keeps the text, the
// parameters and the columns bound; SQL_RESET_PARAMS and SQL_UNBIND forget
// those. SQLPrepare again replaces the text, SQLExecDirect drops it.
// SQLNumParams counts the markers; there is no SQLDescribeParam (unixODBC
// calls neither of them by itself).
//
// Rowsets: SQLFetch fills the columns bound with SQLBindCol (SQL_C_CHAR,
// SQL_C_WCHAR, SQL_C_BINARY, SQL_C_SBIGINT, SQL_C_LONG, SQL_C_SLONG,
// SQL_C_DOUBLE, SQL_C_BIT, SQL_C_TYPE_TIMESTAMP) with SQL_ATTR_ROW_ARRAY_SIZE
// rows at a time, column-wise or row-wise (SQL_ATTR_ROW_BIND_TYPE, and
// SQL_ATTR_ROW_BIND_OFFSET_PTR), and sets SQL_ATTR_ROWS_FETCHED_PTR (0 with
// SQL_NO_DATA) and SQL_ATTR_ROW_STATUS_PTR. NULL gives SQL_NULL_DATA; text
// cut to its buffer keeps its whole length in the indicator, with 01004 and
// SQL_ROW_SUCCESS_WITH_INFO; a value that does not convert makes its row
// SQL_ROW_ERROR, and the fetch fails only when all its rows did.
// SQLGetInfo(SQL_GETDATA_EXTENSIONS) answers
//   FreeTDS: SQL_GD_BLOCK alone, what libtdsodbc 1.3.17 itself answers;
//     its SQLGetData takes any column in any order all the same, bound or
//     not, as FreeTDS's does.
//   Microsoft's: SQL_GD_ANY_COLUMN | SQL_GD_ANY_ORDER | SQL_GD_BOUND, no
//     SQL_GD_BLOCK (chosen, not read from the driver).
// SQLGetData in a rowset of more than one row works only with SQL_GD_BLOCK,
// and fails with HYC00 without it. It reads the current row: the rowset's
// first after SQLFetch, or the one SQLSetPos(n, SQL_POSITION) chose (the
// only operation; HY107 beyond the rowset). FreeTDS itself, by its source,
// reads the rowset's last row there on a default cursor: code meant for both
// drivers keeps SQLGetData to rowsets of one row.
//
// SELECT ... CONNECTIONPROPERTY('encrypt_option') answers "TRUE" when the
// connection string asked for an encrypted link as the personality's
// driver reads it (FreeTDS: Encryption=require; Microsoft's: unless
// Encrypt=no, false or optional), else "FALSE".
//
// A program in another process (the service itself, started by a test) is
// steered and seen through its environment:
//   SCRIPTED_ODBC_TRACE=<file>: every statement the driver receives is
//     appended to that file as one line of UTF-8 (its line breaks written
//     "\n").
//   SCRIPTED_ODBC_CONNECT_HANGS (set, not empty): SQLDriverConnect appends
//     "SQLDriverConnect hangs" to the trace file and never returns: a server
//     that accepts and never answers, behind a driver that ignores its login
//     timeout.
//   SCRIPTED_ODBC_CONTROL=<file>: the state of the server and the network,
//     as the file's first word (see SetControlFile).
//   SCRIPTED_ODBC_BACKEND=<SQLite file>: the database behind the statements
//     no answer was scripted for (see SetBackend).

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
  // kHang: a statement that runs until its query timeout (see Hang()); it
  // counts as the statement's first result only.
  enum class Kind { kRows, kCount, kError, kHang };
  Kind kind = Kind::kCount;
  // kRows
  std::vector<ScriptColumn> columns;
  std::vector<std::vector<ScriptValue>> rows;
  // kCount: what SQLRowCount gives
  long long count = 0;
  // kError. An error with SQLSTATE 40001 (a deadlock victim) also rolls
  // back the transaction the connection has open.
  std::string sqlstate;
  std::string message;
  bool kills_connection = false;  // the connection is dead from then on
  int native = 0;                 // SQL Server's error number
  // Further diagnostic records (SQLSTATE, message), after the first.
  std::vector<std::pair<std::string, std::string>> more{};
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

// A statement that never finishes by itself: SQLExecDirect (or SQLExecute)
// waits, in real time, for the statement's SQL_ATTR_QUERY_TIMEOUT, and then
// fails with HYT00 "Query timeout expired"; the server cancelled the query and
// the connection goes on. With no timeout (0) it waits until Reset(),
// SetReachable(), Restart(), SetHalfOpen() or a change of the control word;
// a restart that cuts the connection meanwhile fails it with 08S01 at once.
inline ScriptResult Hang() {
  ScriptResult r;
  r.kind = ScriptResult::Kind::kHang;
  return r;
}

// SQL Server's deadlock victim (error 1205): the server has rolled the
// connection's transaction back; the client's rollback afterwards succeeds.
inline ScriptResult Deadlock() {
  ScriptResult r = Error("40001",
                         "Transaction (Process ID 57) was deadlocked on lock "
                         "resources with another process and has been chosen "
                         "as the deadlock victim. Rerun the transaction.");
  r.native = 1205;
  return r;
}

struct ScriptAnswer {
  // Answers statements whose text contains this, ignoring ASCII case; ""
  // answers any statement.
  std::string match;
  // The first is what SQLExecDirect or SQLExecute returns (an error there
  // fails it), the rest come from SQLMoreResults. A statement whose only
  // result is a count of 0 makes them return SQL_NO_DATA, as ODBC 3 drivers
  // do.
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
  // SQLExecDirect, SQLPrepare, SQLExecute: the statement as the server
  // receives it, in UTF-8; SQLDriverConnect: the connection string.
  std::string text;
  // Attribute calls: the attribute and its integer value (for the Get calls
  // the value answered, as for SQLRowCount and SQLNumResultCols).
  // SQLEndTran: the handle type, and the completion type in `value`.
  // SQLFreeStmt: the option in `value`. SQLBindParameter, SQLBindCol,
  // SQLGetData, SQLDescribeCol: the parameter or column number, and the C
  // type in `value`. SQLFetch: the rows it fetched in `value`. SQLSetPos:
  // the row, and the operation in `value`. SQLNumParams: the count in
  // `value`. SQLAllocHandle, SQLFreeHandle: the handle type. SQLGetInfo,
  // SQLGetFunctions: the info type or function id. SQLGetDiagRec,
  // SQLGetDiagField: the record, and the field in `value`.
  long attribute = 0;
  long long value = 0;
  std::vector<BoundParam> params;  // SQLExecDirect, SQLExecute
  int rc = 0;                      // what the driver returned
};

enum class ScriptPersonality {
  kByName,  // DRIVER={...} holding "FreeTDS", any case: FreeTDS; else
            // Microsoft's
  kFreeTds,
  kMicrosoft,
};

class ScriptedServer {
 public:
  // Forgets answers, calls, failures and settings: the server is reachable
  // again, the network is back (as SetHalfOpen(false)), the personality
  // goes by name, backend and control file are the environment's again,
  // every call waiting for a Hang() returns, and connection serials restart
  // at 1 (connections still open keep theirs).
  virtual void Reset() = 0;
  // The first matching answer that is not spent wins, in the order added.
  virtual void Answer(ScriptAnswer answer) = 0;
  // While false, SQLDriverConnect fails with 08001.
  virtual void SetReachable(bool reachable) = 0;
  // Cuts every connection open now: its next call that talks to the server
  // (SQLExecDirect, SQLExecute, SQLEndTran, SQLSetConnectAttr of
  // SQL_ATTR_AUTOCOMMIT) fails with 08S01 and the connection is dead from
  // then on.
  virtual void Restart() = 0;
  // false (the default): SQL_ATTR_CONNECTION_DEAD says SQL_CD_TRUE only
  // once a call has found the cut, as FreeTDS learns it at its next read;
  // true: at once.
  virtual void SetDeadKnownAtOnce(bool at_once) = 0;
  // The next call of `function` (SQLDriverConnect, SQLDisconnect,
  // SQLExecDirect, SQLPrepare, SQLExecute, SQLEndTran, or SQLSetConnectAttr
  // on a connected handle) fails with this diagnostic. Several queue up in
  // order.
  virtual void FailNext(std::string function, std::string sqlstate,
                        std::string message, bool kills_connection) = 0;
  // SQLGetData to SQL_C_CHAR returns at most n bytes per call, fewer than
  // the buffer would hold, cutting wherever n falls (also inside a UTF-8
  // character); 0, the default, fills the buffer as ODBC says. Bound
  // columns are always filled as ODBC says.
  virtual void SetPieceBytes(std::size_t n) = 0;

  // A network that drops every packet without a word (no reset), as when
  // a cable or a firewall goes. Setting it makes each connection open now
  // half-open: its next call that talks to the server (as for Restart())
  // waits for its timeout, SQL_ATTR_QUERY_TIMEOUT of the statement for
  // SQLExecDirect and SQLExecute, SQL_ATTR_CONNECTION_TIMEOUT of the
  // connection for the others (0: until the network is back), then fails
  // with HYT00 "Query timeout expired" and the connection is dead from
  // then on. Meanwhile SQLDriverConnect waits for the handle's
  // SQL_ATTR_LOGIN_TIMEOUT (0: until the network is back) and fails with
  // HYT00 "Login timeout expired".
  // Clearing it lets connects through at once (one under way goes on as
  // usual); the half-open connections are dead, and their calls that were
  // waiting fail with 08S01 at once.
  virtual void SetHalfOpen(bool half_open) = 0;
  // For connections made from now on.
  virtual void SetPersonality(ScriptPersonality personality) = 0;
  // A SQLite file (an existing one) that answers the statements no answer
  // matches, through the service's own SqliteConnection, which translates
  // the T-SQL; "" for none, the default. Each connection opens its own
  // SqliteConnection when it connects. Parameter markers become :p1,
  // :p2...; SET statements stay with the driver; "<insert>;\nSELECT
  // CAST(SCOPE_IDENTITY() AS bigint)" answers the new row's key; turning
  // autocommit off begins a transaction, SQLEndTran ends it. Rows come with
  // SQL Server's types and text ("2024-03-05 14:05:09.000"), statements
  // without rows with the count of rows they changed; SQLite's errors with
  // 23000 (constraints), 42000 (syntax) or HY000. SCRIPTED_ODBC_BACKEND
  // sets it for a whole process.
  virtual void SetBackend(std::string path) = 0;
  // A file whose first word says how server and network are, for a program
  // the test cannot call into (SCRIPTED_ODBC_CONTROL sets it for a whole
  // process); "" for none, the default. The driver looks at it at each
  // connect and statement, and every 20 ms while a call waits, and reads the
  // word again when the file's inode, size or time changed or 20 ms have
  // passed; what the word says applies when it changes:
  //   up (or no file): reachable, the network works; it restores all the
  //     others did.
  //   down: the server is stopped: SetReachable(false) and Restart().
  //   silent: SetHalfOpen(true).
  //   hang: the connections open are cut as by "down", and SQLDriverConnect
  //     waits, whatever its login timeout, until the word changes, then
  //     goes on as the new word says.
  // An empty file or another word changes nothing; leaving a file for none
  // is as if it said "up".
  virtual void SetControlFile(std::string path) = 0;

  // Every call since Reset(), on every connection, in order. Counts of a
  // kind come from here: CallsTo(server, {"SQLPrepare"}) for prepares,
  // {"SQLExecDirect", "SQLExecute"} for statements run, {"SQLFetch"} for
  // rowsets, {"SQLGetData"} for values read one by one.
  virtual std::vector<Call> Calls() = 0;
  virtual int ConnectAttempts() = 0;
  virtual int OpenConnections() = 0;
  // The calls waiting right now: on Hang(), on half-open links, and
  // connects while the network is silent or the control word is "hang".
  virtual int Blocked() = 0;

 protected:
  ~ScriptedServer() = default;
};

}  // namespace norvessa::testing

// Exported by libscripted_odbc.so.
extern "C" norvessa::testing::ScriptedServer* ScriptedOdbcServer();

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_ODBC_H_
