#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_

// Inside libscripted_odbc.so: the handles the Driver Manager holds and the
// one server behind them. The exported ODBC functions take the server's
// mutex and call the member of the same name; those that may wait get the
// lock, to give it up meanwhile. The members live by area:
//   script_state.cc  what tests call, and the record of calls
//   network.cc       reachability, half-open links, the control file, waits
//   handles.cc       handles and their attributes
//   connect.cc       connect, disconnect, driver information, transactions
//   execute.cc       parameters, SQLPrepare, SQLExecute and SQLExecDirect
//   backend.cc       statements answered by a SQLite file
//   results.cc       result sets, SQLGetData and the conversions, row counts
//   bindings.cc      bound columns, SQLFetch of rowsets, SQLSetPos
//   diagnostics.cc   diagnostic records

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/scripted_odbc/scripted_odbc.h"

namespace norvessa {
class SqliteConnection;
class SqliteFileGuard;
class WriterTurn;
}  // namespace norvessa

namespace norvessa::testing::scripted {

using Lock = std::unique_lock<std::mutex>;
using Clock = std::chrono::steady_clock;

enum class Personality { kFreeTds, kMicrosoft };

// Who speaks: Microsoft's driver tells its own messages from the server's.
enum class Origin { kDriver, kServer };

struct Diagnostic {
  std::string sqlstate;
  std::string message;  // with the personality's prefix
  int native = 0;
};

// A failure the script asked for, or one the driver makes itself.
struct Failure {
  std::string sqlstate;
  std::string message;
  bool kills_connection = false;
  Origin origin = Origin::kDriver;
  int native = 0;
  std::vector<std::pair<std::string, std::string>> more{};  // further records
};

// What a scripted error result reports.
Failure FailureOf(const ScriptResult& error);

struct Handle {
  explicit Handle(SQLSMALLINT handle_type) : type(handle_type) {}
  virtual ~Handle() = default;

  const SQLSMALLINT type;
  std::vector<Diagnostic> diagnostics;  // of the last call on the handle
  SQLRETURN rc = SQL_SUCCESS;           // of the last call on the handle
};

struct Environment : Handle {
  Environment() : Handle(SQL_HANDLE_ENV) {}
  SQLINTEGER odbc_version = SQL_OV_ODBC3;
};

struct Connection : Handle {
  explicit Connection(Environment* env);
  ~Connection() override;  // in backend.cc, which knows SqliteConnection

  Environment* environment;
  int serial = 0;  // 0 until it first connects
  bool connected = false;
  bool cut = false;        // the server restarted; no call has noticed yet
  bool half_open = false;  // the network went silent; no call has noticed
  bool dead = false;       // a call has seen the connection fail
  bool nocount = false;    // SET NOCOUNT ON
  // The link as the connection string asked for it: what
  // CONNECTIONPROPERTY('encrypt_option') answers.
  bool encrypted = false;
  Personality personality = Personality::kFreeTds;
  std::string server_name;
  std::map<SQLINTEGER, SQLULEN> attributes;
  // Where in the log its calls before the connect are, to give them the
  // serial once it has one.
  std::vector<std::size_t> calls_before_connect;
  // The SQLite connection that answers for the server, when there is a
  // backend.
  std::unique_ptr<SqliteConnection> backend;

  // An attribute as set (unixODBC replays those set before the connect),
  // or `otherwise`.
  SQLULEN Attribute(SQLINTEGER attribute, SQLULEN otherwise = 0) const {
    const auto it = attributes.find(attribute);
    return it != attributes.end() ? it->second : otherwise;
  }
};

struct Parameter {
  SQLSMALLINT c_type = 0;
  SQLSMALLINT sql_type = 0;
  SQLULEN column_size = 0;
  SQLSMALLINT digits = 0;
  SQLPOINTER value = nullptr;
  SQLLEN buffer_length = 0;
  SQLLEN* indicator = nullptr;
};

// A column bound with SQLBindCol: the first element of its arrays.
struct BoundColumn {
  SQLSMALLINT c_type = 0;
  SQLPOINTER target = nullptr;
  SQLLEN buffer_length = 0;
  SQLLEN* indicator = nullptr;
};

struct Statement : Handle {
  explicit Statement(Connection* c) : Handle(SQL_HANDLE_STMT), connection(c) {}

