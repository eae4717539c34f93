#ifndef NORVESSA_TESTS_SUPPORT_FAILING_CONNECTION_H_
#define NORVESSA_TESTS_SUPPORT_FAILING_CONNECTION_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "db/connection.h"

namespace norvessa::testing {

// Wraps any connection and fails its call number `fail_at` (counting from
// 1; 0 fails none) with DriverError("injected failure"), before the wrapped
// connection sees it. Statements (Open, Execute, InsertReturningKey) and
// Commit count: each is a point where the server may refuse the work.
// Everything else passes through.
class FailingConnection : public Connection {
 public:
  FailingConnection(std::unique_ptr<Connection> inner, int fail_at);

  // The calls counted so far, the failed one included.
  int calls() const { return calls_; }

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override;
  std::optional<std::int64_t> Execute(
      std::string_view sql, const std::vector<Param>& params) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params) override;
  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  bool IsBroken() const override;
  bool IsAlive() override;

 private:
  void Count();

  std::unique_ptr<Connection> inner_;
  int fail_at_;
  int calls_ = 0;
};

}  // namespace norvessa::testing

#endif  // NORVESSA_TESTS_SUPPORT_FAILING_CONNECTION_H_
