#include "db/unit_of_work.h"

#include <chrono>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "db/driver_error.h"

namespace norvessa {

UnitOfWork::UnitOfWork(ConnectionPool& pool)
    : pool_(pool), connection_(pool.Acquire()) {}

UnitOfWork::~UnitOfWork() {
  if (!connection_) return;
  if (connection_->InTransaction()) {
    try {
      connection_->Rollback();
    } catch (...) {
      // The pool discards a connection that is still inside a transaction.
    }
  }
  pool_.Release(std::move(connection_));
}

namespace {

// Runs `work`; a driver failure that escapes is counted on the pool.
template <typename Work>
auto Counted(ConnectionPool& pool, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const DriverError& e) {
    pool.CountStatementError(e.sqlstate());
    throw;
  }
}

// Runs a write; one that fails for want of storage is noted on the pool,
// which readiness asks.
template <typename Work>
auto Written(ConnectionPool& pool, Work&& work) -> decltype(work()) {
  try {
    return work();
  } catch (const StorageError& e) {
    pool.NoteWriteFailed(e.what());
    throw;
  }
}

}  // namespace

template <typename Work>
auto UnitOfWork::RunFirstOnce(Work&& work)
    -> decltype(work(std::declval<Connection&>())) {
  if (used_) return work(*connection_);
  used_ = true;
  try {
    return work(*connection_);
  } catch (const DriverError& e) {
    if (!e.connection_lost() || connection_->InTransaction()) throw;
  }
  pool_.Release(std::move(connection_));
  connection_ = pool_.Acquire();
  return work(*connection_);
}

ResultSet UnitOfWork::Open(std::string_view sql,
                           const std::vector<Param>& params) {
  return Counted(pool_, [&] {
    return RunFirstOnce([&](Connection& c) { return c.Open(sql, params); });
  });
}

void UnitOfWork::Visit(std::string_view sql, const std::vector<Param>& params,
                       RowVisitor& visitor) {
  Counted(pool_, [&] {
    RunFirstOnce([&](Connection& c) { c.Visit(sql, params, visitor); });
  });
}

std::optional<std::int64_t> UnitOfWork::Execute(
    std::string_view sql, const std::vector<Param>& params) {
  used_ = true;
  return Counted(pool_, [&] {
    return Written(pool_, [&] { return connection_->Execute(sql, params); });
  });
}

std::int64_t UnitOfWork::InsertReturningKey(std::string_view sql,
                                            const std::vector<Param>& params) {
  used_ = true;
  return Counted(pool_, [&] {
    return Written(
        pool_, [&] { return connection_->InsertReturningKey(sql, params); });
  });
}

void UnitOfWork::Begin() {
  Counted(pool_, [&] {
    Written(pool_, [&] { RunFirstOnce([](Connection& c) { c.Begin(); }); });
  });
}

void UnitOfWork::Commit() {
  Counted(pool_, [&] { Written(pool_, [&] { connection_->Commit(); }); });
  // Committed to a database file renamed over since this unit began: what
  // it stored is not in the database the service now serves.
  if (const std::string invalid = connection_->InvalidReason();
      !invalid.empty()) {
    pool_.CountStatementError({});
    throw DriverError(
        "The transaction was committed to a database file "
        "that is no longer the service's (" +
            invalid + "): it is not stored",
        true);
  }
  pool_.NoteWriteStored();
}

void UnitOfWork::Rollback() {
  Counted(pool_, [&] { connection_->Rollback(); });
}

namespace {

bool DeadlockVictim(const DriverError& e) {
  return e.sqlstate() == "40001" && !e.connection_lost();
}

}  // namespace

void RunUnitOfWork(ConnectionPool& pool,
                   const std::function<void(UnitOfWork&)>& work) {
  try {
    UnitOfWork uow(pool);
    work(uow);
    return;
  } catch (const DriverError& e) {
    if (!DeadlockVictim(e)) throw;
  }
  // The other transaction of the deadlock is given a moment to finish; a
  // random one, so that two victims do not meet again.
  thread_local std::minstd_rand jitter{std::random_device{}()};
  std::uniform_int_distribution<int> pause_ms(20, 120);
  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms(jitter)));
  UnitOfWork uow(pool);
  work(uow);
}

}  // namespace norvessa
