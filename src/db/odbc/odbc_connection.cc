#include "db/odbc/odbc_connection.h"

#include <sql.h>
#include <sqlext.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>
#include <utility>

#include "db/db_error.h"
#include "db/odbc/driver_text.h"
#include "db/sql_lexer.h"
#include "json/utf8.h"
#include "serialize/regional.h"

namespace norvessa {
namespace {

// SQL Server's own type codes that plain ODBC headers lack.
constexpr SQLSMALLINT kSsTime2 = -154;
constexpr SQLSMALLINT kSsTimestampOffset = -155;

// The declared size of every text parameter up to this many UTF-16 units:
// nvarchar(4000), the largest before the "max" form.
constexpr SQLULEN kTextParamSize = 4000;
// SQL_SS_LENGTH_UNLIMITED: Microsoft's driver declares nvarchar(max).
constexpr SQLULEN kUnlimited = 0;

bool Ok(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

struct Diagnostics {
  std::string message;
  std::string sqlstate;  // of the first record
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
    if (d.sqlstate.empty()) d.sqlstate = reinterpret_cast<char*>(state);
    if (!d.message.empty()) d.message += "; ";
    d.message += reinterpret_cast<char*>(text);
  }
  if (d.message.empty()) d.message = "ODBC call failed";
  return d;
}

// Class 08 is the link itself (08S01 communication failure, 08003 not
// open, 08007 lost during a transaction); HYT01 is the connection timeout.
bool LinkLost(const std::string& sqlstate) {
  return sqlstate.rfind("08", 0) == 0 || sqlstate == "HYT01";
}

void WriteLine(const std::string& text) {
  std::string line;
  for (char c : text) line += static_cast<unsigned char>(c) < 32 ? ' ' : c;
  line += '\n';
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

using WideText = std::basic_string<SQLWCHAR>;

WideText ToUtf16(std::string_view text) {
  WideText out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) {
    const char32_t cp = NextCodePoint(text, pos);
    if (cp >= 0x10000) {
      const char32_t v = cp - 0x10000;
      out.push_back(static_cast<SQLWCHAR>(0xD800 + (v >> 10)));
      out.push_back(static_cast<SQLWCHAR>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<SQLWCHAR>(cp));
    }
  }
  return out;
}

// One key=value pair of a connection string, the value as written (braced
// or not).
struct Attribute {
  std::string key;
  std::string value;
};

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
    s.remove_suffix(1);
  }
  return s;
}

bool SameKey(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
    if (x != y) return false;
  }
  return true;
}

// "k=v;k={v;w};" as pairs; a braced value runs to the "}" that is not
// doubled.
std::vector<Attribute> ParseAttributes(std::string_view text) {
  std::vector<Attribute> out;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t eq = text.find('=', pos);
    const std::size_t semi = text.find(';', pos);
    if (eq == std::string_view::npos ||
        (semi != std::string_view::npos && semi < eq)) {
      const std::string_view rest = TrimBlanks(text.substr(
          pos, semi == std::string_view::npos ? std::string_view::npos
                                              : semi - pos));
      if (!rest.empty()) {
        throw DbError("Invalid ODBCEXTRA entry '" + std::string(rest) +
                      "': expected key=value");
      }
      pos = semi == std::string_view::npos ? text.size() : semi + 1;
      continue;
    }
    Attribute a;
    a.key = std::string(TrimBlanks(text.substr(pos, eq - pos)));
    if (a.key.empty()) {
      throw DbError("Invalid ODBCEXTRA entry: a value without a key");
    }
    std::size_t v = eq + 1;
    while (v < text.size() && text[v] == ' ') ++v;
    std::size_t end = v;
    if (v < text.size() && text[v] == '{') {
      end = v + 1;
      while (end < text.size()) {
        if (text[end] == '}') {
          if (end + 1 < text.size() && text[end + 1] == '}') {
            end += 2;
            continue;
          }
          ++end;
          break;
        }
        ++end;
      }
      a.value = std::string(text.substr(v, end - v));
      end = text.find(';', end);
    } else {
      end = text.find(';', v);
      a.value = std::string(TrimBlanks(
          text.substr(v, end == std::string_view::npos ? std::string_view::npos
                                                       : end - v)));
    }
    out.push_back(std::move(a));
    pos = end == std::string_view::npos ? text.size() : end + 1;
  }
  return out;
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
    if (connected) Disconnect();
    if (dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }

  void Disconnect() {
    if (Ok(SQLDisconnect(dbc))) return;
    // Most often a transaction the server still holds open: roll it back
    // and leave once more, or the session would linger on the server.
    SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
    if (Ok(SQLDisconnect(dbc))) return;
    WriteLine("ODBC: disconnect failed: " +
              Diagnose(SQL_HANDLE_DBC, dbc).message);
  }
};

