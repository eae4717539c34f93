// Bound columns and rowsets: SQLBindCol, SQLFetch of one row or of an
// array of them, and SQLSetPos.

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"

namespace norvessa::testing::scripted {
namespace {

bool IsTextType(SQLSMALLINT c_type) {
  return c_type == SQL_C_CHAR || c_type == SQL_C_WCHAR ||
         c_type == SQL_C_BINARY;
}

// The C types a column can be bound to: those SQLGetData converts to.
bool IsBindable(SQLSMALLINT c_type) {
  switch (c_type) {
    case SQL_C_CHAR:
    case SQL_C_WCHAR:
    case SQL_C_BINARY:
    case SQL_C_SBIGINT:
    case SQL_C_SLONG:
    case SQL_C_LONG:
    case SQL_C_DOUBLE:
    case SQL_C_BIT:
    case SQL_C_TYPE_TIMESTAMP:
      return true;
    default:
      return false;
  }
}

// `base` moved on by `bytes`.
template <typename T>
T* Advanced(T* base, std::size_t bytes) {
  return reinterpret_cast<T*>(reinterpret_cast<char*>(base) + bytes);
}

}  // namespace

SQLRETURN Server::BindCol(SQLHSTMT handle, SQLUSMALLINT column,
                          SQLSMALLINT c_type, SQLPOINTER target,
                          SQLLEN buffer_length, SQLLEN* indicator) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLBindCol", column, c_type);
  auto finish = [&](SQLRETURN rc) {
    return Finish(*stmt, stmt->connection, std::move(call), rc);
  };
  // No bookmarks: column 0 is none.
  if (column < 1) {
    return finish(Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  if (target == nullptr) {
    stmt->columns.erase(column);
    return finish(SQL_SUCCESS);
  }
  if (!IsBindable(c_type)) {
    return finish(
        Fail(*stmt, nullptr, {"HY003", "Invalid application buffer type"}));
  }
  if (buffer_length < 0) {
    return finish(
        Fail(*stmt, nullptr, {"HY090", "Invalid string or buffer length"}));
  }
  stmt->columns[column] = {c_type, target, buffer_length, indicator};
  return finish(SQL_SUCCESS);
}

SQLUSMALLINT Server::FillRow(Statement& stmt, const ScriptResult& result,
                             std::size_t row, std::size_t slot) {
  // Column-wise, each column's elements follow one another; row-wise, the
  // bind type is the size of the application's row structure.
  const SQLULEN bind_type =
      stmt.Attribute(SQL_ATTR_ROW_BIND_TYPE, SQL_BIND_BY_COLUMN);
  const auto* offset_ptr = reinterpret_cast<const SQLLEN*>(
      stmt.Attribute(SQL_ATTR_ROW_BIND_OFFSET_PTR));
  const auto offset =
      static_cast<std::size_t>(offset_ptr != nullptr ? *offset_ptr : 0);
  const std::vector<ScriptValue>& values = result.rows[row];
  SQLUSMALLINT status = SQL_ROW_SUCCESS;
  for (const auto& [number, column] : stmt.columns) {
    std::size_t element = bind_type;
    std::size_t indicator_element = bind_type;
    if (bind_type == SQL_BIND_BY_COLUMN) {
      element = IsTextType(column.c_type)
                    ? static_cast<std::size_t>(column.buffer_length)
                    : FixedSize(column.c_type);
      indicator_element = sizeof(SQLLEN);
    }
    SQLLEN* indicator =
        column.indicator == nullptr
            ? nullptr
            : Advanced(column.indicator, offset + slot * indicator_element);
    const Stored stored = Store(
        stmt, number - 1u < values.size() ? values[number - 1] : ScriptValue(),
        column.c_type, Advanced(column.target, offset + slot * element),
        column.buffer_length, indicator, 0, 0);
    if (stored.rc == SQL_ERROR) {
      status = SQL_ROW_ERROR;
    } else if (stored.rc == SQL_SUCCESS_WITH_INFO &&
               status == SQL_ROW_SUCCESS) {
      status = SQL_ROW_SUCCESS_WITH_INFO;
    }
  }
  return status;
}

SQLRETURN Server::Fetch(SQLHSTMT handle) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLFetch");
  auto finish = [&](SQLRETURN rc) {
    return Finish(*stmt, stmt->connection, std::move(call), rc);
  };
  const ScriptResult* r = stmt->Current();
  if (r == nullptr || r->kind != ScriptResult::Kind::kRows) {
    return finish(Fail(*stmt, nullptr, {"24000", "Invalid cursor state"}));
  }
  if (!stmt->columns.empty() &&
      stmt->columns.rbegin()->first > r->columns.size()) {
    return finish(Fail(*stmt, nullptr, {"07009", "Invalid descriptor index"}));
  }
  const std::size_t size =
      std::max<SQLULEN>(stmt->Attribute(SQL_ATTR_ROW_ARRAY_SIZE, 1), 1);
  const std::size_t start = stmt->next_row;
  const std::size_t n =
      start < r->rows.size() ? std::min(size, r->rows.size() - start) : 0;
  stmt->rowset_size = size;
  stmt->rowset_start = start;
  stmt->rowset_rows = n;
  stmt->next_row = start + n;
  stmt->row = static_cast<long long>(n > 0 ? start : r->rows.size());
  stmt->data_column = 0;
  call.value = static_cast<long long>(n);
  if (auto* fetched = reinterpret_cast<SQLULEN*>(
          stmt->Attribute(SQL_ATTR_ROWS_FETCHED_PTR))) {
    *fetched = n;
  }
  auto* statuses =
      reinterpret_cast<SQLUSMALLINT*>(stmt->Attribute(SQL_ATTR_ROW_STATUS_PTR));
  std::size_t failed = 0;
  bool info = false;
  for (std::size_t slot = 0; slot < size; ++slot) {
    SQLUSMALLINT status = SQL_ROW_NOROW;
    if (slot < n) {
      status = FillRow(*stmt, *r, start + slot, slot);
      failed += status == SQL_ROW_ERROR ? 1 : 0;
      info = info || status == SQL_ROW_SUCCESS_WITH_INFO;
    }
    if (statuses != nullptr) statuses[slot] = status;
  }
  if (n == 0) return finish(SQL_NO_DATA);
  // An error in some rows of a rowset, not all, is a warning.
  if (failed == n) return finish(SQL_ERROR);
  return finish(failed > 0 || info ? SQL_SUCCESS_WITH_INFO : SQL_SUCCESS);
}

SQLRETURN Server::SetPos(SQLHSTMT handle, SQLSETPOSIROW row,
                         SQLUSMALLINT operation, SQLUSMALLINT /*lock_type*/) {
  auto* stmt = Find<Statement>(handle, SQL_HANDLE_STMT);
  if (stmt == nullptr) return SQL_INVALID_HANDLE;
  stmt->diagnostics.clear();
  Call call = Named("SQLSetPos", static_cast<long>(row), operation);
  auto finish = [&](SQLRETURN rc) {
    return Finish(*stmt, stmt->connection, std::move(call), rc);
  };
  // A read-only cursor: it only moves.
  if (operation != SQL_POSITION) {
    return finish(
        Fail(*stmt, nullptr, {"HYC00", "Optional feature not implemented"}));
  }
  if (stmt->rowset_rows == 0) {
    return finish(Fail(*stmt, nullptr, {"24000", "Invalid cursor state"}));
  }
  if (row == 0) {
    return finish(Fail(*stmt, nullptr, {"HY109", "Invalid cursor position"}));
  }
  if (row > stmt->rowset_rows) {
    return finish(Fail(*stmt, nullptr, {"HY107", "Row value out of range"}));
  }
  stmt->row = static_cast<long long>(stmt->rowset_start + row - 1);
  stmt->data_column = 0;
  return finish(SQL_SUCCESS);
}

}  // namespace norvessa::testing::scripted
