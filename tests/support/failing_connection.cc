#include "support/failing_connection.h"

#include <optional>
#include <utility>

#include "db/driver_error.h"

namespace norvessa::testing {

FailingConnection::FailingConnection(std::unique_ptr<Connection> inner,
                                     int fail_at)
    : inner_(std::move(inner)), fail_at_(fail_at) {}

void FailingConnection::Count() {
  if (++calls_ == fail_at_) throw DriverError("injected failure");
}

ResultSet FailingConnection::Open(std::string_view sql,
                                  const std::vector<Param>& params) {
  Count();
  return inner_->Open(sql, params);
}

std::optional<std::int64_t> FailingConnection::Execute(
    std::string_view sql, const std::vector<Param>& params) {
  Count();
  return inner_->Execute(sql, params);
}

std::int64_t FailingConnection::InsertReturningKey(
    std::string_view sql, const std::vector<Param>& params) {
  Count();
  return inner_->InsertReturningKey(sql, params);
}

void FailingConnection::Begin() { inner_->Begin(); }

void FailingConnection::Commit() {
  Count();
  inner_->Commit();
}

void FailingConnection::Rollback() { inner_->Rollback(); }

bool FailingConnection::InTransaction() const {
  return inner_->InTransaction();
}

bool FailingConnection::IsBroken() const { return inner_->IsBroken(); }

bool FailingConnection::IsAlive() { return inner_->IsAlive(); }

}  // namespace norvessa::testing