// One statement handle, with the buffers of its bound parameters.
class OdbcConnection::Statement {
 public:
  Statement(OdbcConnection& owner, int timeout_seconds) : owner_(owner) {
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, owner_.handles_->dbc, &stmt_))) {
      stmt_ = SQL_NULL_HSTMT;
      owner_.Fail(SQL_HANDLE_DBC, owner_.handles_->dbc);
    }
    SQLSetStmtAttr(
        stmt_, SQL_ATTR_QUERY_TIMEOUT,
        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_seconds)), 0);
  }
  explicit Statement(OdbcConnection& owner)
      : Statement(owner, owner.options_.query_timeout_seconds) {}
  ~Statement() {
    if (stmt_ == SQL_NULL_HSTMT) return;
    SQLFreeStmt(stmt_, SQL_CLOSE);
    SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
  }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Replaces :Params by "?" and binds them in the order they appear.
  void Run(std::string_view sql, const std::vector<Param>& params) {
    std::string text;
    if (params.empty() && sql.find(':') == std::string_view::npos) {
      text = sql;
    } else {
      std::vector<SqlToken> tokens = TokenizeSql(sql);
      SQLUSMALLINT index = 0;
      for (SqlToken& t : tokens) {
        if (t.kind != SqlTokenKind::kParameter) continue;
        const std::string name = t.text.substr(1);
        t = {SqlTokenKind::kOperator, "?"};
        Bind(++index, Find(params, name));
      }
      text = JoinTokens(tokens);
    }
    const SQLRETURN rc =
        SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()),
                      static_cast<SQLINTEGER>(text.size()));
    if (!Ok(rc) && rc != SQL_NO_DATA) Fail();
  }

  std::int64_t RowCount() {
    SQLLEN count = 0;
    if (!Ok(SQLRowCount(stmt_, &count))) return -1;
    return count;
  }

  // Moves to the next result that has columns; false when none is left.
  bool SeekResultWithColumns() {
    while (true) {
      SQLSMALLINT columns = 0;
      if (!Ok(SQLNumResultCols(stmt_, &columns))) Fail();
      if (columns > 0) return true;
      if (!NextResult()) return false;
    }
  }

  // Reads every result left after the current one, to the end: an error
  // the server raised late in the batch (a trigger's, after its row count)
  // only shows here.
  void Drain() {
    while (NextResult()) {
    }
  }

  ResultSet ReadAll() {
    ResultSet result;
    if (!SeekResultWithColumns()) return result;
    SQLSMALLINT count = 0;
    if (!Ok(SQLNumResultCols(stmt_, &count))) Fail();
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
      SQLCHAR name[256] = {};
      SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      if (!Ok(SQLDescribeCol(stmt_, i, name, sizeof name, &name_length,
                             &sql_type, &size, &digits, &nullable))) {
        Fail();
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
      if (!Ok(rc)) Fail();
      Row row;
      row.reserve(result.columns.size());
      for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
        row.push_back(Read(i, result.columns[i - 1]));
      }
      result.rows.push_back(std::move(row));
    }
    Drain();
    return result;
  }

  [[noreturn]] void Fail() { owner_.Fail(SQL_HANDLE_STMT, stmt_); }

 private:
  bool NextResult() {
    const SQLRETURN rc = SQLMoreResults(stmt_);
    if (rc == SQL_NO_DATA) return false;
    if (!Ok(rc)) Fail();
    return true;
  }

  static const ParamValue& Find(const std::vector<Param>& params,
                                const std::string& name) {
    static const ParamValue kNull;
    for (const Param& p : params) {
      if (SameKey(p.name, name)) return p.value;
    }
    return kNull;
  }

  void Bind(SQLUSMALLINT index, const ParamValue& value) {
    // The buffers must stay where they are until the statement has run.
    Buffer& b = buffers_.emplace_back();
    SQLRETURN rc;
    if (const auto* s = std::get_if<std::string>(&value)) {
      // Text goes as UTF-16, so the server stores every character as sent
      // (a narrow VARCHAR would pass through the server's code page: "?"
      // for what it lacks, or a broken statement with FreeTDS), and with
      // one declared size, so a statement keeps one cached plan whatever
      // the lengths. These parameters only feed INSERT values; one ever
      // compared with an indexed varchar column would have to go narrow,
      // as an nvarchar operand makes the server convert the column row by
      // row and lose the index seek.
      b.text = ToUtf16(*s);
      const std::size_t units = b.text.size();
      b.text.push_back(0);
      b.indicator = static_cast<SQLLEN>(units * sizeof(SQLWCHAR));
      SQLULEN size = kTextParamSize;
      if (units > kTextParamSize) {
        size = owner_.options_.freetds ? units : kUnlimited;
      }
      rc = SQLBindParameter(
          stmt_, index, SQL_PARAM_INPUT, SQL_C_WCHAR, SQL_WVARCHAR, size, 0,
          b.text.data(), static_cast<SQLLEN>(b.text.size() * sizeof(SQLWCHAR)),
          &b.indicator);
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
      // Null, declared as text is, so that the plan stays the same.
      b.text.push_back(0);
      b.indicator = SQL_NULL_DATA;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_WCHAR,
                            SQL_WVARCHAR, kTextParamSize, 0, b.text.data(), 0,
                            &b.indicator);
    }
    if (!Ok(rc)) Fail();
  }

  // Reads a long value in pieces. A truncated text piece may hold fewer
  // bytes than the buffer (a driver may stop short of a character it
  // cannot cut), so its length is found at its terminator; the last piece
  // has the length the driver gives.
  std::optional<std::string> ReadChunks(SQLUSMALLINT column,
                                        SQLSMALLINT c_type) {
    std::string out;
    char buf[8192];
    const bool text = c_type == SQL_C_CHAR;
    const std::size_t room = sizeof buf - (text ? 1 : 0);
    while (true) {
      SQLLEN indicator = 0;
      const SQLRETURN rc =
          SQLGetData(stmt_, column, c_type, buf, sizeof buf, &indicator);
      if (rc == SQL_NO_DATA) break;
      if (!Ok(rc)) Fail();
      if (indicator == SQL_NULL_DATA) return std::nullopt;
      if (rc == SQL_SUCCESS && indicator != SQL_NO_TOTAL && indicator >= 0) {
        out.append(buf, std::min(static_cast<std::size_t>(indicator), room));
        break;
      }
      out.append(buf, text ? strnlen(buf, room) : room);
      if (rc == SQL_SUCCESS) break;
    }
    return out;
  }

  FieldValue Read(SQLUSMALLINT column, const ResultColumn& info) {
    SQLLEN indicator = 0;
    const SQLSMALLINT sql_type = sql_types_[column - 1];
    switch (KindOf(info.type)) {
      case FieldKind::kInteger: {
        SQLBIGINT v = 0;
        if (!Ok(SQLGetData(stmt_, column, SQL_C_SBIGINT, &v, 0, &indicator))) {
          Fail();
        }
        if (indicator == SQL_NULL_DATA) return std::monostate{};
        return static_cast<std::int64_t>(v);
      }
      case FieldKind::kBoolean: {
        unsigned char v = 0;
        if (!Ok(SQLGetData(stmt_, column, SQL_C_BIT, &v, 0, &indicator))) {
          Fail();
        }
        if (indicator == SQL_NULL_DATA) return std::monostate{};
        return v != 0;
      }
      case FieldKind::kDateTime:
        if (info.type != FieldType::kTime && sql_type != kSsTimestampOffset) {
          return ReadTimestamp(column, info);
        }
        // time(7) has more digits than a time struct holds, and a
        // datetimeoffset's offset fits no struct of plain ODBC: as text.
        [[fallthrough]];
      case FieldKind::kDecimal: {
        // Exact decimals arrive as text, so 12.3400 keeps its digits.
        const auto text = ReadChunks(column, SQL_C_CHAR);
        if (!text) return std::monostate{};
        return FieldValueFromDriverText(info.type, *text, info.name);
      }
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

  FieldValue ReadTimestamp(SQLUSMALLINT column, const ResultColumn& info) {
    SQL_TIMESTAMP_STRUCT ts{};
    SQLLEN indicator = 0;
    if (!Ok(SQLGetData(stmt_, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts,
                       &indicator))) {
      Fail();
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
    WideText text;
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
    throw DbError(d.message, true, d.sqlstate);
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
      reinterpret_cast<SQLCHAR*>(options_.connection_string.data()), SQL_NTS,
      out, sizeof out, &out_length, SQL_DRIVER_NOPROMPT);
  if (!Ok(rc)) fail(SQL_HANDLE_DBC, h.dbc);
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
  return Ok(rc) && dead == SQL_CD_TRUE;
}

void OdbcConnection::Fail(short handle_type, void* handle) {
  const Diagnostics d = Diagnose(handle_type, handle);
  if (LinkLost(d.sqlstate) || DriverSaysDead()) broken_ = true;
  throw DbError(d.message, broken_, d.sqlstate);
}

bool OdbcConnection::IsAlive() {
  if (broken_) return false;
  if (DriverSaysDead()) {
    broken_ = true;
    return false;
  }
  try {
    Statement statement(*this, options_.check_timeout_seconds);
    statement.Run("SELECT 1", {});
    statement.ReadAll();
    return true;
  } catch (const DbError&) {
    // Whatever failed, a connection that cannot answer SELECT 1 is not
    // handed to a request.
    broken_ = true;
    return false;
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
  const std::int64_t count = statement.RowCount();
  statement.Drain();
  return count;
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
  if (!Ok(rc)) Fail(SQL_HANDLE_DBC, handles_->dbc);
  in_transaction_ = true;
}

void OdbcConnection::EndTransaction(bool commit) {
  if (!in_transaction_) return;
  const SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, handles_->dbc,
                                  commit ? SQL_COMMIT : SQL_ROLLBACK);
  if (!Ok(rc)) Fail(SQL_HANDLE_DBC, handles_->dbc);
  in_transaction_ = false;
  const SQLRETURN back = SQLSetConnectAttr(
      handles_->dbc, SQL_ATTR_AUTOCOMMIT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(SQL_AUTOCOMMIT_ON)), 0);
  if (!Ok(back)) {
    // The transaction ended as asked, but the connection's mode is now
    // unknown: whatever it may hold is rolled back, and it is closed
    // rather than reused.
    const Diagnostics d = Diagnose(SQL_HANDLE_DBC, handles_->dbc);
    SQLEndTran(SQL_HANDLE_DBC, handles_->dbc, SQL_ROLLBACK);
    broken_ = true;
    WriteLine("ODBC: cannot return to autocommit, connection closed: " +
              d.message);
  }
}

void OdbcConnection::Commit() { EndTransaction(true); }

void OdbcConnection::Rollback() { EndTransaction(false); }

std::string SqlServerConnectionString(const std::string& odbc_driver,
                                      const std::string& host,
                                      const std::string& database,
                                      const std::string& user,
                                      const std::string& password,
                                      const std::string& extra) {
  const std::string driver = odbc_driver.empty() ? "FreeTDS" : odbc_driver;
  const bool freetds = driver.find("FreeTDS") != std::string::npos;
  std::string server = host;
  std::string port;
  const std::size_t comma = host.find(',');
  if (comma != std::string::npos && freetds) {
    server = host.substr(0, comma);
    port = host.substr(comma + 1);
  }
  std::vector<Attribute> attributes = {{"DRIVER", "{" + driver + "}"}};
  auto add = [&attributes](const char* key, const std::string& value) {
    if (!value.empty()) attributes.push_back({key, BraceValue(value)});
  };
  add("SERVER", server);
  add("PORT", port);
  add("DATABASE", database);
  add("UID", user);
  add("PWD", password);
  if (freetds) {
    add("ClientCharset", "UTF-8");
    add("TDS_Version", "7.4");
    add("APP", "APINorvessa");
    add("Timeout", "30");
  } else {
    // Microsoft's driver 18 encrypts by default; servers beside an ERP
    // usually carry a self-signed certificate.
    add("TrustServerCertificate", "yes");
    add("APP", "APINorvessa");
  }
  for (Attribute& e : ParseAttributes(extra)) {
    auto same =
        std::find_if(attributes.begin(), attributes.end(),
                     [&](const Attribute& a) { return SameKey(a.key, e.key); });
    if (same != attributes.end()) {
      same->value = std::move(e.value);
    } else {
      attributes.push_back(std::move(e));
    }
  }
  std::string s;
  for (const Attribute& a : attributes) s += a.key + "=" + a.value + ";";
  return s;
}

}  // namespace norvessa
