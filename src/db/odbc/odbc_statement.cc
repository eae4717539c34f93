#include "db/odbc/odbc_statement.h"

#include <algorithm>
#include <cstring>
#include <memory>
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

// Reading in blocks: the buffers of one block take about this much memory,
// and a block holds at most this many rows.
constexpr std::size_t kBlockBytes = 256 * 1024;
constexpr std::size_t kMaxBlockRows = 256;
// The largest buffer a bound value gets; a column whose values may be
// longer makes its result read value by value, in pieces.
constexpr SQLLEN kMaxBoundBytes = 8000;
// A time(7) as text, "14:05:09.1234567", or a datetimeoffset,
// "2024-03-05 14:05:09.1234567 -03:00", with room to spare.
constexpr SQLLEN kClockTextBytes = 48;
// A float as text, "-1.7976931348623157E+308" the longest.
constexpr SQLLEN kFloatTextBytes = 40;

using As = OdbcColumnRead::As;

// Text as SQL_C_CHAR in UTF-8: up to four bytes a character of the
// declared size, and the terminator.
SQLLEN TextWidth(SQLULEN characters) {
  if (characters == 0 ||
      characters > static_cast<SQLULEN>((kMaxBoundBytes - 1) / 4)) {
    return 0;
  }
  return static_cast<SQLLEN>(characters * 4 + 1);
}

OdbcColumnRead ReadOf(const ResultColumn& info, SQLSMALLINT sql_type,
                      SQLULEN size) {
  // text, ntext and image, whatever size the driver gives them.
  if (sql_type == SQL_LONGVARCHAR || sql_type == SQL_WLONGVARCHAR ||
      sql_type == SQL_LONGVARBINARY) {
    size = 0;
  }
  switch (KindOf(info.type)) {
    case FieldKind::kInteger:
      return {As::kInteger, SQL_C_SBIGINT, sizeof(SQLBIGINT)};
    case FieldKind::kBoolean:
      return {As::kBit, SQL_C_BIT, sizeof(unsigned char)};
    case FieldKind::kDateTime:
      if (info.type != FieldType::kTime && sql_type != kSsTimestampOffset) {
        return {As::kTimestamp, SQL_C_TYPE_TIMESTAMP,
                sizeof(SQL_TIMESTAMP_STRUCT)};
      }
      // time(7) has more digits than a time struct holds, and a
      // datetimeoffset's offset fits no struct of plain ODBC: as text.
      return {As::kParsedText, SQL_C_CHAR, kClockTextBytes};
    case FieldKind::kDecimal: {
      // Exact decimals arrive as text, so 12.3400 keeps its digits: at
      // most the precision's digits, a sign, a point and a leading zero.
      if (sql_type != SQL_NUMERIC && sql_type != SQL_DECIMAL) {
        return {As::kParsedText, SQL_C_CHAR, kFloatTextBytes};
      }
      const SQLULEN precision = size > 0 && size <= 38 ? size : 38;
      return {As::kParsedText, SQL_C_CHAR, static_cast<SQLLEN>(precision + 4)};
    }
    case FieldKind::kLargeObject:
      return {As::kBinary, SQL_C_BINARY,
              size <= static_cast<SQLULEN>(kMaxBoundBytes)
                  ? static_cast<SQLLEN>(size)
                  : 0};
    default:
      return {As::kText, SQL_C_CHAR, TextWidth(size)};
  }
}

FieldValue FromTimestamp(const SQL_TIMESTAMP_STRUCT& ts,
                         const ResultColumn& info) {
  try {
    return DateTime::FromParts(ts.year, ts.month, ts.day, ts.hour, ts.minute,
                               ts.second,
                               static_cast<int>(ts.fraction / 1000000));
  } catch (const std::invalid_argument&) {
    throw DriverError("Invalid date and time in column " + info.name);
  }
}

// A value the driver gave as text or bytes.
FieldValue FromData(As as, std::string data, const ResultColumn& info) {
  if (as == As::kParsedText) {
    return FieldValueFromDriverText(info.type, data, info.name);
  }
  return data;
}

