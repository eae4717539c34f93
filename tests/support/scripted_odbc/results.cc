// Reading results: columns, values and their conversions, further results
// and counts.

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"
#include "support/scripted_odbc/text_codec.h"

namespace norvessa::testing::scripted {
namespace {

// yyyy-mm-dd[( |T)hh:mm:ss[.fffffffff]]
bool ParseTimestamp(std::string_view s, SQL_TIMESTAMP_STRUCT& ts) {
  s = Trim(s);
  std::size_t i = 0;
  auto number = [&](std::size_t digits, int& out) {
    if (i + digits > s.size()) return false;
    out = 0;
    for (std::size_t k = 0; k < digits; ++k, ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      out = out * 10 + (s[i] - '0');
    }
    return true;
  };
  auto expect = [&](char c) { return i < s.size() && s[i++] == c; };
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  if (!number(4, year) || !expect('-') || !number(2, month) || !expect('-') ||
      !number(2, day)) {
    return false;
  }
  unsigned fraction = 0;
  if (i < s.size()) {
    if (s[i] != ' ' && s[i] != 'T') return false;
    ++i;
    if (!number(2, hour) || !expect(':') || !number(2, minute) ||
        !expect(':') || !number(2, second)) {
      return false;
    }
    if (i < s.size()) {
      if (!expect('.')) return false;
      std::size_t digits = 0;
      for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i, ++digits) {
        if (digits < 9) fraction = fraction * 10 + (s[i] - '0');
      }
      if (digits == 0 || i != s.size()) return false;
      for (; digits < 9; ++digits) fraction *= 10;
    }
  }
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  ts.year = static_cast<SQLSMALLINT>(year);
  ts.month = static_cast<SQLUSMALLINT>(month);
  ts.day = static_cast<SQLUSMALLINT>(day);
  ts.hour = static_cast<SQLUSMALLINT>(hour);
  ts.minute = static_cast<SQLUSMALLINT>(minute);
  ts.second = static_cast<SQLUSMALLINT>(second);
  ts.fraction = fraction;
  return true;
}

std::optional<double> ParseDouble(std::string_view s) {
  s = Trim(s);
  double v = 0;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), v);
  if (result.ec != std::errc() || result.ptr != s.data() + s.size()) {
    return std::nullopt;
  }
  return v;
}

// A whole number; `fraction_lost` when text with decimals was cut.
std::optional<long long> ParseWhole(std::string_view s, bool& fraction_lost) {
  s = Trim(s);
  fraction_lost = false;
  long long v = 0;
  const auto result = std::from_chars(s.data(), s.data() + s.size(), v);
  if (result.ec == std::errc() && result.ptr == s.data() + s.size()) return v;
  const auto d = ParseDouble(s);
  if (!d || !std::isfinite(*d) || std::fabs(*d) >= 9.2e18) return std::nullopt;
  fraction_lost = std::trunc(*d) != *d;
  return static_cast<long long>(std::trunc(*d));
}

}  // namespace

SQLRETURN Server::NumResultCols(SQLHSTMT handle, SQLSMALLINT* count) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  const ScriptResult* r = stmt->Current();
  const auto columns = static_cast<SQLSMALLINT>(
      r != nullptr && r->kind == ScriptResult::Kind::kRows ? r->columns.size()
                                                           : 0);
  if (count != nullptr) *count = columns;
  return Finish(*stmt, stmt->connection, Named("SQLNumResultCols", 0, columns),
                SQL_SUCCESS);
}

SQLRETURN Server::DescribeCol(SQLHSTMT handle, SQLUSMALLINT column,
                              SQLCHAR* name, SQLSMALLINT buffer_length,
                              SQLSMALLINT* name_length, SQLSMALLINT* sql_type,
                              SQLULEN* size, SQLSMALLINT* digits,
                              SQLSMALLINT* nullable) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLDescribeCol", column);
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows) {
    return Finish(
        *stmt, stmt->connection, std::move(call),
        Fail(*stmt, nullptr, {"07005", "The statement returns no result set"}));
  }
  if (column < 1 || column > r->columns.size()) {
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  const ScriptColumn& col = r->columns[column - 1];
  const std::string text = NarrowOut(*stmt->connection, col.name);
  call.text = col.name;
  SQLRETURN rc = SQL_SUCCESS;
  if (name_length != nullptr) {
    *name_length = static_cast<SQLSMALLINT>(text.size());
  }
  if (name != nullptr && CopyOut(text, name, buffer_length)) {
    Diagnose(*stmt, "01004", "String data, right truncated");
    rc = SQL_SUCCESS_WITH_INFO;
  }
  if (sql_type != nullptr) *sql_type = static_cast<SQLSMALLINT>(col.sql_type);
  if (size != nullptr) *size = col.size;
  if (digits != nullptr) *digits = static_cast<SQLSMALLINT>(col.digits);
  if (nullable != nullptr) *nullable = SQL_NULLABLE;
  return Finish(*stmt, stmt->connection, std::move(call), rc);
}

