#ifndef NORVESSA_DB_CONNECTION_H_
#define NORVESSA_DB_CONNECTION_H_

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "serialize/dataset.h"
#include "serialize/field_type.h"
#include "text/date_time.h"

namespace norvessa {

// A named parameter's value: null, text, integer, float or date-time.
using ParamValue =
    std::variant<std::monostate, std::string, std::int64_t, double, DateTime>;

// A parameter named in the text as :Name, or, without a name, the value
// of the text's next "?" marker, in order.
struct Param {
  std::string name;  // without the colon; empty for a "?" marker
  ParamValue value;
};

struct ResultColumn {
  std::string name;
  FieldType type = FieldType::kString;
  int size = 0;
};

// A whole result, read into memory before the statement is closed.
struct ResultSet {
  std::vector<ResultColumn> columns;
  std::vector<Row> rows;
};

// Takes the rows of a result as the driver reads them, one at a time,
// without the result being held whole.
class RowVisitor {
 public:
  virtual ~RowVisitor() = default;
  // The result's columns, before its first row. Called again, for a fresh
  // start, when the statement is run once more on another connection.
  // A column whose type only its values tell comes as kUnknown, its
  // values as read (numbers as double).
  virtual void Begin(const std::vector<ResultColumn>& columns) = 0;
  // The next row, valid only during the call; the visitor may take its
  // values.
  virtual void Visit(Row& row) = 0;
};

// One physical database connection, used by one thread at a time. The SQL
// text is T-SQL as the service writes it, with named :Params; each driver
// makes of it what its server understands. Errors are DriverError.
class Connection {
 public:
  virtual ~Connection() = default;

  virtual ResultSet Open(std::string_view sql,
                         const std::vector<Param>& params) = 0;
  // The first result's rows, handed to `visitor` as they come; the
  // statement is finished and let go of before this returns.
  virtual void Visit(std::string_view sql, const std::vector<Param>& params,
                     RowVisitor& visitor) {
    ResultSet result = Open(sql, params);
    visitor.Begin(result.columns);
    for (Row& row : result.rows) visitor.Visit(row);
  }
  // The number of rows touched, where the driver tells it: SQL Server
  // with SET NOCOUNT ON (as the service sets it) does not.
  virtual std::optional<std::int64_t> Execute(
      std::string_view sql, const std::vector<Param>& params) = 0;
  // Runs an INSERT and returns the key the database gave the new row, from
  // this very statement on this connection.
  virtual std::int64_t InsertReturningKey(std::string_view sql,
                                          const std::vector<Param>& params) = 0;

  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool InTransaction() const = 0;

  // A connection-level failure was seen; the pool discards the connection.
  virtual bool IsBroken() const = 0;

  // Asks the server, cheaply, whether the connection still works; the pool
  // calls it before it hands out a connection that sat idle for a while.
  virtual bool IsAlive() { return !IsBroken(); }

  // A local check, cheap enough for every hand-out and return by the
  // pool: empty while the connection still reaches the database the pool
  // serves, else why not ("database file replaced"). A connection that
  // fails it is closed, and so is every other one opened before.
  virtual std::string InvalidReason() { return {}; }

  // Begins a write transaction and rolls it back, waiting at most `limit`
  // for the right to write; fails as a write would (StorageError when the
  // database cannot take writes). Drivers whose reads already tell whether
  // writes pass do nothing.
  virtual void CheckWrite(std::chrono::milliseconds limit) { (void)limit; }
};

}  // namespace norvessa

#endif  // NORVESSA_DB_CONNECTION_H_
