#include "db/odbc/odbc_connection.h"

#include <sql.h>
#include <sqlext.h>

#include <optional>
#include <string>
#include <utility>

#include "db/driver_error.h"
#include "db/odbc/odbc_statement.h"
#include "db/stderr_line.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

// Class 08 is the link itself (08S01 communication failure, 08003 not
// open, 08007 lost during a transaction); HYT01 is the connection timeout.
bool LinkLost(const std::string& sqlstate) {
  return sqlstate.rfind("08", 0) == 0 || sqlstate == "HYT01";
}

}  // namespace

// The handles, and the way back from a statement's failed call to the
// connection, which tells whether it broke.
struct OdbcConnection::Handles : OdbcFailureHandler {
  explicit Handles(OdbcConnection& owner) : owner(owner) {}
  OdbcConnection& owner;
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;

  DriverError Diagnosed(SQLSMALLINT handle_type, SQLHANDLE handle) override {
    return owner.Diagnosed(handle_type, handle, /*lost=*/false);
  }

  ~Handles() {
    if (connected) Disconnect();
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  void Disconnect() {
    if (OdbcOk(SQLDisconnect(dbc))) return;
    // Most often a transaction the server still holds open: roll it back
    // and leave once more, or the session would linger on the server.
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    if (OdbcOk(SQLDisconnect(dbc))) return;
    WriteStderrLine("ODBC: disconnect failed: " +
                    Diagnose(SQL_HANDLE_DBC, dbc).message);
  }
};

OdbcConnection::OdbcConnection(OdbcOptions options)
    : options_(std::move(options)), handles_(std::make_unique<Handles>(*this)) {
  Handles& h = *handles_;
  if (!OdbcOk(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env))) {
    throw DriverError("Cannot allocate an ODBC environment", true);
  }
  SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION,
                reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!OdbcOk(SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc))) {
    Fail(SQL_HANDLE_ENV, h.env, /*lost=*/true);
  }
  // Without a login timeout a server that accepts TCP but never answers
  // would hang the start for ever.
  SQLSetConnectAttr(h.dbc, SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(
                        static_cast<SQLULEN>(options_.login_timeout_seconds)),
                    0);
  SQLSetConnectAttr(h.dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(
                        static_cast<SQLULEN>(options_.query_timeout_seconds)),
                    0);
  SQLCHAR out[1024];
  SQLSMALLINT out_length = 0;
  const SQLRETURN rc = SQLDriverConnect(
      h.dbc, nullptr,
      reinterpret_cast<SQLCHAR*>(options_.connection_string.data()), SQL_NTS,
      out, sizeof out, &out_length, SQL_DRIVER_NOPROMPT);
  if (!OdbcOk(rc)) Fail(SQL_HANDLE_DBC, h.dbc, /*lost=*/true);
  h.connected = true;
  if (options_.dialect == OdbcOptions::Dialect::kSqlServer) {
    // Date literals are written 'mm/dd/yyyy'; nothing reads row counts, so
    // the server sends none; an error ends the whole batch and its
    // transaction instead of letting the next statement run.
    Execute("SET DATEFORMAT mdy; SET NOCOUNT ON; SET XACT_ABORT ON", {});
  }
}

OdbcConnection::~OdbcConnection() {
  if (in_transaction_ && !broken_) {
    SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
  }
}

bool OdbcConnection::DriverSaysDead() {
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc = SQLGetConnectAttr(
      handles_->dbc, SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr);
  return OdbcOk(rc) && dead == SQL_CD_TRUE;
}

DriverError OdbcConnection::Diagnosed(short handle_type, void* handle,
                                      bool lost) {
  const OdbcDiagnostics d = Diagnose(handle_type, handle);
  if (lost || LinkLost(d.sqlstate) || DriverSaysDead()) broken_ = true;
  return DriverError(d.message, broken_, d.sqlstate);
}

void OdbcConnection::Fail(short handle_type, void* handle, bool lost) {
  throw Diagnosed(handle_type, handle, lost);
}

std::string OdbcConnection::DriverFile() {
  SQLCHAR name[256] = {};
  SQLSMALLINT length = 0;
  if (!OdbcOk(SQLGetInfo(handles_->dbc, SQL_DRIVER_NAME, name, sizeof name,
                         &length))) {
    return {};
  }
  return reinterpret_cast<const char*>(name);
}

bool OdbcConnection::IsAlive() {
  if (broken_) return false;
  if (DriverSaysDead()) {
    broken_ = true;
    return false;
  }
  try {
    OdbcStatement statement(handles_->dbc, options_.check_timeout_seconds,
                            options_.freetds, *handles_);
    statement.Run("SELECT 1", {});
    statement.ReadAll();
    return true;
  } catch (const DriverError&) {
    // Whatever failed, a connection that cannot answer SELECT 1 is not
    // handed to a request.
    broken_ = true;
    return false;
  }
}