SQLRETURN Server::GetData(SQLHSTMT handle, SQLUSMALLINT column,
                          SQLSMALLINT c_type, SQLPOINTER target,
                          SQLLEN buffer_length, SQLLEN* indicator) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLGetData", column, c_type);
  auto finish = [&](SQLRETURN rc) {
    return Finish(*stmt, stmt->connection, std::move(call), rc);
  };
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows || stmt->row < 0 ||
      stmt->row >= static_cast<long long>(r->rows.size())) {
    return finish(Fail(*stmt, nullptr, {"24000", "Invalid cursor state"}));
  }
  // Within a rowset of more rows only where the driver says SQL_GD_BLOCK.
  if (stmt->rowset_size > 1 &&
      (GetDataExtensions(stmt->connection->personality) & SQL_GD_BLOCK) == 0) {
    return finish(
        Fail(*stmt, nullptr, {"HYC00", "Optional feature not implemented"}));
  }
  if (column < 1 || column > r->columns.size()) {
    return finish(Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  if (column != stmt->data_column) {
    stmt->data_column = column;
    stmt->data_offset = 0;
    stmt->data_done = false;
  }
  if (stmt->data_done) return finish(SQL_NO_DATA);
  const auto& row = r->rows[static_cast<std::size_t>(stmt->row)];
  const Stored stored =
      Store(*stmt, column - 1u < row.size() ? row[column - 1] : ScriptValue(),
            c_type, target, buffer_length, indicator, stmt->data_offset,
            c_type == SQL_C_CHAR ? piece_bytes_ : 0);
  stmt->data_offset += stored.taken;
  if (stored.rc != SQL_ERROR) stmt->data_done = stored.whole;
  return finish(stored.rc);
}

Stored Server::Store(Statement& stmt, const ScriptValue& value,
                     SQLSMALLINT c_type, SQLPOINTER target,
                     SQLLEN buffer_length, SQLLEN* indicator,
                     std::size_t offset, std::size_t piece) {
  if (!value) {
    if (indicator == nullptr) {
      return {Fail(stmt, nullptr,
                   {"22002", "Indicator variable required but not supplied"})};
    }
    *indicator = SQL_NULL_DATA;
    return {};
  }
  switch (c_type) {
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
    case SQL_C_BINARY:
      return StoreText(stmt, *value, c_type, target, buffer_length, indicator,
                       offset, piece);
    default:
      return {StoreFixed(stmt, *value, c_type, target, indicator)};
  }
}

Stored Server::StoreText(Statement& stmt, const std::string& value,
                         SQLSMALLINT c_type, SQLPOINTER target,
                         SQLLEN buffer_length, SQLLEN* indicator,
                         std::size_t offset, std::size_t piece) {
  std::string data;
  std::size_t unit = 1;
  std::size_t terminator = 0;
  if (c_type == SQL_C_CHAR) {
    data = NarrowOut(*stmt.connection, value);
    terminator = 1;
  } else if (c_type == SQL_C_WCHAR) {
    const std::u16string wide = EncodeUtf16(DecodeUtf8(value));
    data.assign(reinterpret_cast<const char*>(wide.data()), 2 * wide.size());
    unit = terminator = 2;
  } else {
    data = value;
  }
  const std::size_t remaining = data.size() - std::min(offset, data.size());
  std::size_t capacity = 0;
  if (target != nullptr && buffer_length >= static_cast<SQLLEN>(terminator)) {
    capacity =
        (static_cast<std::size_t>(buffer_length) - terminator) / unit * unit;
  }
  if (piece > 0) capacity = std::min(capacity, piece);
  const std::size_t n = std::min(remaining, capacity);
  if (target != nullptr && buffer_length >= static_cast<SQLLEN>(terminator)) {
    std::memcpy(target, data.data() + offset, n);
    std::memset(static_cast<char*>(target) + n, 0, terminator);
  }
  // What was left before this call, in the target's encoding.
  if (indicator != nullptr) *indicator = static_cast<SQLLEN>(remaining);
  if (n < remaining) {
    Diagnose(stmt, "01004", "String data, right truncated");
    return {SQL_SUCCESS_WITH_INFO, n, false};
  }
  return {SQL_SUCCESS, n, true};
}

SQLRETURN Server::StoreFixed(Statement& stmt, const std::string& value,
                             SQLSMALLINT c_type, SQLPOINTER target,
                             SQLLEN* indicator) {
  const Failure invalid{"22018", "Invalid character value for the target type"};
  const Failure out_of_range{"22003", "Numeric value out of range"};
  auto store = [&](const auto& v) {
    if (target != nullptr) std::memcpy(target, &v, sizeof v);
    if (indicator != nullptr) *indicator = sizeof v;
  };
  bool fraction_lost = false;
  switch (c_type) {
    case SQL_C_SBIGINT:
    case SQL_C_SLONG:
    case SQL_C_LONG: {
      const auto v = ParseWhole(value, fraction_lost);
      if (!v) return Fail(stmt, nullptr, invalid);
      if (c_type == SQL_C_SBIGINT) {
        store(static_cast<SQLBIGINT>(*v));
      } else if (*v < std::numeric_limits<SQLINTEGER>::min() ||
                 *v > std::numeric_limits<SQLINTEGER>::max()) {
        return Fail(stmt, nullptr, out_of_range);
      } else {
        store(static_cast<SQLINTEGER>(*v));
      }
      break;
    }
    case SQL_C_DOUBLE: {
      const auto v = ParseDouble(value);
      if (!v) return Fail(stmt, nullptr, invalid);
      store(*v);
      break;
    }
    case SQL_C_BIT: {
      std::optional<unsigned char> bit;
      if (EqualsIgnoringAsciiCase(Trim(value), "true")) bit = 1;
      if (EqualsIgnoringAsciiCase(Trim(value), "false")) bit = 0;
      if (!bit) {
        const auto d = ParseDouble(value);
        if (!d) return Fail(stmt, nullptr, invalid);
        if (*d < 0 || *d >= 2) return Fail(stmt, nullptr, out_of_range);
        fraction_lost = *d != 0 && *d != 1;
        bit = static_cast<unsigned char>(*d);
      }
      store(*bit);
      break;
    }
    case SQL_C_TYPE_TIMESTAMP: {
      SQL_TIMESTAMP_STRUCT ts{};
      if (!ParseTimestamp(value, ts)) return Fail(stmt, nullptr, invalid);
      store(ts);
      break;
    }
    default:
      return Fail(stmt, nullptr,
                  {"07006", "Restricted data type attribute violation"});
  }
  if (fraction_lost) {
    Diagnose(stmt, "01S07", "Fractional truncation");
    return SQL_SUCCESS_WITH_INFO;
  }
  return SQL_SUCCESS;
}

SQLRETURN Server::MoreResults(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLMoreResults");
  if (stmt->current < stmt->results.size()) ++stmt->current;
  stmt->StartResult();
  const ScriptResult* r = stmt->Current();
  if (r == nullptr) {
    return Finish(*stmt, stmt->connection, std::move(call), SQL_NO_DATA);
  }
  if (r->kind == ScriptResult::Kind::kError) {
    const Failure failure = FailureOf(*r);
    if (failure.sqlstate == "40001") BackendRolledBack(*stmt->connection);
    // Nothing comes after a result that took the connection down.
    if (failure.kills_connection) stmt->results.resize(stmt->current + 1);
    return Finish(*stmt, stmt->connection, std::move(call),
                  Fail(*stmt, stmt->connection, failure));
  }
  return Finish(*stmt, stmt->connection, std::move(call), SQL_SUCCESS);
}

SQLRETURN Server::RowCount(SQLHSTMT handle, SQLLEN* count) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  const ScriptResult* r = stmt->Current();
  const SQLLEN answer = r != nullptr && r->kind == ScriptResult::Kind::kCount
                            ? static_cast<SQLLEN>(r->count)
                            : -1;
  if (count != nullptr) *count = answer;
  return Finish(*stmt, stmt->connection, Named("SQLRowCount", 0, answer),
                SQL_SUCCESS);
}

SQLRETURN Server::FreeStmt(SQLHSTMT handle, SQLUSMALLINT option) {
  if (option == SQL_DROP) return FreeHandle(SQL_HANDLE_STMT, handle);
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  // SQL_CLOSE keeps what was prepared, and the parameters and columns
  // bound, for the next SQLExecute.
  if (option == SQL_CLOSE) {
    stmt->CloseCursor();
  } else if (option == SQL_UNBIND) {
    stmt->columns.clear();
  } else if (option == SQL_RESET_PARAMS) {
    stmt->parameters.clear();
  }
  return Finish(*stmt, stmt->connection, Named("SQLFreeStmt", 0, option),
                SQL_SUCCESS);
}

SQLRETURN Server::CloseCursor(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  stmt->CloseCursor();
  return Finish(*stmt, stmt->connection, Named("SQLCloseCursor"), SQL_SUCCESS);
}

SQLRETURN Server::Cancel(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  return Finish(*stmt, stmt->connection, Named("SQLCancel"), SQL_SUCCESS);
}

}  // namespace norvessa::testing::scripted
