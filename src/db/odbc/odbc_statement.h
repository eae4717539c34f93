#ifndef NORVESSA_DB_ODBC_ODBC_STATEMENT_H_
#define NORVESSA_DB_ODBC_ODBC_STATEMENT_H_

// Inside the ODBC driver only: this header brings in unixODBC's.

#include <sql.h>
#include <sqlext.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/driver_error.h"

namespace norvessa {

inline bool OdbcOk(SQLRETURN rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO;
}

struct OdbcDiagnostics {
  std::string message;
  // Of the first record, unless a later one says the link was lost (class
  // 08) or the transaction was a deadlock's victim (40001): a driver may
  // list a general HY000 first.
  std::string sqlstate;
};

// Every diagnostic record of `handle`, joined with "; ".
OdbcDiagnostics Diagnose(SQLSMALLINT handle_type, SQLHANDLE handle);

// How the values of a result's column are asked of the driver, and the
// buffer one value takes when the result is fetched in blocks of rows.
struct OdbcColumnRead {
  enum class As { kInteger, kBit, kTimestamp, kParsedText, kText, kBinary };
  As as = As::kText;
  SQLSMALLINT c_type = SQL_C_CHAR;
  // Bytes of one value's buffer; 0 when only SQLGetData reads the column
  // whole: long text or binary, or a size the driver does not tell.
  SQLLEN width = 0;
};

// Turns a failed call's diagnostics into the DriverError to raise; the
// connection decides whether the failure broke it.
class OdbcFailureHandler {
 public:
  virtual DriverError Diagnosed(SQLSMALLINT handle_type, SQLHANDLE handle) = 0;

 protected:
  ~OdbcFailureHandler() = default;
};

// One statement handle, with the buffers of its bound parameters.
class OdbcStatement {
 public:
  // `freetds`: FreeTDS declares long text parameters in its own way.
  OdbcStatement(SQLHDBC dbc, int timeout_seconds, bool freetds,
                OdbcFailureHandler& failure);
  ~OdbcStatement();
  OdbcStatement(const OdbcStatement&) = delete;
  OdbcStatement& operator=(const OdbcStatement&) = delete;

  // Replaces :Params by "?" and binds them in the order they appear.
  void Run(std::string_view sql, const std::vector<Param>& params);

  // Prepares `sql` (its :Params and "?" markers become "?") once; then
  // each Execute binds that call's values and runs it, so the server
  // keeps one plan for the text whatever the values.
  void Prepare(std::string_view sql);
  void Execute(const std::vector<Param>& params);

  // The rows the last statement touched; -1 when the driver cannot tell.
  std::int64_t RowCount();

  // Reads every result left after the current one, to the end: an error
  // the server raised late in the batch (a trigger's, after its row count)
  // only shows here.
  void Drain();

  // The first result with columns, whole; then drains the rest.
  ResultSet ReadAll();
  // The same, a row at a time: `begin` takes the columns (none when no
  // result has any), then `on_row` each row, read into one reused row
  // that `on_row` may move from. A result whose values all have a bounded
  // size is fetched in blocks of rows into bound buffers; one with a long
  // column a row at a time, value by value.
  void ReadRows(
      const std::function<void(const std::vector<ResultColumn>&)>& begin,
      const std::function<void(Row&)>& on_row);

 private:
  struct Buffer {
    std::basic_string<SQLWCHAR> text;
    SQLBIGINT integer = 0;
    SQLINTEGER integer32 = 0;
    double real = 0;
    SQL_TIMESTAMP_STRUCT timestamp{};
    SQLLEN indicator = 0;
  };

  [[noreturn]] void Fail();
  bool NextResult();
  // Moves to the next result that has columns; false when none is left.
  bool SeekResultWithColumns();
  void Bind(SQLUSMALLINT index, const ParamValue& value);
  std::optional<std::string> ReadChunks(SQLUSMALLINT column,
                                        SQLSMALLINT c_type);
  // The rows of the current result with SQLGetData, one row per fetch.
  void ReadEachValue(const std::vector<ResultColumn>& columns,
                     const std::function<void(Row&)>& on_row);
  // The rows of the current result in blocks, every column bound.
  void ReadInBlocks(const std::vector<ResultColumn>& columns,
                    const std::function<void(Row&)>& on_row);
  FieldValue Read(SQLUSMALLINT column, const ResultColumn& info);

  // What each "?" of a prepared text takes: a :Param by name, or the
  // next value without a name.
  struct Marker {
    std::string name;  // empty for a "?" marker
    std::size_t position = 0;
  };

  // The text with every parameter as "?", and what each one takes.
  std::string MarkText(std::string_view sql, std::vector<Marker>& markers);

  OdbcFailureHandler& failure_;
  bool freetds_;
  std::vector<Marker> markers_;
  SQLHSTMT stmt_ = SQL_NULL_HSTMT;
  // The buffers must stay where they are until the statement has run.
  std::deque<Buffer> buffers_;
  // How each column of the result being read is read.
  std::vector<OdbcColumnRead> reads_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_ODBC_ODBC_STATEMENT_H_