  Connection* connection;
  std::map<SQLUSMALLINT, Parameter> parameters;
  std::map<SQLUSMALLINT, BoundColumn> columns;
  std::map<SQLINTEGER, SQLULEN> attributes;
  // What SQLPrepare gave, as the server receives it (UTF-8); none before,
  // nor after an SQLExecDirect.
  std::optional<std::string> prepared;
  std::vector<ScriptResult> results;  // of the last execute
  std::size_t current = 0;            // results.size() when none is left
  // The current row of the current result, the one SQLGetData reads: the
  // first of the rowset SQLFetch fetched last, or the one SQLSetPos chose;
  // -1 before the first fetch, the result's size after the last.
  long long row = -1;
  std::size_t rowset_start = 0;  // the rowset the last SQLFetch fetched
  std::size_t rowset_rows = 0;
  std::size_t rowset_size = 1;  // SQL_ATTR_ROW_ARRAY_SIZE at that fetch
  std::size_t next_row = 0;     // where the next rowset starts
  // SQLGetData's progress through one column of the current row.
  SQLUSMALLINT data_column = 0;
  std::size_t data_offset = 0;
  bool data_done = false;
  // The Driver Manager asks for the four implicit descriptors and only
  // keeps them; distinct addresses are all they need to be.
  std::array<char, 4> descriptors{};

  const ScriptResult* Current() const {
    return current < results.size() ? &results[current] : nullptr;
  }
  // An attribute as set (pointers as numbers), or `otherwise`.
  SQLULEN Attribute(SQLINTEGER attribute, SQLULEN otherwise = 0) const {
    const auto it = attributes.find(attribute);
    return it != attributes.end() ? it->second : otherwise;
  }
  // SQL_ATTR_QUERY_TIMEOUT, in seconds; 0 for none.
  SQLULEN QueryTimeout() const { return Attribute(SQL_ATTR_QUERY_TIMEOUT); }
  // Before the first row of the current result.
  void StartResult() {
    row = -1;
    rowset_start = rowset_rows = next_row = 0;
    rowset_size = 1;
    data_column = 0;
  }
  // The cursor closed: no results left.
  void CloseCursor() {
    results.clear();
    current = 0;
    StartResult();
  }
};

// What one value came to in the application's buffer.
struct Stored {
  SQLRETURN rc = SQL_SUCCESS;
  std::size_t taken = 0;  // bytes of the value's text given this time
  bool whole = true;      // false: the text was cut and more is left
};

// The connection a handle belongs to: a connection's own, a statement's;
// none for an environment.
Connection* ConnectionOf(Handle& handle);

// Closes the connection's SQLite connection, if it has one; what was open
// rolls back.
void CloseBackend(Connection& connection);

class Server final : public ScriptedServer {
 public:
  static Server& Instance();

  std::mutex& mutex() { return mutex_; }

  // ScriptedServer, each under the mutex.
  void Reset() override;
  void Answer(ScriptAnswer answer) override;
  void SetReachable(bool reachable) override;
  void Restart() override;
  void SetDeadKnownAtOnce(bool at_once) override;
  void FailNext(std::string function, std::string sqlstate, std::string message,
                bool kills_connection) override;
  void SetPieceBytes(std::size_t n) override;
  void SetHalfOpen(bool half_open) override;
  void SetPersonality(ScriptPersonality personality) override;
  void SetBackend(std::string path) override;
  void SetControlFile(std::string path) override;
  std::vector<Call> Calls() override;
  int ConnectAttempts() override;
  int OpenConnections() override;
  int Blocked() override;

