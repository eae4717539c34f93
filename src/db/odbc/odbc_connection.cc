#include "db/odbc/odbc_connection.h"

#include <sql.h>
#include <sqlext.h>

#include <deque>
#include <utility>

#include "db/db_error.h"
#include "db/sql_lexer.h"
#include "serialize/regional.h"

namespace norvessa {
namespace {

// SQL Server's own type codes that plain ODBC headers lack.
constexpr SQLSMALLINT kSsTime2 = -154;
constexpr SQLSMALLINT kSsTimestampOffset = -155;

bool Ok(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

struct Diagnostics {
  std::string message;
  bool connection_lost = false;
};

Diagnostics Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  Diagnostics d;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &native,
                                       text, sizeof text, &length);
    if (!Ok(rc)) break;
    const std::string sqlstate(reinterpret_cast<char*>(state), 5);
    // Class 08 is the connection itself; HYT01 its timeout.
    if (sqlstate.rfind("08", 0) == 0 || sqlstate == "HYT01") {
      d.connection_lost = true;
    }
    if (!d.message.empty()) d.message += "; ";
    d.message += reinterpret_cast<char*>(text);
  }
  if (d.message.empty()) d.message = "ODBC call failed";
  return d;
}

std::string BraceValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos &&
      (value.empty() || (value.front() != ' ' && value.back() != ' '))) {
    return value;
  }
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}

FieldType TypeOfColumn(SQLSMALLINT sql_type, SQLULEN column_size, int& size) {
  size = 0;
  switch (sql_type) {
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
      size = column_size > 0 && column_size < 1'000'000
                 ? static_cast<int>(column_size)
                 : 0;
      return FieldType::kString;
    case SQL_LONGVARCHAR:
    case SQL_WLONGVARCHAR:
      return FieldType::kString;
    case SQL_GUID:
      return FieldType::kGuid;
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
      return FieldType::kInteger;
    case SQL_BIGINT:
      return FieldType::kLargeint;
    case SQL_NUMERIC:
    case SQL_DECIMAL:
      return FieldType::kFMTBcd;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return FieldType::kFloat;
    case SQL_BIT:
      return FieldType::kBoolean;
    case SQL_TYPE_DATE:
    case SQL_DATE:
      return FieldType::kDate;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case kSsTime2:
      return FieldType::kTime;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case kSsTimestampOffset:
      return FieldType::kTimeStamp;
    case SQL_BINARY:
    case SQL_VARBINARY:
    case SQL_LONGVARBINARY:
      return FieldType::kBlob;
    default:
      return FieldType::kString;
  }
}

}  // namespace

