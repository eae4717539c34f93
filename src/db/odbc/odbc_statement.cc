#include "db/odbc/odbc_statement.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "db/driver_error.h"
#include "db/odbc/driver_text.h"
#include "db/sql_lexer.h"
#include "text/ascii.h"
#include "text/utf8.h"

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

const ParamValue& Find(const std::vector<Param>& params,
                       const std::string& name) {
  static const ParamValue kNull;
  for (const Param& p : params) {
    if (!p.name.empty() && EqualsIgnoreCase(p.name, name)) return p.value;
  }
  return kNull;
}

// The value of the `n`th "?" marker (from 0): the `n`th parameter without a
// name.
const ParamValue& Positional(const std::vector<Param>& params, std::size_t n) {
  for (const Param& p : params) {
    if (!p.name.empty()) continue;
    if (n == 0) return p.value;
    --n;
  }
  throw DriverError("The statement has more ? markers than values");
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

OdbcDiagnostics Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  OdbcDiagnostics d;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRec(type, handle, record, state, &native,
                                       text, sizeof text, &length);
    if (!OdbcOk(rc)) break;
    // The state that says most: a lost link (class 08) wherever it is
    // listed, else a deadlock, else the first.
    const std::string found = reinterpret_cast<char*>(state);
    auto link = [](const std::string& s) {
      return s.rfind("08", 0) == 0 || s == "HYT01";
    };
    if (d.sqlstate.empty() || (link(found) && !link(d.sqlstate)) ||
        (found == "40001" && !link(d.sqlstate) && d.sqlstate != "40001")) {
      d.sqlstate = found;
    }
    if (!d.message.empty()) d.message += "; ";
    d.message += reinterpret_cast<char*>(text);
  }
  if (d.message.empty()) d.message = "ODBC call failed";
  return d;
}

OdbcStatement::OdbcStatement(SQLHDBC dbc, int timeout_seconds, bool freetds,
                             OdbcFailureHandler& failure)
    : failure_(failure), freetds_(freetds) {
  if (!OdbcOk(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt_))) {
    stmt_ = SQL_NULL_HSTMT;
    throw failure_.Diagnosed(SQL_HANDLE_DBC, dbc);
  }
  SQLSetStmtAttr(
      stmt_, SQL_ATTR_QUERY_TIMEOUT,
      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_seconds)), 0);
}

OdbcStatement::~OdbcStatement() {
  if (stmt_ == SQL_NULL_HSTMT) return;
  SQLFreeStmt(stmt_, SQL_CLOSE);
  SQLFreeHandle(SQL_HANDLE_STMT, stmt_);
}

std::string OdbcStatement::MarkText(std::string_view sql,
                                    std::vector<Marker>& markers) {
  markers.clear();
  if (sql.find_first_of(":?") == std::string_view::npos) {
    return std::string(sql);
  }
  std::vector<SqlToken> tokens = TokenizeSql(sql);
  std::size_t positional = 0;
  for (SqlToken& t : tokens) {
    if (t.kind != SqlTokenKind::kParameter) continue;
    if (t.text[0] == '?') {
      markers.push_back({{}, positional++});
    } else {
      markers.push_back({t.text.substr(1), 0});
    }
    t = {SqlTokenKind::kOperator, "?"};
  }
  return JoinTokens(tokens);
}

void OdbcStatement::Run(std::string_view sql,
                        const std::vector<Param>& params) {
  std::vector<Marker> markers;
  std::string text = MarkText(sql, markers);
  SQLUSMALLINT index = 0;
  for (const Marker& m : markers) {
    Bind(++index, m.name.empty() ? Positional(params, m.position)
                                 : Find(params, m.name));
  }
  const SQLRETURN rc =
      SQLExecDirect(stmt_, reinterpret_cast<SQLCHAR*>(text.data()),
                    static_cast<SQLINTEGER>(text.size()));
  if (!OdbcOk(rc) && rc != SQL_NO_DATA) Fail();
}

void OdbcStatement::Prepare(std::string_view sql) {
  std::string text = MarkText(sql, markers_);
  const SQLRETURN rc =
      SQLPrepare(stmt_, reinterpret_cast<SQLCHAR*>(text.data()),
                 static_cast<SQLINTEGER>(text.size()));
  if (!OdbcOk(rc)) Fail();
}

void OdbcStatement::Execute(const std::vector<Param>& params) {
  // What the last run left: its cursor, its values and their buffers.
  SQLFreeStmt(stmt_, SQL_CLOSE);
  SQLFreeStmt(stmt_, SQL_RESET_PARAMS);
  buffers_.clear();
  sql_types_.clear();
  SQLUSMALLINT index = 0;
  for (const Marker& m : markers_) {
    Bind(++index, m.name.empty() ? Positional(params, m.position)
                                 : Find(params, m.name));
  }
  const SQLRETURN rc = SQLExecute(stmt_);
  if (!OdbcOk(rc) && rc != SQL_NO_DATA) Fail();
}

std::int64_t OdbcStatement::RowCount() {
  SQLLEN count = 0;
  if (!OdbcOk(SQLRowCount(stmt_, &count))) return -1;
  return count;
}

