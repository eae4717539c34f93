#ifndef NORVESSA_DB_UNIT_OF_WORK_H_
#define NORVESSA_DB_UNIT_OF_WORK_H_

#include <functional>
#include <memory>
#include <optional>

#include "db/connection.h"
#include "db/connection_pool.h"

namespace norvessa {

// One pooled connection for the life of one piece of work (a request's
// handler): all its queries run on it. What was begun and not committed is
// rolled back when the unit ends, so a connection never goes back to the
// pool inside a transaction.
//
// A connection the server dropped while it sat in the pool (a restart, a
// failover) fails the first thing the unit does on it. When that is a read
// or the start of a transaction, nothing of the unit has happened yet, so
// the unit takes a fresh connection and does it once more. Writes are never
// sent twice: whether the server ran one before the link broke is unknown.
class UnitOfWork {
 public:
  explicit UnitOfWork(ConnectionPool& pool);
  ~UnitOfWork();
  UnitOfWork(const UnitOfWork&) = delete;
  UnitOfWork& operator=(const UnitOfWork&) = delete;

  Connection& connection() { return *connection_; }

  ResultSet Open(std::string_view sql, const std::vector<Param>& params);
  // The rows as they come (Connection::Visit); run once more on a fresh
  // connection as Open is, the visitor begun again.
  void Visit(std::string_view sql, const std::vector<Param>& params,
             RowVisitor& visitor);
  std::optional<std::int64_t> Execute(std::string_view sql,
                                      const std::vector<Param>& params);
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params);

  void Begin();
  // Fails, after the commit, when the connection turns out to have served
  // a database file renamed over since: what it stored is not where the
  // service reads, and the work is answered as failed.
  void Commit();
  void Rollback();

 private:
  // Runs `work` on the connection; the first work of the unit goes once
  // more on a fresh connection when the first one turns out dead.
  template <typename Work>
  auto RunFirstOnce(Work&& work) -> decltype(work(std::declval<Connection&>()));

  ConnectionPool& pool_;
  std::unique_ptr<Connection> connection_;
  bool used_ = false;
};

// Runs `work` on a unit of work of its own. A unit chosen as a deadlock's
// victim (SQLSTATE 40001) was rolled back whole by the server, so it runs
// once more, on a fresh unit, after a short random pause; a second
// deadlock, and any other failure, propagate. A link lost during the work,
// its commit included, is never a reason to run it again: the commit may
// have been stored.
void RunUnitOfWork(ConnectionPool& pool,
                   const std::function<void(UnitOfWork&)>& work);

}  // namespace norvessa

#endif  // NORVESSA_DB_UNIT_OF_WORK_H_