struct OdbcConnection::Handles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;

  ~Handles() {
    if (connected) SQLDisconnect(dbc);
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

// One statement handle, with the buffers of its bound parameters.
class OdbcConnection::Statement {
 public:
  Statement(OdbcConnection& owner) : owner_(owner) {
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, owner_.handles_->dbc, &stmt_))) {
      Fail(SQL_HANDLE_DBC, owner_.handles_->dbc);
    }
    SQLSetStmtAttr(stmt_, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                       owner_.options_.query_timeout_seconds)),
                   0);
  }
  ~Statement() {
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
  }

  // Replaces :Params by "?" and binds them in the order they appear.
  void Run(std::string_view sql, const std::vector<Param>& params) {
    std::vector<SqlToken> tokens = TokenizeSql(sql);
    SQLUSMALLINT index = 0;
    for (SqlToken& t : tokens) {
      if (t.kind != SqlTokenKind::kParameter) continue;
      const std::string name = t.text.substr(1);
      t = {SqlTokenKind::kOperator, "?"};
      Bind(++index, Find(params, name));
    }
    const std::string text = JoinTokens(tokens);
    const SQLRETURN rc = SQLExecDirect(
        stmt_, reinterpret_cast<SQLCHAR*>(const_cast<char*>(text.c_str())),
        static_cast<SQLINTEGER>(text.size()));
    if (!Ok(rc) && rc != SQL_NO_DATA) Fail(SQL_HANDLE_STMT, stmt_);
  }

  std::int64_t RowCount() {
    SQLLEN count = 0;
    SQLRowCount(stmt_, &count);
    return count;
  }

  // Moves to the next result that has columns; false when none is left.
  bool SeekResultWithColumns() {
    while (true) {
      SQLSMALLINT columns = 0;
      if (!Ok(SQLNumResultCols(stmt_, &columns))) {
        Fail(SQL_HANDLE_STMT, stmt_);
      }
      if (columns > 0) return true;
      const SQLRETURN rc = SQLMoreResults(stmt_);
      if (rc == SQL_NO_DATA) return false;
      if (!Ok(rc)) Fail(SQL_HANDLE_STMT, stmt_);
    }
  }

  ResultSet ReadAll() {
    ResultSet result;
    if (!SeekResultWithColumns()) return result;
    SQLSMALLINT count = 0;
    SQLNumResultCols(stmt_, &count);
    for (SQLUSMALLINT i = 1; i <= count; ++i) {
      SQLCHAR name[256] = {};
      SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!Ok(SQLDescribeCol(stmt_, i, name, sizeof name, &name_length,
                             &sql_type, &size, &digits, &nullable))) {
        Fail(SQL_HANDLE_STMT, stmt_);
      }
      ResultColumn column;
      column.name = reinterpret_cast<char*>(name);
      column.type = TypeOfColumn(sql_type, size, column.size);
      result.columns.push_back(std::move(column));
      sql_types_.push_back(sql_type);
    }
    while (true) {
      const SQLRETURN rc = SQLFetch(stmt_);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) Fail(SQL_HANDLE_STMT, stmt_);
      Row row;
      row.reserve(result.columns.size());
      for (SQLUSMALLINT i = 1; i <= count; ++i) {
        row.push_back(Read(i, result.columns[i - 1]));
      }
      result.rows.push_back(std::move(row));
    }
    return result;
  }

  [[noreturn]] void Fail(SQLSMALLINT type, SQLHANDLE handle) {
    const Diagnostics d = Diagnose(type, handle);
    if (d.connection_lost) owner_.broken_ = true;
    throw DbError(d.message, d.connection_lost);
  }

 private:
  static const ParamValue& Find(const std::vector<Param>& params,
                                const std::string& name) {
    static const ParamValue kNull;
    for (const Param& p : params) {
      if (p.name.size() != name.size()) continue;
      bool same = true;
      for (std::size_t i = 0; i < name.size() && same; ++i) {
        same = (p.name[i] | 0x20) == (name[i] | 0x20);
      }
      if (same) return p.value;
    }
    return kNull;
  }

  void Bind(SQLUSMALLINT index, const ParamValue& value) {
    // The buffers must stay where they are until the statement has run.
    Buffer& b = buffers_.emplace_back();
    SQLRETURN rc;
    if (const auto* s = std::get_if<std::string>(&value)) {
      b.text = *s;
      b.indicator = static_cast<SQLLEN>(b.text.size());
      const SQLULEN size = b.text.empty() ? 1 : b.text.size();
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_CHAR,
                            size > 8000 ? SQL_LONGVARCHAR : SQL_VARCHAR, size,
                            0, b.text.data(),
                            static_cast<SQLLEN>(b.text.size()), &b.indicator);
    } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
      b.integer = *i;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                            SQL_BIGINT, 0, 0, &b.integer, 0, nullptr);
    } else if (const auto* d = std::get_if<double>(&value)) {
      b.real = *d;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_DOUBLE,
                            SQL_DOUBLE, 0, 0, &b.real, 0, nullptr);
    } else if (const auto* t = std::get_if<DateTime>(&value)) {
      const DateTime::Parts p = t->Split();
      b.timestamp.year = static_cast<SQLSMALLINT>(p.year);
      b.timestamp.month = static_cast<SQLUSMALLINT>(p.month);
      b.timestamp.day = static_cast<SQLUSMALLINT>(p.day);
      b.timestamp.hour = static_cast<SQLUSMALLINT>(p.hour);
      b.timestamp.minute = static_cast<SQLUSMALLINT>(p.minute);
      b.timestamp.second = static_cast<SQLUSMALLINT>(p.second);
      b.timestamp.fraction = static_cast<SQLUINTEGER>(p.millisecond) * 1000000;
      // 23 characters and three fractional digits: yyyy-mm-dd hh:mm:ss.fff
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                            SQL_TYPE_TIMESTAMP, 23, 3, &b.timestamp,
                            sizeof b.timestamp, nullptr);
    } else {
      b.indicator = SQL_NULL_DATA;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_CHAR,
                            SQL_VARCHAR, 1, 0, nullptr, 0, &b.indicator);
    }
    if (!Ok(rc)) Fail(SQL_HANDLE_STMT, stmt_);
  }

  // Reads a long value in pieces.
  std::optional<std::string> ReadChunks(SQLUSMALLINT column,
                                        SQLSMALLINT c_type) {
    std::string out;
    char buf[8192];
    const std::size_t terminator = c_type == SQL_C_CHAR ? 1 : 0;
    while (true) {
      SQLLEN indicator = 0;
      const SQLRETURN rc =
          SQLGetData(stmt_, column, c_type, buf, sizeof buf, &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) Fail(SQL_HANDLE_STMT, stmt_);
      if (indicator == SQL_NULL_DATA) return std::nullopt;
      const bool more =
          indicator == SQL_NO_TOTAL ||
          indicator > static_cast<SQLLEN>(sizeof buf - terminator);
      const std::size_t got =
          more ? sizeof buf - terminator : static_cast<std::size_t>(indicator);
      out.append(buf, got);
      if (rc == SQL_SUCCESS || !more) break;
    }
    return out;
  }

  FieldValue Read(SQLUSMALLINT column, const ResultColumn& info) {
    SQLLEN indicator = 0;
    switch (KindOf(info.type)) {
      case FieldKind::kInteger: {
        SQLBIGINT v = 0;
        if (!Ok(SQLGetData(stmt_, column, SQL_C_SBIGINT, &v, 0, &indicator))) {
          Fail(SQL_HANDLE_STMT, stmt_);
        }
        if (indicator == SQL_NULL_DATA) return std::monostate{};
        return static_cast<std::int64_t>(v);
      }
      case FieldKind::kDecimal: {
        // Exact decimals arrive as text, so 12.3400 keeps its digits.
        const auto text = ReadChunks(column, SQL_C_CHAR);
        if (!text) return std::monostate{};
        const auto v = TryParseFloat(*text);
        if (!v)
          throw DbError("Invalid number '" + *text + "' in column " +
                        info.name);
        return *v;
      }
      case FieldKind::kBoolean: {
        unsigned char v = 0;
        if (!Ok(SQLGetData(stmt_, column, SQL_C_BIT, &v, 0, &indicator))) {
          Fail(SQL_HANDLE_STMT, stmt_);
        }
        if (indicator == SQL_NULL_DATA) return std::monostate{};
        return v != 0;
      }
      case FieldKind::kDateTime:
        return ReadDateTime(column, info);
      case FieldKind::kLargeObject: {
        auto bytes = ReadChunks(column, SQL_C_BINARY);
        if (!bytes) return std::monostate{};
        return std::move(*bytes);
      }
      default: {
        auto text = ReadChunks(column, SQL_C_CHAR);
        if (!text) return std::monostate{};
        return std::move(*text);
      }
    }
  }

  FieldValue ReadDateTime(SQLUSMALLINT column, const ResultColumn& info) {
    const SQLSMALLINT sql_type = sql_types_[column - 1];
    if (info.type == FieldType::kTime || sql_type == kSsTimestampOffset) {
      // Read as text: time(7) has more digits than a time struct holds.
      const auto text = ReadChunks(column, SQL_C_CHAR);
      if (!text) return std::monostate{};
      std::string t = *text;
      const std::size_t dot = t.find('.');
      if (dot != std::string::npos) {
        std::size_t end = dot + 1;
        while (end < t.size() && end < dot + 4 && t[end] >= '0' &&
               t[end] <= '9')
          ++end;
        std::size_t rest = end;
        while (rest < t.size() && t[rest] >= '0' && t[rest] <= '9') ++rest;
        t.erase(end, rest - end);
      }
      auto value =
          info.type == FieldType::kTime ? TryParseTime(t) : TryParseIso8601(t);
      if (!value)
        throw DbError("Invalid date and time '" + *text + "' in column " +
                      info.name);
      return *value;
    }
    SQL_TIMESTAMP_STRUCT ts{};
    SQLLEN indicator = 0;
    if (!Ok(SQLGetData(stmt_, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts,
                       &indicator))) {
      Fail(SQL_HANDLE_STMT, stmt_);
    }
    if (indicator == SQL_NULL_DATA) return std::monostate{};
    try {
      return DateTime::FromParts(ts.year, ts.month, ts.day, ts.hour, ts.minute,
                                 ts.second,
                                 static_cast<int>(ts.fraction / 1000000));
    } catch (const std::invalid_argument&) {
      throw DbError("Invalid date and time in column " + info.name);
    }
  }

  struct Buffer {
    std::string text;
    SQLBIGINT integer = 0;
    double real = 0;
    SQL_TIMESTAMP_STRUCT timestamp{};
    SQLLEN indicator = 0;
  };

  OdbcConnection& owner_;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  std::deque<Buffer> buffers_;
  std::vector<SQLSMALLINT> sql_types_;
};

