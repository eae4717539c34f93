#include "db/unit_of_work.h"

namespace norvessa {

UnitOfWork::UnitOfWork(ConnectionPool& pool)
    : pool_(pool), connection_(pool.Acquire()) {}

UnitOfWork::~UnitOfWork() {
  if (connection_->InTransaction()) {
    try {
      connection_->Rollback();
    } catch (...) {
      // The pool discards a connection that is still inside a transaction.
    }
  }
  pool_.Release(std::move(connection_));
}

void UnitOfWork::Begin() { connection_->Begin(); }

void UnitOfWork::Commit() { connection_->Commit(); }

void UnitOfWork::Rollback() { connection_->Rollback(); }

}  // namespace norvessa