  // The ODBC functions; the caller holds the mutex, which those given the
  // lock may give up while they wait.
  SQLRETURN AllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output);
  SQLRETURN FreeHandle(SQLSMALLINT type, SQLHANDLE handle);
  SQLRETURN SetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value);
  SQLRETURN GetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value,
                       SQLINTEGER* length);
  SQLRETURN SetConnectAttr(Lock& lock, SQLHDBC dbc, SQLINTEGER attribute,
                           SQLPOINTER value, SQLINTEGER length);
  SQLRETURN GetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value,
                           SQLINTEGER buffer_length, SQLINTEGER* length);
  SQLRETURN DriverConnect(Lock& lock, SQLHDBC dbc, SQLCHAR* in,
                          SQLSMALLINT in_length, SQLCHAR* out,
                          SQLSMALLINT out_max, SQLSMALLINT* out_length);
  SQLRETURN Disconnect(SQLHDBC dbc);
  SQLRETURN GetInfo(SQLHDBC dbc, SQLUSMALLINT info, SQLPOINTER value,
                    SQLSMALLINT buffer_length, SQLSMALLINT* length);
  SQLRETURN GetFunctions(SQLHDBC dbc, SQLUSMALLINT function,
                         SQLUSMALLINT* supported);
  SQLRETURN EndTran(Lock& lock, SQLSMALLINT type, SQLHANDLE handle,
                    SQLSMALLINT completion);
  SQLRETURN SetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value);
  SQLRETURN GetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value,
                        SQLINTEGER* length);
  SQLRETURN BindParameter(SQLHSTMT stmt, SQLUSMALLINT number,
                          SQLSMALLINT direction, SQLSMALLINT c_type,
                          SQLSMALLINT sql_type, SQLULEN column_size,
                          SQLSMALLINT digits, SQLPOINTER value,
                          SQLLEN buffer_length, SQLLEN* indicator);
  SQLRETURN ExecDirect(Lock& lock, SQLHSTMT stmt, SQLCHAR* text,
                       SQLINTEGER length);
  SQLRETURN Prepare(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER length);
  SQLRETURN Execute(Lock& lock, SQLHSTMT stmt);
  SQLRETURN NumParams(SQLHSTMT stmt, SQLSMALLINT* count);
  SQLRETURN BindCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT c_type,
                    SQLPOINTER target, SQLLEN buffer_length, SQLLEN* indicator);
  SQLRETURN SetPos(SQLHSTMT stmt, SQLSETPOSIROW row, SQLUSMALLINT operation,
                   SQLUSMALLINT lock_type);
  SQLRETURN NumResultCols(SQLHSTMT stmt, SQLSMALLINT* count);
  SQLRETURN DescribeCol(SQLHSTMT stmt, SQLUSMALLINT column, SQLCHAR* name,
                        SQLSMALLINT buffer_length, SQLSMALLINT* name_length,
                        SQLSMALLINT* sql_type, SQLULEN* size,
                        SQLSMALLINT* digits, SQLSMALLINT* nullable);
  SQLRETURN Fetch(SQLHSTMT stmt);
  SQLRETURN GetData(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT c_type,
                    SQLPOINTER target, SQLLEN buffer_length, SQLLEN* indicator);
  SQLRETURN MoreResults(SQLHSTMT stmt);
  SQLRETURN RowCount(SQLHSTMT stmt, SQLLEN* count);
  SQLRETURN FreeStmt(SQLHSTMT stmt, SQLUSMALLINT option);
  SQLRETURN CloseCursor(SQLHSTMT stmt);
  SQLRETURN Cancel(SQLHSTMT stmt);
  SQLRETURN GetDiagRec(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record,
                       SQLCHAR* sqlstate, SQLINTEGER* native, SQLCHAR* message,
                       SQLSMALLINT buffer_length, SQLSMALLINT* length);
  SQLRETURN GetDiagField(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT record,
                         SQLSMALLINT field, SQLPOINTER value,
                         SQLSMALLINT buffer_length, SQLSMALLINT* length);

 private:
  Server();
  ~Server() = default;

  template <typename T>
  T* Find(SQLHANDLE handle, SQLSMALLINT type) {
    const auto it = handles_.find(handle);
    if (it == handles_.end() || it->second->type != type) return nullptr;
    return static_cast<T*>(it->second.get());
  }
  Handle* FindAny(SQLSMALLINT type, SQLHANDLE handle);

  // Logs the call against `connection` (may be null) and sets `handle`'s
  // return code; returns `rc`.
  SQLRETURN Finish(Handle& handle, Connection* connection, Call call,
                   SQLRETURN rc);
  // Adds a record to `handle`'s diagnostics, prefixed as its connection's
  // personality would.
  static void Diagnose(Handle& handle, std::string sqlstate,
                       std::string_view message,
                       Origin origin = Origin::kDriver, int native = 0);
  // Reports `failure` on `handle`; SQL_ERROR.
  static SQLRETURN Fail(Handle& handle, Connection* connection,
                        const Failure& failure);
  std::optional<Failure> TakeFailure(std::string_view function);

  // --- The network (network.cc); the caller holds the mutex. ---
  // Something a waiting call may be waiting for has changed.
  void Changed();
  void UseControlFile(std::string path);
  void CutOpenConnections();
  void BeginHalfOpen();
  void EndHalfOpen();
  // Reads the control file if it may have changed, and applies a new word.
  void PollControl();
  void ApplyControlWord(const std::string& word);
  // Waits, without the mutex, until `done` holds or `deadline` passes;
  // true when `done` ended it. Counted in Blocked() meanwhile.
  bool Block(Lock& lock, std::optional<Clock::time_point> deadline,
             const std::function<bool()>& done);
  // A call that talks to the server: waits out a half-open link (at most
  // `timeout_seconds`, 0 for no limit), finds a cut, refuses a dead link.
  std::optional<Failure> Reach(Lock& lock, Connection& connection,
                               SQLULEN timeout_seconds);
  // A connect while the network is silent or the server hangs.
  std::optional<Failure> AwaitNetwork(Lock& lock, const Connection& connection);
  // A statement that met Hang(): HYT00 at its timeout, 08S01 if the
  // connection was cut meanwhile.
  Failure WaitOutHang(Lock& lock, Connection& connection,
                      SQLULEN timeout_seconds);

  std::optional<Failure> ReadParameter(const Connection& connection,
                                       SQLUSMALLINT number,
                                       const Parameter& parameter,
                                       BoundParam& out) const;
  // The scripted answer for the statement; nothing when none matches.
  std::optional<std::vector<ScriptResult>> AnswerFor(std::string_view text);
  // SQLExecDirect and SQLExecute: sends `call.text` with the parameters
  // bound now, and logs `call`.
  SQLRETURN Run(Lock& lock, Statement& stmt, Call call);

  // Stores `value` as `c_type` in the application's buffer: text from byte
  // `offset` of it (in the C type's encoding), at most `piece` bytes (0:
  // as many as fit). Truncation and lost fractions add their record to
  // `stmt`, and so does a value that does not convert (SQL_ERROR).
  static Stored Store(Statement& stmt, const ScriptValue& value,
                      SQLSMALLINT c_type, SQLPOINTER target,
                      SQLLEN buffer_length, SQLLEN* indicator,
                      std::size_t offset, std::size_t piece);
  static Stored StoreText(Statement& stmt, const std::string& value,
                          SQLSMALLINT c_type, SQLPOINTER target,
                          SQLLEN buffer_length, SQLLEN* indicator,
                          std::size_t offset, std::size_t piece);
  static SQLRETURN StoreFixed(Statement& stmt, const std::string& value,
                              SQLSMALLINT c_type, SQLPOINTER target,
                              SQLLEN* indicator);
  // Fills the bound columns' elements at `slot` of the rowset with `row` of
  // the current result; the row's status (SQL_ROW_SUCCESS, ...).
  static SQLUSMALLINT FillRow(Statement& stmt, const ScriptResult& result,
                              std::size_t row, std::size_t slot);

  // --- The SQLite backend (backend.cc). ---
  void UseBackend(std::string path);
  // Opens the connection's SqliteConnection, without the mutex.
  std::optional<Failure> OpenBackend(Lock& lock, Connection& connection);
  // Runs a statement no answer matched, without the mutex.
  std::vector<ScriptResult> RunOnBackend(Lock& lock, Connection& connection,
                                         const std::string& text,
                                         const std::vector<BoundParam>& params);
  // Follows SQL_ATTR_AUTOCOMMIT and SQLEndTran, without the mutex.
  std::optional<Failure> BackendAutocommit(Lock& lock, Connection& connection,
                                           bool on);
  std::optional<Failure> BackendEndTran(Lock& lock, Connection& connection,
                                        bool commit);
  // The server rolled the connection's transaction back (a deadlock
  // victim); under the mutex, as a rollback waits for nobody.
  static void BackendRolledBack(Connection& connection);

  std::mutex mutex_;
  // Wakes waiting calls when the state they wait on may have changed.
  std::condition_variable wake_;
  std::map<const void*, std::unique_ptr<Handle>> handles_;
  std::vector<ScriptAnswer> answers_;
  std::vector<Call> calls_;
  std::map<std::string, std::deque<Failure>, std::less<>> failures_;
  bool reachable_ = true;
  bool dead_known_at_once_ = false;
  std::size_t piece_bytes_ = 0;
  int next_serial_ = 0;
  int connect_attempts_ = 0;
  ScriptPersonality personality_ = ScriptPersonality::kByName;

  // The network.
  bool half_open_ = false;
  bool connects_hang_ = false;  // the control word "hang"
  int blocked_ = 0;
  std::uint64_t resets_ = 0;   // Reset() calls
  std::uint64_t changes_ = 0;  // Changed() calls

  // The control file, and what was last read of it.
  struct FileStamp {
    bool exists = false;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
  };
  std::string control_path_;
  FileStamp control_stamp_;
  Clock::time_point control_read_{};
  std::string control_word_ = "up";

  // The backend, and what its connections share.
  std::string backend_path_;
  std::shared_ptr<WriterTurn> backend_turn_;
  std::shared_ptr<SqliteFileGuard> backend_file_;
};

}  // namespace norvessa::testing::scripted

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_