template <typename T>
T Load(const char* element) {
  T v;
  std::memcpy(&v, element, sizeof v);
  return v;
}

// The columns of a result bound to arrays, column-wise, for blocks of rows.
// Whichever way it ends, it unbinds them and sets the statement back to one
// row per fetch, so no buffer outlives its binding and a prepared
// statement runs again cleanly whatever the shape of its next result.
//
// Every column is bound, and SQLGetData is never called inside a block:
// that is what ODBC allows without SQL_GD_BLOCK, and SQL_GD_BLOCK cannot be
// trusted. FreeTDS reports it, yet on a default cursor its SQLGetData reads
// the block's last row whatever row was asked for.
class RowArray {
 public:
  RowArray(SQLHSTMT stmt, const std::vector<OdbcColumnRead>& reads)
      : stmt_(stmt), reads_(reads) {
    std::size_t row_bytes = sizeof(SQLUSMALLINT);
    for (const OdbcColumnRead& read : reads_) {
      row_bytes += static_cast<std::size_t>(read.width) + sizeof(SQLLEN);
    }
    rows_ = std::clamp<std::size_t>(kBlockBytes / row_bytes, 1, kMaxBlockRows);
    status_.resize(rows_);
  }
  ~RowArray() {
    if (!bound_) return;
    SQLFreeStmt(stmt_, SQL_UNBIND);
    SQLSetStmtAttr(stmt_, SQL_ATTR_ROW_ARRAY_SIZE,
                   reinterpret_cast<SQLPOINTER>(SQLULEN{1}), 0);
    SQLSetStmtAttr(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    SQLSetStmtAttr(stmt_, SQL_ATTR_ROW_STATUS_PTR, nullptr, 0);
  }
  RowArray(const RowArray&) = delete;
  RowArray& operator=(const RowArray&) = delete;

  // False when the driver refused a call; its diagnostics are the
  // statement's.
  bool Bind() {
    bound_ = true;
    columns_.resize(reads_.size());
    for (std::size_t i = 0; i < reads_.size(); ++i) {
      Column& c = columns_[i];
      // Not zeroed: a block's buffers are far larger than the few rows
      // most results fill.
      c.values = std::make_unique_for_overwrite<char[]>(
          rows_ * static_cast<std::size_t>(reads_[i].width));
      c.lengths.resize(rows_);
      if (!OdbcOk(SQLBindCol(stmt_, static_cast<SQLUSMALLINT>(i + 1),
                             reads_[i].c_type, c.values.get(), reads_[i].width,
                             c.lengths.data()))) {
        return false;
      }
    }
    return OdbcOk(SQLSetStmtAttr(stmt_, SQL_ATTR_ROW_ARRAY_SIZE,
                                 reinterpret_cast<SQLPOINTER>(rows_), 0)) &&
           OdbcOk(SQLSetStmtAttr(stmt_, SQL_ATTR_ROWS_FETCHED_PTR, &fetched_,
                                 0)) &&
           OdbcOk(SQLSetStmtAttr(stmt_, SQL_ATTR_ROW_STATUS_PTR, status_.data(),
                                 0));
  }

  // The rows the last fetch filled.
  std::size_t fetched() const { return static_cast<std::size_t>(fetched_); }

  // Whether the driver could not read one of the rows fetched.
  bool AnyRowFailed() const {
    return std::any_of(status_.begin(), status_.begin() + fetched(),
                       [](SQLUSMALLINT s) { return s == SQL_ROW_ERROR; });
  }

  FieldValue Value(std::size_t column, std::size_t row,
                   const ResultColumn& info) const {
    const OdbcColumnRead& read = reads_[column];
    const SQLLEN length = columns_[column].lengths[row];
    if (length == SQL_NULL_DATA) return std::monostate{};
    const char* element = columns_[column].values.get() +
                          row * static_cast<std::size_t>(read.width);
    switch (read.as) {
      case As::kInteger:
        return static_cast<std::int64_t>(Load<SQLBIGINT>(element));
      case As::kBit:
        return Load<unsigned char>(element) != 0;
      case As::kTimestamp:
        return FromTimestamp(Load<SQL_TIMESTAMP_STRUCT>(element), info);
      default:
        break;
    }
    // A value cut to its buffer is never passed on as if it were whole.
    const SQLLEN room = read.width - (read.c_type == SQL_C_CHAR ? 1 : 0);
    if (length == SQL_NO_TOTAL || length < 0 || length > room) {
      throw DriverError("A value of column " + info.name +
                        " is longer than its declared size allows (" +
                        std::to_string(room) + " bytes)");
    }
    return FromData(
        read.as, std::string(element, static_cast<std::size_t>(length)), info);
  }

 private:
  struct Column {
    std::unique_ptr<char[]> values;
    std::vector<SQLLEN> lengths;
  };

  SQLHSTMT stmt_;
  const std::vector<OdbcColumnRead>& reads_;
  std::size_t rows_ = 1;
  std::vector<Column> columns_;
  std::vector<SQLUSMALLINT> status_;
  SQLULEN fetched_ = 0;
  bool bound_ = false;
};

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
  reads_.clear();
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
    reads_.push_back(ReadOf(column, sql_type, size));
    columns.push_back(std::move(column));
  }
  begin(columns);
  const bool bounded =
      std::all_of(reads_.begin(), reads_.end(),
                  [](const OdbcColumnRead& read) { return read.width > 0; });
  if (bounded) {
    ReadInBlocks(columns, on_row);
  } else {
    ReadEachValue(columns, on_row);
  }
  Drain();
}

