#include "support/recording_connection.h"

#include "db/driver_error.h"

namespace norvessa::testing {

void RecordingConnection::Record(std::string kind, std::string_view sql,
                                 const std::vector<Param>& p) {
  std::lock_guard lock(log_->mutex);
  const int index = static_cast<int>(log_->statements.size());
  log_->statements.push_back({std::move(kind), std::string(sql), p});
  if (index == log_->fail_on) throw DriverError("injected failure");
}

ResultSet RecordingConnection::Open(std::string_view sql,
                                    const std::vector<Param>& p) {
  Record("open", sql, p);
  std::lock_guard lock(log_->mutex);
  if (log_->results.empty()) return {};
  ResultSet r = std::move(log_->results.front());
  log_->results.pop_front();
  return r;
}

std::optional<std::int64_t> RecordingConnection::Execute(
    std::string_view sql, const std::vector<Param>& p) {
  Record("execute", sql, p);
  return 1;
}

std::int64_t RecordingConnection::InsertReturningKey(
    std::string_view sql, const std::vector<Param>& p) {
  Record("insert", sql, p);
  std::lock_guard lock(log_->mutex);
  return log_->next_key++;
}

void RecordingConnection::Begin() {
  Record("begin", "", {});
  in_transaction_ = true;
}

void RecordingConnection::Commit() {
  Record("commit", "", {});
  in_transaction_ = false;
}

void RecordingConnection::Rollback() {
  in_transaction_ = false;
  Record("rollback", "", {});
}

RecordingPool::RecordingPool()
    : log(std::make_shared<RecordingConnection::Log>()),
      pool(std::make_unique<ConnectionPool>(
          [log = log]() -> std::unique_ptr<Connection> {
            return std::make_unique<RecordingConnection>(log);
          },
          4)) {}

std::vector<std::string> RecordingPool::Sql() const {
  std::lock_guard lock(log->mutex);
  std::vector<std::string> out;
  for (const auto& s : log->statements) {
    if (!s.sql.empty()) out.push_back(s.sql);
  }
  return out;
}

std::vector<std::string> RecordingPool::Bound() const {
  std::lock_guard lock(log->mutex);
  std::vector<std::string> out;
  for (const auto& s : log->statements) {
    if (s.sql.empty()) continue;
    std::string values;
    for (const Param& p : s.params) {
      if (!p.name.empty()) continue;
      if (!values.empty()) values += ", ";
      if (const auto* i = std::get_if<std::int64_t>(&p.value)) {
        values += std::to_string(*i);
      } else if (const auto* t = std::get_if<std::string>(&p.value)) {
        values += "'" + *t + "'";
      } else if (std::holds_alternative<std::monostate>(p.value)) {
        values += "null";
      } else {
        values += "(value)";
      }
    }
    out.push_back(std::move(values));
  }
  return out;
}

ResultSet RecordingPool::Rows(std::vector<std::string> columns,
                              std::vector<std::vector<std::string>> rows) {
  ResultSet r;
  for (auto& c : columns)
    r.columns.push_back({std::move(c), FieldType::kString, 0});
  for (auto& row : rows) {
    Row values;
    for (auto& v : row) values.emplace_back(std::move(v));
    r.rows.push_back(std::move(values));
  }
  return r;
}

}  // namespace norvessa::testing
