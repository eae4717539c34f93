#include "db/query.h"

#include <algorithm>

#include "db/sql_lexer.h"
#include "db/unit_of_work.h"
#include "serialize/dataset_error.h"
#include "text/ascii.h"

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

void Query::Open() {
  Close();
  ClearFields();
  ResultSet result = unit_of_work_ != nullptr
                         ? unit_of_work_->Open(sql_.Text(), BoundParams())
                         : connection_->Open(sql_.Text(), BoundParams());
  for (const ResultColumn& column : result.columns) {
    // Names stay unique within the dataset: a repeated column gets a suffix.
    std::string name = column.name;
    for (int n = 1; FindField(name) != nullptr; ++n) {
      name = column.name + "_" + std::to_string(n);
    }
    AddField(std::move(name), column.type, column.size);
  }
  for (Row& row : result.rows) AppendStoredRow(std::move(row));
  OpenRows();
}

std::optional<std::int64_t> Query::ExecSQL() {
  if (unit_of_work_ != nullptr) {
    return unit_of_work_->Execute(sql_.Text(), BoundParams());
  }
  return connection_->Execute(sql_.Text(), BoundParams());
}

std::int64_t Query::ExecInsert() {
  if (unit_of_work_ != nullptr) {
    return unit_of_work_->InsertReturningKey(sql_.Text(), BoundParams());
  }
  return connection_->InsertReturningKey(sql_.Text(), BoundParams());
}

}  // namespace norvessa
