#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_

// Inside libscripted_odbc.so: the handles the Driver Manager holds and the
// one server behind them. The exported ODBC functions take the server's
// mutex and call the member of the same name.

#include <sql.h>
#include <sqlext.h>

#include <array>
#include <cstddef>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/scripted_odbc/scripted_odbc.h"

namespace norvessa::testing::scripted {

enum class Personality { kFreeTds, kMicrosoft };

struct Diagnostic {
  std::string sqlstate;
  std::string message;
};

// A failure the script asked for, or one the driver makes itself.
struct Failure {
  std::string sqlstate;
  std::string message;
  bool kills_connection = false;
};

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
  explicit Connection(Environment* env)
      : Handle(SQL_HANDLE_DBC), environment(env) {}

  Environment* environment;
  int serial = 0;  // 0 until it first connects
  bool connected = false;
  bool cut = false;   // the server restarted; no call has noticed yet
  bool dead = false;  // a call has seen the connection fail
  Personality personality = Personality::kFreeTds;
  std::string server_name;
  std::map<SQLINTEGER, SQLULEN> attributes;
  // Where in the log its calls before the connect are, to give them the
  // serial once it has one.
  std::vector<std::size_t> calls_before_connect;
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

struct Statement : Handle {
  explicit Statement(Connection* c) : Handle(SQL_HANDLE_STMT), connection(c) {}

  Connection* connection;
  std::map<SQLUSMALLINT, Parameter> parameters;
  std::map<SQLINTEGER, SQLULEN> attributes;
  std::vector<ScriptResult> results;  // of the last SQLExecDirect
  std::size_t current = 0;            // results.size() when none is left
  long long row = -1;                 // in the current result, -1 before
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
};

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
  std::vector<Call> Calls() override;
  int ConnectAttempts() override;
  int OpenConnections() override;

  // The ODBC functions; the caller holds the mutex.
  SQLRETURN AllocHandle(SQLSMALLINT type, SQLHANDLE input, SQLHANDLE* output);
  SQLRETURN FreeHandle(SQLSMALLINT type, SQLHANDLE handle);
  SQLRETURN SetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value);
  SQLRETURN GetEnvAttr(SQLHENV env, SQLINTEGER attribute, SQLPOINTER value,
                       SQLINTEGER* length);
  SQLRETURN SetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value,
                           SQLINTEGER length);
  SQLRETURN GetConnectAttr(SQLHDBC dbc, SQLINTEGER attribute, SQLPOINTER value,
                           SQLINTEGER buffer_length, SQLINTEGER* length);
  SQLRETURN DriverConnect(SQLHDBC dbc, SQLCHAR* in, SQLSMALLINT in_length,
                          SQLCHAR* out, SQLSMALLINT out_max,
                          SQLSMALLINT* out_length);
  SQLRETURN Disconnect(SQLHDBC dbc);
  SQLRETURN GetInfo(SQLHDBC dbc, SQLUSMALLINT info, SQLPOINTER value,
                    SQLSMALLINT buffer_length, SQLSMALLINT* length);
  SQLRETURN GetFunctions(SQLHDBC dbc, SQLUSMALLINT function,
                         SQLUSMALLINT* supported);
  SQLRETURN EndTran(SQLSMALLINT type, SQLHANDLE handle, SQLSMALLINT completion);
  SQLRETURN SetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value);
  SQLRETURN GetStmtAttr(SQLHSTMT stmt, SQLINTEGER attribute, SQLPOINTER value,
                        SQLINTEGER* length);
  SQLRETURN BindParameter(SQLHSTMT stmt, SQLUSMALLINT number,
                          SQLSMALLINT direction, SQLSMALLINT c_type,
                          SQLSMALLINT sql_type, SQLULEN column_size,
                          SQLSMALLINT digits, SQLPOINTER value,
                          SQLLEN buffer_length, SQLLEN* indicator);
  SQLRETURN ExecDirect(SQLHSTMT stmt, SQLCHAR* text, SQLINTEGER length);
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
  Server() = default;
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
  static void Diagnose(Handle& handle, std::string sqlstate,
                       std::string_view message);
  // Reports `failure` on `handle`; SQL_ERROR.
  static SQLRETURN Fail(Handle& handle, Connection* connection,
                        const Failure& failure);
  std::optional<Failure> TakeFailure(std::string_view function);
  // A call that talks to the server: finds a cut, refuses a dead link.
  static std::optional<Failure> Reach(Connection& connection);

  std::optional<Failure> ReadParameter(const Connection& connection,
                                       SQLUSMALLINT number,
                                       const Parameter& parameter,
                                       BoundParam& out) const;
  std::vector<ScriptResult> AnswerFor(std::string_view text);
  SQLRETURN GetText(Statement& stmt, const std::string& value,
                    SQLSMALLINT c_type, SQLPOINTER target, SQLLEN buffer_length,
                    SQLLEN* indicator);
  SQLRETURN GetFixed(Statement& stmt, const std::string& value,
                     SQLSMALLINT c_type, SQLPOINTER target, SQLLEN* indicator);

  std::mutex mutex_;
  std::map<const void*, std::unique_ptr<Handle>> handles_;
  std::vector<ScriptAnswer> answers_;
  std::vector<Call> calls_;
  std::map<std::string, std::deque<Failure>, std::less<>> failures_;
  bool reachable_ = true;
  bool dead_known_at_once_ = false;
  std::size_t piece_bytes_ = 0;
  int next_serial_ = 0;
  int connect_attempts_ = 0;
};

}  // namespace norvessa::testing::scripted

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_SCRIPTED_DRIVER_H_
