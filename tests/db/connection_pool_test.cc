#include "db/connection_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "db/db_error.h"
#include "db/query.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

// A real connection that can be made to lose its server on demand.
class Fragile : public Connection {
 public:
  Fragile(const std::string& path, std::atomic<int>& opened) : inner_(path) {
    ++opened;
  }
  void Cut() { cut_ = true; }

  ResultSet Open(std::string_view sql, const std::vector<Param>& p) override {
    Check();
    return inner_.Open(sql, p);
  }
  std::int64_t Execute(std::string_view sql,
                       const std::vector<Param>& p) override {
    Check();
    return inner_.Execute(sql, p);
  }
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& p) override {
    Check();
    return inner_.InsertReturningKey(sql, p);
  }
  void Begin() override { inner_.Begin(); }
  void Commit() override {
    Check();
    inner_.Commit();
  }
  void Rollback() override {
    Check();
    inner_.Rollback();
  }
  bool InTransaction() const override { return inner_.InTransaction(); }
  bool IsBroken() const override { return broken_; }

 private:
  void Check() {
    if (cut_) {
      broken_ = true;
      throw DbError("Communication link failure", true);
    }
  }
  SqliteConnection inner_;
  bool cut_ = false;
  bool broken_ = false;
};

class PoolTest : public ::testing::Test {
 protected:
  PoolTest()
      : db_("CREATE TABLE T (A INTEGER);"
            "CREATE TABLE N (Id INTEGER PRIMARY KEY, Nome VARCHAR(20));") {
    for (int i = 1; i <= 100; ++i) {
      db_.Exec("insert into N values (" + std::to_string(i) + ", 'n" +
               std::to_string(i) + "')");
    }
  }

  ConnectionPool::Factory Factory() {
    return [this]() -> std::unique_ptr<Connection> {
      return std::make_unique<Fragile>(db_.path(), opened_);
    };
  }

  testing::TempDatabase db_;
  std::atomic<int> opened_{0};
};

TEST_F(PoolTest, CommitAndRollbackOnDestruction) {
  ConnectionPool pool(Factory(), 4);
  {
    UnitOfWork uow(pool);
    uow.Begin();
    uow.connection().Execute("insert into T values (1)", {});
    // No commit: ending the unit rolls back.
  }
  {
    UnitOfWork uow(pool);
    EXPECT_FALSE(uow.connection().InTransaction());
    uow.Begin();
    uow.connection().Execute("insert into T values (2)", {});
    uow.Commit();
  }
  EXPECT_EQ(db_.Scalar("select group_concat(A) from T"), "2");
  EXPECT_EQ(pool.open_count(), 1);
}

TEST_F(PoolTest, AConnectionKilledMidTransactionIsReplaced) {
  ConnectionPool pool(Factory(), 4);
  EXPECT_EQ(opened_, 1);  // the first one opens at once
  {
    UnitOfWork uow(pool);
    uow.Begin();
    uow.connection().Execute("insert into T values (1)", {});
    static_cast<Fragile&>(uow.connection()).Cut();
    EXPECT_THROW(uow.connection().Execute("insert into T values (2)", {}),
                 DbError);
  }
  EXPECT_EQ(pool.open_count(), 0);
  UnitOfWork next(pool);
  EXPECT_EQ(opened_, 2);
  EXPECT_NO_THROW(next.connection().Execute("insert into T values (3)", {}));
  EXPECT_EQ(db_.Scalar("select group_concat(A) from T"), "3");
}

TEST_F(PoolTest, ThirtyTwoThreadsAtOnceGetTheirOwnRows) {
  ConnectionPool pool(Factory(), 8);
  std::vector<std::future<int>> results;
  for (int t = 0; t < 32; ++t) {
    results.push_back(std::async(std::launch::async, [&pool, t] {
      int wrong = 0;
      for (int round = 0; round < 20; ++round) {
        UnitOfWork uow(pool);
        const int id = 1 + (t * 7 + round * 13) % 100;
        Query q(uow);
        q.SQL().Add("select Nome from N where Id = :Id");
        q.ParamByName("Id").SetAsInteger(id);
        q.Open();
        if (q.FieldByName("Nome").AsString() != "n" + std::to_string(id)) {
          ++wrong;
        }
      }
      return wrong;
    }));
  }
  for (auto& r : results) EXPECT_EQ(r.get(), 0);
  EXPECT_LE(pool.open_count(), 8);
}

TEST_F(PoolTest, EveryConnectionBusyWaitsThenReportsInsteadOfHanging) {
  ConnectionPool pool(Factory(), 2, std::chrono::milliseconds(200));
  auto a = std::make_unique<UnitOfWork>(pool);
  UnitOfWork b(pool);
  try {
    UnitOfWork c(pool);
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "No database connection available");
  }
  // A connection handed back wakes a waiting unit.
  auto waiting = std::async(std::launch::async, [&pool] {
    UnitOfWork c(pool);
    return true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  a.reset();
  EXPECT_TRUE(waiting.get());
}

TEST_F(PoolTest, AFailedOpenFreesItsSlot) {
  int calls = 0;
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls == 2) throw DbError("server unreachable", true);
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      2, std::chrono::milliseconds(200));
  UnitOfWork first(pool);
  EXPECT_THROW(UnitOfWork{pool}, DbError);
  UnitOfWork second(pool);  // the slot of the failed open is free again
  EXPECT_EQ(pool.open_count(), 2);
}

}  // namespace
}  // namespace norvessa