OdbcConnection::OdbcConnection(OdbcOptions options)
    : options_(std::move(options)), handles_(std::make_unique<Handles>()) {
  Handles& h = *handles_;
  auto fail = [&](SQLSMALLINT type, SQLHANDLE handle) {
    const Diagnostics d = Diagnose(type, handle);
    throw DbError(d.message, true);
  };
  if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env))) {
    throw DbError("Cannot allocate an ODBC environment", true);
  }
  SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION,
                reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc))) {
    fail(SQL_HANDLE_ENV, h.env);
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
      reinterpret_cast<SQLCHAR*>(
          const_cast<char*>(options_.connection_string.c_str())),
      SQL_NTS, out, sizeof out, &out_length, SQL_DRIVER_NOPROMPT);
  if (!Ok(rc)) fail(SQL_HANDLE_DBC, h.dbc);
  h.connected = true;
  if (options_.dialect == OdbcOptions::Dialect::kSqlServer) {
    // The service writes its date literals as 'mm/dd/yyyy'.
    Execute("SET DATEFORMAT mdy", {});
  }
}

OdbcConnection::~OdbcConnection() {
  if (in_transaction_ && !broken_) {
    SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
  }
}

ResultSet OdbcConnection::Open(std::string_view sql,
                               const std::vector<Param>& params) {
  Statement statement(*this);
  statement.Run(sql, params);
  return statement.ReadAll();
}

