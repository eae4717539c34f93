#ifndef NORVESSA_DB_UNIT_OF_WORK_H_
#define NORVESSA_DB_UNIT_OF_WORK_H_

#include <memory>

#include "db/connection.h"
#include "db/connection_pool.h"

namespace norvessa {

// One pooled connection for the life of one piece of work (a request's
// handler): all its queries run on it. What was begun and not committed is
// rolled back when the unit ends, so a connection never goes back to the
// pool inside a transaction.
class UnitOfWork {
 public:
  explicit UnitOfWork(ConnectionPool& pool);
  ~UnitOfWork();
  UnitOfWork(const UnitOfWork&) = delete;
  UnitOfWork& operator=(const UnitOfWork&) = delete;

  Connection& connection() { return *connection_; }

  void Begin();
  void Commit();
  void Rollback();

 private:
  ConnectionPool& pool_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_UNIT_OF_WORK_H_
