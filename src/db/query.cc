#include "db/query.h"

#include <algorithm>

#include "db/sql_lexer.h"
#include "db/unit_of_work.h"
#include "serialize/dataset_error.h"
#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {
namespace {}  // namespace

SqlLines& SqlLines::Add(std::string line) {
  lines_.push_back(std::move(line));
  return *this;
}

SqlLines& SqlLines::Add(std::string line,
                        std::initializer_list<ParamValue> values) {
  lines_.push_back(std::move(line));
  values_.insert(values_.end(), values);
  return *this;
}

std::string SqlLines::Text() const {
  std::string text;
  for (std::size_t i = 0; i < lines_.size(); ++i) {
    if (i > 0) text += '\n';
    text += lines_[i];
  }
  return text;
}

Query::Query(UnitOfWork& unit_of_work) : unit_of_work_(&unit_of_work) {
  SetUnidirectional(true);
}

Query::Query(Connection& connection) : connection_(&connection) {
  SetUnidirectional(true);
}

void Query::SyncParams() {
  std::string text = sql_.Text();
  // A statement's parameters are set one after the other, often inside a
  // write transaction that other writers wait for: the text is tokenized
  // again only when it changed since the last time.
  if (text == synced_text_) return;
  std::vector<QueryParam> synced;
  // Most statements carry their values as literals: no colon, no
  // parameters, nothing to tokenize.
  if (text.find(':') == std::string::npos) {
    params_.clear();
    synced_text_ = std::move(text);
    return;
  }
  for (const std::string& name : SqlParameterNames(text)) {
    const bool known = std::any_of(
        synced.begin(), synced.end(),
        [&](const QueryParam& p) { return EqualsIgnoreCase(p.Name(), name); });
    if (known) continue;
    auto old = std::find_if(
        params_.begin(), params_.end(),
        [&](const QueryParam& p) { return EqualsIgnoreCase(p.Name(), name); });
    synced.push_back(old != params_.end() ? *old : QueryParam(name));
  }
  params_ = std::move(synced);
  synced_text_ = std::move(text);
}

QueryParam& Query::ParamByName(std::string_view name) {
  SyncParams();
  for (QueryParam& p : params_) {
    if (EqualsIgnoreCase(p.Name(), name)) return p;
  }
  throw DataSetError("Parameter '" + std::string(name) + "' not found");
}

std::vector<Param> Query::BoundParams() {
  SyncParams();
  std::vector<Param> bound;
  bound.reserve(params_.size() + sql_.values().size());
  for (const QueryParam& p : params_) bound.push_back({p.Name(), p.Value()});
  for (const ParamValue& v : sql_.values()) bound.push_back({{}, v});
  return bound;
}

void Query::AddColumnFields(const std::vector<ResultColumn>& columns) {
  for (const ResultColumn& column : columns) {
    // Names stay unique within the dataset: a repeated column gets a suffix.
    std::string name = column.name;
    for (int n = 1; FindField(name) != nullptr; ++n) {
      name = column.name + "_" + std::to_string(n);
    }
    const FieldType type =
        column.type == FieldType::kUnknown ? FieldType::kString : column.type;
    AddField(std::move(name), type, column.size);
  }
}

void Query::Open() {
  Close();
  ClearFields();
  // The text is put together once: BoundParams leaves it in synced_text_.
  const std::vector<Param> params = BoundParams();
  ResultSet result = unit_of_work_ != nullptr
                         ? unit_of_work_->Open(synced_text_, params)
                         : connection_->Open(synced_text_, params);
  AddColumnFields(result.columns);
  for (Row& row : result.rows) AppendStoredRow(std::move(row));
  OpenRows();
}

// Holds the visited row as the query's one stored row while `row` reads it.
class Query::Walker : public RowVisitor {
 public:
  Walker(Query& query, const std::function<void()>& begin,
         const std::function<void()>& row)
      : query_(query), begin_(begin), row_(row) {}

  void Begin(const std::vector<ResultColumn>& columns) override {
    query_.Close();
    query_.ClearFields();
    query_.AddColumnFields(columns);
    text_columns_.clear();
    for (std::size_t i = 0; i < columns.size(); ++i) {
      if (columns[i].type == FieldType::kUnknown) text_columns_.push_back(i);
    }
    query_.AppendStoredRow(Row(columns.size()));
    query_.OpenRows();
    begin_();
  }

  void Visit(Row& row) override {
    for (const std::size_t i : text_columns_) {
      if (const auto* d = std::get_if<double>(&row[i]))
        row[i] = FormatFloat(*d);
    }
    Row& held = query_.rows_.front().values;
    held.swap(row);
    query_.eof_ = false;
    try {
      row_();
    } catch (...) {
      held.swap(row);
      throw;
    }
    held.swap(row);
  }

 private:
  Query& query_;
  const std::function<void()>& begin_;
  const std::function<void()>& row_;
  std::vector<std::size_t> text_columns_;
};

void Query::OpenEach(const std::function<void()>& begin,
                     const std::function<void()>& row) {
  Walker walker(*this, begin, row);
  try {
    if (unit_of_work_ != nullptr) {
      const std::vector<Param> params = BoundParams();
      unit_of_work_->Visit(synced_text_, params, walker);
    } else {
      const std::vector<Param> params = BoundParams();
      connection_->Visit(synced_text_, params, walker);
    }
  } catch (...) {
    Close();
    throw;
  }
  Close();
}

std::optional<std::int64_t> Query::ExecSQL() {
  if (unit_of_work_ != nullptr) {
    const std::vector<Param> params = BoundParams();
    return unit_of_work_->Execute(synced_text_, params);
  }
  const std::vector<Param> params = BoundParams();
  return connection_->Execute(synced_text_, params);
}

std::int64_t Query::ExecInsert() {
  if (unit_of_work_ != nullptr) {
    const std::vector<Param> params = BoundParams();
    return unit_of_work_->InsertReturningKey(synced_text_, params);
  }
  const std::vector<Param> params = BoundParams();
  return connection_->InsertReturningKey(synced_text_, params);
}

}  // namespace norvessa