std::int64_t OdbcConnection::Execute(std::string_view sql,
                                     const std::vector<Param>& params) {
  Statement statement(*this);
  statement.Run(sql, params);
  return statement.RowCount();
}

std::int64_t OdbcConnection::InsertReturningKey(
    std::string_view sql, const std::vector<Param>& params) {
  ResultSet key;
  if (options_.dialect == OdbcOptions::Dialect::kSqlServer) {
    // One batch: the key of this very INSERT, also on tables with triggers
    // (which rule out OUTPUT).
    Statement statement(*this);
    statement.Run("SET NOCOUNT ON;\n" + std::string(sql) +
                      ";\nSELECT CAST(SCOPE_IDENTITY() AS int)",
                  params);
    key = statement.ReadAll();
  } else {
    Execute(sql, params);
    key = Open("select last_insert_rowid()", {});
  }
  if (key.rows.empty() || key.rows[0].empty()) {
    throw DbError("The insert returned no key");
  }
  const FieldValue& v = key.rows[0][0];
  if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return RoundHalfEven(*d);
  if (const auto* s = std::get_if<std::string>(&v)) {
    if (const auto n = TryParseInteger(*s)) return *n;
  }
  throw DbError("The insert returned no key");
}

void OdbcConnection::Begin() {
  if (in_transaction_) return;
  const SQLRETURN rc = SQLSetConnectAttr(
      handles_->dbc, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_OFF)),
      0);
  if (!Ok(rc)) {
    const Diagnostics d = Diagnose(SQL_HANDLE_DBC, handles_->dbc);
    if (d.connection_lost) broken_ = true;
    throw DbError(d.message, d.connection_lost);
  }
  in_transaction_ = true;
}

void OdbcConnection::EndTransaction(bool commit) {
  if (!in_transaction_) return;
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, handles_->dbc,
                                  commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!Ok(rc)) {
    const Diagnostics d = Diagnose(SQL_HANDLE_DBC, handles_->dbc);
    if (d.connection_lost) broken_ = true;
    throw DbError(d.message, d.connection_lost);
  }
  SQLSetConnectAttr(
      handles_->dbc, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
  in_transaction_ = false;
}

void OdbcConnection::Commit() { EndTransaction(true); }

void OdbcConnection::Rollback() { EndTransaction(false); }

std::string SqlServerConnectionString(const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password) {
  const std::string driver = odbc_driver.empty() ? "FreeTDS" : odbc_driver;
  const bool freetds = driver.find("FreeTDS") != std::string::npos;
  std::string server = host;
  std::string port;
  const std::size_t comma = host.find(',');
  if (comma != std::string::npos && freetds) {
    server = host.substr(0, comma);
    port = host.substr(comma + 1);
  }
  std::string s = "DRIVER={" + driver + "};";
  auto add = [&s](const char* key, const std::string& value) {
    if (!value.empty()) s += std::string(key) + "=" + BraceValue(value) + ";";
  };
  add("SERVER", server);
  add("PORT", port);
  add("DATABASE", database);
  add("UID", user);
  add("PWD", password);
  if (freetds) {
    s += "ClientCharset=UTF-8;";
  } else {
    // Microsoft's driver 18 encrypts by default; servers beside an ERP
    // usually carry a self-signed certificate.
    s += "TrustServerCertificate=yes;";
  }
  return s;
}

}  // namespace norvessa
