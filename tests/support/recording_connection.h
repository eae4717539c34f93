#ifndef NORVESSA_TESTS_SUPPORT_RECORDING_CONNECTION_H_
#define NORVESSA_TESTS_SUPPORT_RECORDING_CONNECTION_H_

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/connection_pool.h"

namespace norvessa::testing {

// Records every statement a handler sends, exactly as sent, and answers
// from a script: each Open takes the next scripted result (an empty one
// when none is left); `fail_on` makes statement n (counting from 0) throw.
class RecordingConnection : public Connection {
 public:
  struct Statement {
    std::string
        kind;  // "open", "execute", "insert", "begin", "commit", "rollback"
    std::string sql;
    std::vector<Param> params;
  };

  struct Log {
    std::mutex mutex;
    std::vector<Statement> statements;
    std::deque<ResultSet> results;
    int fail_on = -1;
    std::int64_t next_key = 1;
  };

  explicit RecordingConnection(std::shared_ptr<Log> log)
      : log_(std::move(log)) {}

  ResultSet Open(std::string_view sql, const std::vector<Param>& p) override;
  std::optional<std::int64_t> Execute(std::string_view sql,
                                      const std::vector<Param>& p) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& p) override;
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override { return in_transaction_; }
  bool IsBroken() const override { return false; }

 private:
  void Record(std::string kind, std::string_view sql,
              const std::vector<Param>& p);

  std::shared_ptr<Log> log_;
  bool in_transaction_ = false;
};

// A pool of recording connections sharing one log.
struct RecordingPool {
  RecordingPool();
  std::shared_ptr<RecordingConnection::Log> log;
  std::unique_ptr<ConnectionPool> pool;

  // The SQL texts sent so far, in order.
  std::vector<std::string> Sql() const;
  // For each of those, the values bound to its "?" markers: "0, 20",
  // text quoted ('a'), "null"; "" when it has none.
  std::vector<std::string> Bound() const;
  // A result with these columns (all text) and rows.
  static ResultSet Rows(std::vector<std::string> columns,
                        std::vector<std::vector<std::string>> rows);
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_RECORDING_CONNECTION_H_