template <typename Run>
auto OdbcConnection::WithPrepared(std::string_view sql, Run&& run)
    -> decltype(run(std::declval<OdbcStatement&>())) {
  auto it = prepared_.find(sql);
  if (it == prepared_.end()) {
    if (prepared_.size() >= kPreparedStatements) prepared_.clear();
    auto statement = std::make_unique<OdbcStatement>(
        handles_->dbc, options_.query_timeout_seconds, options_.freetds,
        *handles_);
    statement->Prepare(sql);
    it = prepared_.emplace(std::string(sql), std::move(statement)).first;
  }
  try {
    return run(*it->second);
  } catch (...) {
    // Whatever state a failure left it in, it is not run again.
    prepared_.erase(it);
    throw;
  }
}

ResultSet OdbcConnection::Open(std::string_view sql,
                               const std::vector<Param>& params) {
  if (!params.empty()) {
    return WithPrepared(sql, [&](OdbcStatement& statement) {
      statement.Execute(params);
      return statement.ReadAll();
    });
  }
  OdbcStatement statement(handles_->dbc, options_.query_timeout_seconds,
                          options_.freetds, *handles_);
  statement.Run(sql, params);
  return statement.ReadAll();
}

void OdbcConnection::Visit(std::string_view sql,
                           const std::vector<Param>& params,
                           RowVisitor& visitor) {
  auto read = [&](OdbcStatement& statement) {
    statement.ReadRows(
        [&](const std::vector<ResultColumn>& columns) {
          visitor.Begin(columns);
        },
        [&](Row& row) { visitor.Visit(row); });
  };
  if (!params.empty()) {
    return WithPrepared(sql, [&](OdbcStatement& statement) {
      statement.Execute(params);
      read(statement);
    });
  }
  OdbcStatement statement(handles_->dbc, options_.query_timeout_seconds,
                          options_.freetds, *handles_);
  statement.Run(sql, params);
  read(statement);
}

std::optional<std::int64_t> OdbcConnection::Execute(
    std::string_view sql, const std::vector<Param>& params) {
  auto counted = [](OdbcStatement& statement) -> std::optional<std::int64_t> {
    const std::int64_t count = statement.RowCount();
    statement.Drain();
    if (count < 0) return std::nullopt;
    return count;
  };
  if (!params.empty()) {
    return WithPrepared(sql, [&](OdbcStatement& statement) {
      statement.Execute(params);
      return counted(statement);
    });
  }
  OdbcStatement statement(handles_->dbc, options_.query_timeout_seconds,
                          options_.freetds, *handles_);
  statement.Run(sql, params);
  return counted(statement);
}

std::int64_t OdbcConnection::InsertReturningKey(
    std::string_view sql, const std::vector<Param>& params) {
  ResultSet key;
  if (options_.dialect == OdbcOptions::Dialect::kSqlServer) {
    // One batch: the key of this very INSERT, also on tables with triggers
    // (which rule out OUTPUT); bigint, as a key may outgrow int.
    key = Open(std::string(sql) + ";\nSELECT CAST(SCOPE_IDENTITY() AS bigint)",
               params);
  } else {
    Execute(sql, params);
    key = Open("select last_insert_rowid()", {});
  }
  if (key.rows.empty() || key.rows[0].empty()) {
    throw DriverError("The insert returned no key");
  }
  const FieldValue& v = key.rows[0][0];
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return RoundHalfEven(*d);
  if (const auto* s = std::get_if<std::string>(&v)) {
    if (const auto n = TryParseInteger(*s)) return *n;
  }
  throw DriverError("The insert returned no key");
}

void OdbcConnection::Begin() {
  if (in_transaction_) return;
  const SQLRETURN rc = SQLSetConnectAttr(
      handles_->dbc, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)),
      0);
  if (!OdbcOk(rc)) Fail(SQL_HANDLE_DBC, handles_->dbc);
  in_transaction_ = true;
}

void OdbcConnection::EndTransaction(bool commit) {
  if (!in_transaction_) return;
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, handles_->dbc,
                                  commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!OdbcOk(rc)) Fail(SQL_HANDLE_DBC, handles_->dbc);
  in_transaction_ = false;
  const SQLRETURN back = SQLSetConnectAttr(
      handles_->dbc, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
  if (!OdbcOk(back)) {
    // The transaction ended as asked, but the connection's mode is now
    // unknown: whatever it may hold is rolled back, and it is closed
    // rather than reused.
    const DriverError error =
        Diagnosed(SQL_HANDLE_DBC, handles_->dbc, /*lost=*/true);
    SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
    WriteStderrLine(std::string("ODBC: cannot return to autocommit, connection "
                                "closed: ") +
                    error.what());
  }
}

void OdbcConnection::Commit() { EndTransaction(true); }

void OdbcConnection::Rollback() { EndTransaction(false); }

}  // namespace norvessa