void OdbcStatement::ReadInBlocks(const std::vector<ResultColumn>& columns,
                                 const std::function<void(Row&)>& on_row) {
  RowArray block(stmt_, reads_);
  if (!block.Bind()) Fail();
  Row row;
  while (true) {
    const SQLRETURN rc = SQLFetch(stmt_);
    if (rc == SQL_NO_DATA) break;
    if (!OdbcOk(rc) || block.AnyRowFailed()) Fail();
    for (std::size_t r = 0; r < block.fetched(); ++r) {
      row.resize(columns.size());
      for (std::size_t i = 0; i < columns.size(); ++i) {
        row[i] = block.Value(i, r, columns[i]);
      }
      on_row(row);
    }
  }
}

void OdbcStatement::ReadEachValue(const std::vector<ResultColumn>& columns,
                                  const std::function<void(Row&)>& on_row) {
  Row row;
  while (true) {
    const SQLRETURN rc = SQLFetch(stmt_);
    if (rc == SQL_NO_DATA) break;
    if (!OdbcOk(rc)) Fail();
    row.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
      row[i] = Read(static_cast<SQLUSMALLINT>(i + 1), columns[i]);
    }
    on_row(row);
  }
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
  const OdbcColumnRead& read = reads_[column - 1];
  SQLLEN indicator = 0;
  switch (read.as) {
    case As::kInteger: {
      SQLBIGINT v = 0;
      if (!OdbcOk(
              SQLGetData(stmt_, column, SQL_C_SBIGINT, &v, 0, &indicator))) {
        Fail();
      }
      if (indicator == SQL_NULL_DATA) return std::monostate{};
      return static_cast<std::int64_t>(v);
    }
    case As::kBit: {
      unsigned char v = 0;
      if (!OdbcOk(SQLGetData(stmt_, column, SQL_C_BIT, &v, 0, &indicator))) {
        Fail();
      }
      if (indicator == SQL_NULL_DATA) return std::monostate{};
      return v != 0;
    }
    case As::kTimestamp: {
      SQL_TIMESTAMP_STRUCT ts{};
      if (!OdbcOk(SQLGetData(stmt_, column, SQL_C_TYPE_TIMESTAMP, &ts,
                             sizeof ts, &indicator))) {
        Fail();
      }
      if (indicator == SQL_NULL_DATA) return std::monostate{};
      return FromTimestamp(ts, info);
    }
    default: {
      auto data = ReadChunks(column, read.c_type);
      if (!data) return std::monostate{};
      return FromData(read.as, std::move(*data), info);
    }
  }
}

}  // namespace norvessa
