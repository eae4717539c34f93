#ifndef NORVESSA_DB_QUERY_H_
#define NORVESSA_DB_QUERY_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "serialize/dataset.h"

namespace norvessa {

class UnitOfWork;

// The statement as lines of text, joined by line breaks, and the values of
// its "?" markers in order: a line and the values of its markers are
// added together, so what is sent shows where the SQL is written.
class SqlLines {
 public:
  SqlLines& Add(std::string line);
  SqlLines& Add(std::string line, std::initializer_list<ParamValue> values);
  void Clear() {
    lines_.clear();
    values_.clear();
  }
  bool empty() const { return lines_.empty(); }
  const std::vector<std::string>& lines() const { return lines_; }
  const std::vector<ParamValue>& values() const { return values_; }
  std::string Text() const;

 private:
  std::vector<std::string> lines_;
  std::vector<ParamValue> values_;
};

class QueryParam {
 public:
  explicit QueryParam(std::string name) : name_(std::move(name)) {}

  const std::string& Name() const { return name_; }
  const ParamValue& Value() const { return value_; }
  void Clear() { value_ = std::monostate{}; }
  void SetAsString(std::string value) { value_ = std::move(value); }
  void SetAsInteger(std::int64_t value) { value_ = value; }
  void SetAsFloat(double value) { value_ = value; }
  void SetAsDateTime(DateTime value) { value_ = value; }

 private:
  std::string name_;
  ParamValue value_;
};

// An SQL query on one connection. Opening reads the whole result; the rows
// are then walked forward only, read by field name and exported like any
// dataset.
class Query : public DataSet {
 public:
  explicit Query(UnitOfWork& unit_of_work);
  explicit Query(Connection& connection);

  SqlLines& SQL() { return sql_; }
  // The parameters named in the text as :Name, matched without regard to
  // case; fails with "Parameter 'x' not found".
  QueryParam& ParamByName(std::string_view name);

  void Open();
  // Runs the statement and walks its rows as the driver reads them,
  // without holding them: `begin` once the fields are there (and again,
  // for a fresh start, when the statement runs once more on another
  // connection), then `row` with each row current in turn. The statement
  // is finished when this returns, and the query is left closed. A column
  // whose type only its values tell is text here.
  void OpenEach(const std::function<void()>& begin,
                const std::function<void()>& row);
  // A statement without rows; returns the rows it touched.
  std::optional<std::int64_t> ExecSQL();
  // An INSERT; returns the key of the new row.
  std::int64_t ExecInsert();

 private:
  class Walker;
  void SyncParams();
  // Fields named after the columns; a repeated name gets a suffix.
  void AddColumnFields(const std::vector<ResultColumn>& columns);
  std::vector<Param> BoundParams();

  // Statements go through the unit of work when there is one, so that it
  // can replace a connection that died in the pool.
  UnitOfWork* unit_of_work_ = nullptr;
  Connection* connection_ = nullptr;
  SqlLines sql_;
  std::vector<QueryParam> params_;
  // The text `params_` were last matched to.
  std::string synced_text_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_QUERY_H_