bool OdbcStatement::SeekResultWithColumns() {
  while (true) {
    SQLSMALLINT columns = 0;
    if (!OdbcOk(SQLNumResultCols(stmt_, &columns))) Fail();
    if (columns > 0) return true;
    if (!NextResult()) return false;
  }
}

void OdbcStatement::Drain() {
  while (NextResult()) {
  }
}

void OdbcStatement::ReadRows(
    const std::function<void(const std::vector<ResultColumn>&)>& begin,
    const std::function<void(Row&)>& on_row) {
  std::vector<ResultColumn> columns;
  if (!SeekResultWithColumns()) {
    begin(columns);
    return;
  }
  SQLSMALLINT count = 0;
  if (!OdbcOk(SQLNumResultCols(stmt_, &count))) Fail();
  sql_types_.clear();
  for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
    SQLCHAR name[256] = {};
    SQLSMALLINT name_length = 0, sql_type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    if (!OdbcOk(SQLDescribeCol(stmt_, i, name, sizeof name, &name_length,
                               &sql_type, &size, &digits, &nullable))) {
      Fail();
    }
    ResultColumn column;
    column.name = reinterpret_cast<char*>(name);
    column.type = TypeOfColumn(sql_type, size, column.size);
    columns.push_back(std::move(column));
    sql_types_.push_back(sql_type);
  }
  begin(columns);
  Row row;
  while (true) {
    const SQLRETURN rc = SQLFetch(stmt_);
    if (rc == SQL_NO_DATA) break;
    if (!OdbcOk(rc)) Fail();
    row.resize(columns.size());
    for (SQLUSMALLINT i = 1; i <= static_cast<SQLUSMALLINT>(count); ++i) {
      row[i - 1] = Read(i, columns[i - 1]);
    }
    on_row(row);
  }
  Drain();
}

ResultSet OdbcStatement::ReadAll() {
  ResultSet result;
  ReadRows(
      [&](const std::vector<ResultColumn>& columns) {
        result.columns = columns;
      },
      [&](Row& row) { result.rows.push_back(std::move(row)); });
  return result;
}

void OdbcStatement::Fail() { throw failure_.Diagnosed(SQL_HANDLE_STMT, stmt_); }

bool OdbcStatement::NextResult() {
  const SQLRETURN rc = SQLMoreResults(stmt_);
  if (rc == SQL_NO_DATA) return false;
  if (!OdbcOk(rc)) Fail();
  return true;
}

void OdbcStatement::Bind(SQLUSMALLINT index, const ParamValue& value) {
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
      size = freetds_ ? units : kUnlimited;
    }
    rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_WCHAR,
                          SQL_WVARCHAR, size, 0, b.text.data(),
                          static_cast<SQLLEN>(b.text.size() * sizeof(SQLWCHAR)),
                          &b.indicator);
  } else if (const auto* i = std::get_if<std::int64_t>(&value)) {
    if (*i >= INT32_MIN && *i <= INT32_MAX) {
      // As the int columns it is compared with: no conversion of the
      // column stands between the server and an index seek.
      b.integer32 = static_cast<SQLINTEGER>(*i);
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_SLONG,
                            SQL_INTEGER, 0, 0, &b.integer32, 0, nullptr);
    } else {
      b.integer = *i;
      rc = SQLBindParameter(stmt_, index, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                            SQL_BIGINT, 0, 0, &b.integer, 0, nullptr);
    }
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
  if (!OdbcOk(rc)) Fail();
}

// Reads a long value in pieces. A truncated text piece may hold fewer
// bytes than the buffer (a driver may stop short of a character it
// cannot cut), so its length is found at its terminator; the last piece
// has the length the driver gives.
std::optional<std::string> OdbcStatement::ReadChunks(SQLUSMALLINT column,
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
    if (!OdbcOk(rc)) Fail();
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

FieldValue OdbcStatement::Read(SQLUSMALLINT column, const ResultColumn& info) {
  SQLLEN indicator = 0;
  const SQLSMALLINT sql_type = sql_types_[column - 1];
  switch (KindOf(info.type)) {
    case FieldKind::kInteger: {
      SQLBIGINT v = 0;
      if (!OdbcOk(
              SQLGetData(stmt_, column, SQL_C_SBIGINT, &v, 0, &indicator))) {
        Fail();
      }
      if (indicator == SQL_NULL_DATA) return std::monostate{};
      return static_cast<std::int64_t>(v);
    }
    case FieldKind::kBoolean: {
      unsigned char v = 0;
      if (!OdbcOk(SQLGetData(stmt_, column, SQL_C_BIT, &v, 0, &indicator))) {
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

FieldValue OdbcStatement::ReadTimestamp(SQLUSMALLINT column,
                                        const ResultColumn& info) {
  SQL_TIMESTAMP_STRUCT ts{};
  SQLLEN indicator = 0;
  if (!OdbcOk(SQLGetData(stmt_, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts,
                         &indicator))) {
    Fail();
  }
  if (indicator == SQL_NULL_DATA) return std::monostate{};
  try {
    return DateTime::FromParts(ts.year, ts.month, ts.day, ts.hour, ts.minute,
                               ts.second,
                               static_cast<int>(ts.fraction / 1000000));
  } catch (const std::invalid_argument&) {
    throw DriverError("Invalid date and time in column " + info.name);
  }
}

}  // namespace norvessa
