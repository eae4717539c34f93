#include "db/connection_pool.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "db/driver_error.h"
#include "db/query.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

// A real connection that can be made to lose its server on demand.
class Fragile : public Connection {
 public:
  // `checked`, when given, counts every check of every connection, those
  // closed since among them.
  Fragile(const std::string& path, std::atomic<int>& opened,
          std::atomic<int>* checked = nullptr)
      : inner_(path), checked_(checked) {
    ++opened;
  }
  void Cut() { cut_ = true; }
  int checks() const { return checks_; }

  ResultSet Open(std::string_view sql, const std::vector<Param>& p) override {
    Check();
    return inner_.Open(sql, p);
  }
  std::optional<std::int64_t> Execute(std::string_view sql,
                                      const std::vector<Param>& p) override {
    Check();
    return inner_.Execute(sql, p);
  }
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& p) override {
    Check();
    return inner_.InsertReturningKey(sql, p);
  }
  void Begin() override {
    Check();
    inner_.Begin();
  }
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
  bool IsAlive() override {
    ++checks_;
    if (checked_ != nullptr) ++*checked_;
    if (cut_) broken_ = true;
    return !cut_;
  }

 private:
  void Check() {
    if (cut_) {
      broken_ = true;
      throw DriverError("Communication link failure", true);
    }
  }
  SqliteConnection inner_;
  std::atomic<int>* checked_;
  bool cut_ = false;
  bool broken_ = false;
  int checks_ = 0;
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
      return std::make_unique<Fragile>(db_.path(), opened_, &checked_);
    };
  }

  void TheReadyCheckMakesTheNextAttemptAtOnce(
      std::chrono::milliseconds connect_wait);

  // The first read of a unit, as a handler makes it.
  static void Read(ConnectionPool& pool) {
    UnitOfWork uow(pool);
    Query q(uow);
    q.SQL().Add("select count(*) as N from T");
    q.Open();
  }

  testing::TempDatabase db_;
  std::atomic<int> opened_{0};
  std::atomic<int> checked_{0};
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
                 DriverError);
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
  {
    ConnectionPool pool(Factory(), 2, std::chrono::milliseconds(200));
    UnitOfWork a(pool);
    UnitOfWork b(pool);
    try {
      UnitOfWork c(pool);
      ADD_FAILURE();
    } catch (const DriverError& e) {
      EXPECT_STREQ(e.what(), "No database connection available");
    }
    EXPECT_EQ(pool.waiting_count(), 0);
  }
  // A connection handed back wakes a unit that is waiting for one.
  ConnectionPool pool(Factory(), 2, std::chrono::seconds(60));
  auto a = std::make_unique<UnitOfWork>(pool);
  UnitOfWork b(pool);
  auto waiting = std::async(std::launch::async, [&pool] {
    UnitOfWork c(pool);
    return true;
  });
  for (int i = 0; i < 60000 && pool.waiting_count() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_EQ(pool.waiting_count(), 1);
  a.reset();
  EXPECT_TRUE(waiting.get());
  EXPECT_EQ(pool.waiting_count(), 0);
}

TEST_F(PoolTest, AFailedOpenFreesItsSlot) {
  int calls = 0;
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls == 2) throw DriverError("server unreachable", true);
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      2, std::chrono::milliseconds(200));
  UnitOfWork first(pool);
  EXPECT_THROW(UnitOfWork{pool}, DriverError);
  UnitOfWork second(pool);  // the slot of the failed open is free again
  EXPECT_EQ(pool.open_count(), 2);
}

// A clock the test moves by hand.
struct ManualClock {
  std::chrono::steady_clock::time_point now{};
  void Advance(std::chrono::milliseconds d) { now += d; }
  ConnectionPool::Clock Function() {
    return [this] { return now; };
  }
};

TEST_F(PoolTest, AConnectionIdleForLongIsCheckedBeforeItIsHandedOut) {
  ManualClock clock;
  ConnectionPool::Options options;
  options.max_size = 4;
  options.clock = clock.Function();
  ConnectionPool pool(Factory(), options);
  Fragile* first = nullptr;
  {
    UnitOfWork uow(pool);
    first = &static_cast<Fragile&>(uow.connection());
  }
  // Recently used: handed out as it is.
  clock.Advance(std::chrono::seconds(29));
  {
    UnitOfWork uow(pool);
    EXPECT_EQ(&uow.connection(), first);
    EXPECT_EQ(first->checks(), 0);
  }
  // Idle for 30 s and alive: checked once, kept.
  clock.Advance(std::chrono::seconds(30));
  {
    UnitOfWork uow(pool);
    EXPECT_EQ(&uow.connection(), first);
    EXPECT_EQ(first->checks(), 1);
  }
  // The server restarted meanwhile: the dead one is replaced before any
  // request sees it.
  first->Cut();
  clock.Advance(std::chrono::seconds(31));
  {
    UnitOfWork uow(pool);
    Query q(uow);
    q.SQL().Add("select count(*) as N from T");
    EXPECT_NO_THROW(q.Open());
  }
  EXPECT_EQ(opened_, 2);
  EXPECT_EQ(pool.discarded_count(), 1);
  EXPECT_EQ(pool.open_count(), 1);
}

TEST_F(PoolTest, OnlyTheFirstReadOrBeginOfAUnitGoesOnceMoreOnAFreshConnection) {
  struct Case {
    const char* name;
    // Runs on a unit whose pooled connection lost its server.
    std::function<void(UnitOfWork&)> work;
    bool succeeds;
  };
  auto read = [](UnitOfWork& uow) {
    Query q(uow);
    q.SQL().Add("select count(*) as N from T");
    q.Open();
  };
  const Case cases[] = {
      {"first read", read, true},
      {"begin, then a write",
       [](UnitOfWork& uow) {
         uow.Begin();
         uow.Execute("insert into T values (7)", {});
         uow.Commit();
       },
       true},
      // A write might have run before the link broke: never sent twice.
      {"first write",
       [](UnitOfWork& uow) { uow.Execute("insert into T values (8)", {}); },
       false},
      // Something ran on the connection already: the unit's work is not
      // started over.
      {"second read",
       [&read](UnitOfWork& uow) {
         read(uow);
         static_cast<Fragile&>(uow.connection()).Cut();
         read(uow);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionPool pool(Factory(), 4);
    {
      UnitOfWork warm(pool);
      static_cast<Fragile&>(warm.connection()).Cut();
    }
    UnitOfWork uow(pool);
    if (c.succeeds) {
      EXPECT_NO_THROW(c.work(uow));
    } else {
      EXPECT_THROW(c.work(uow), DriverError);
    }
  }
  EXPECT_EQ(db_.Scalar("select group_concat(A) from T"), "7");
}

TEST_F(PoolTest, AnUnreachableServerIsTriedOncePerStepAndReportedTwice) {
  ManualClock clock;
  std::vector<std::string> lines;
  bool down = false;
  int attempts = 0;
  ConnectionPool::Options options;
  options.max_size = 4;
  options.clock = clock.Function();
  options.first_retry = std::chrono::milliseconds(500);
  options.max_retry = std::chrono::seconds(2);
  options.report = [&lines](const std::string& line) { lines.push_back(line); };
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        ++attempts;
        if (down)
          throw DriverError("Unable to connect: server unavailable", true);
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      options);
  {
    UnitOfWork uow(pool);
    static_cast<Fragile&>(uow.connection()).Cut();
  }
  down = true;
  auto request = [&pool] {
    UnitOfWork uow(pool);
    Query q(uow);
    q.SQL().Add("select count(*) as N from T");
    q.Open();
  };
  // The dead connection goes; the fresh one cannot be opened.
  EXPECT_THROW(request(), DriverError);
  EXPECT_EQ(attempts, 2);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("Database unreachable: Unable to connect"),
            std::string::npos)
      << lines[0];
  struct Step {
    int advance_ms;
    int attempts_after;  // a request in between fails at once
  };
  const Step steps[] = {{100, 2},  {400, 3}, {500, 3}, {500, 4},
                        {1900, 4}, {100, 5}, {2000, 6}};
  for (const Step& step : steps) {
    clock.Advance(std::chrono::milliseconds(step.advance_ms));
    SCOPED_TRACE(step.attempts_after);
    const int before = attempts;
    try {
      request();
      ADD_FAILURE();
    } catch (const DatabaseUnavailable&) {
      EXPECT_EQ(attempts, before);
    } catch (const DriverError&) {
      EXPECT_EQ(attempts, before + 1);
    }
    EXPECT_EQ(attempts, step.attempts_after);
  }
  EXPECT_EQ(lines.size(), 1u);  // not once per request
  down = false;
  clock.Advance(std::chrono::seconds(2));
  EXPECT_NO_THROW(request());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("Database reachable again after ", 0), 0u)
      << lines[1];
  EXPECT_NO_THROW(request());
  EXPECT_EQ(attempts, 7);
}

// After a failover the idle connections are recent and all dead: the
// first unit finds its link lost, which makes every connection that went
// idle before suspect, so its retry checks one, finds it dead too, and
// closes the rest unchecked. The next unit gets the fresh connection.
TEST_F(PoolTest, AfterARestartEachUnitChecksAtMostOneConnection) {
  ConnectionPool pool(Factory(), 8);
  std::vector<Fragile*> old;
  {
    UnitOfWork a(pool), b(pool), c(pool);
    for (UnitOfWork* u : {&a, &b, &c}) {
      old.push_back(&static_cast<Fragile&>(u->connection()));
    }
  }
  ASSERT_EQ(pool.idle_count(), 3);
  for (Fragile* f : old) f->Cut();
  EXPECT_NO_THROW(Read(pool));
  EXPECT_LE(checked_, 1);
  EXPECT_NO_THROW(Read(pool));
  EXPECT_LE(checked_, 1);
  EXPECT_EQ(pool.discarded_count(), 3);
  EXPECT_EQ(pool.open_count(), 1);
}

// A silent network loss makes every check wait out its timeout: once one
// check fails, every connection idle since before it is closed without
// one.
TEST_F(PoolTest, OneFailedCheckClosesEveryConnectionIdleBeforeIt) {
  ManualClock clock;
  ConnectionPool::Options options;
  options.max_size = 32;
  options.clock = clock.Function();
  ConnectionPool pool(Factory(), options);
  std::vector<Fragile*> old;
  {
    std::vector<std::unique_ptr<UnitOfWork>> units;
    for (int i = 0; i < 31; ++i) {
      units.push_back(std::make_unique<UnitOfWork>(pool));
      old.push_back(&static_cast<Fragile&>(units.back()->connection()));
    }
  }
  for (Fragile* f : old) f->Cut();
  clock.Advance(std::chrono::seconds(31));
  EXPECT_NO_THROW(Read(pool));
  EXPECT_EQ(checked_, 1);
  EXPECT_EQ(pool.discarded_count(), 31);
  EXPECT_EQ(pool.open_count(), 1);
}

// A factory whose connects wait at a gate the test opens.
class Gate {
 public:
  void Open() {
    {
      std::lock_guard lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  // Waits for the gate; counts the waiters and the most at once.
  void Pass() {
    std::unique_lock lock(mutex_);
    ++inside_;
    most_ = std::max(most_, inside_);
    ++arrived_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
    --inside_;
  }
  void WaitForArrivals(int n) {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return arrived_ >= n; });
  }
  int most() {
    std::lock_guard lock(mutex_);
    return most_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
  int inside_ = 0;
  int most_ = 0;
  int arrived_ = 0;
};

// The pool's reports, which connect threads may write.
class Lines {
 public:
  void Add(const std::string& line) {
    {
      std::lock_guard lock(mutex_);
      lines_.push_back(line);
    }
    cv_.notify_all();
  }
  // The lines once there are `n`, or as they are after a long deadline.
  std::vector<std::string> WaitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(60),
                 [&] { return lines_.size() >= n; });
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// Waits, within a long deadline, until `done` holds.
bool Eventually(const std::function<bool()>& done) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!done()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

ConnectionPool::Options ThreadedConnects(std::chrono::milliseconds wait,
                                         Lines* lines) {
  ConnectionPool::Options options;
  options.max_size = 32;
  options.first_retry = std::chrono::milliseconds(500);
  options.max_retry = std::chrono::seconds(1);
  options.connect_wait = wait;
  options.report = [lines](const std::string& line) {
    if (lines != nullptr) lines->Add(line);
  };
  return options;
}

// A connect without an answer is not waited for: the request fails after
// the connect wait, the outage starts, and no other connect starts while
// that one lives. When it finally answers, its connection serves and the
// outage ends.
TEST_F(PoolTest, AConnectWithoutAnAnswerStartsTheOutageAndIsLeftToEnd) {
  Gate gate;
  std::atomic<int> calls{0};
  Lines lines;
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls > 1) gate.Pass();
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      ThreadedConnects(std::chrono::milliseconds(200), &lines));
  UnitOfWork held(pool);
  EXPECT_THROW(pool.Acquire(), DatabaseUnavailable);
  EXPECT_EQ(ConnectionPool::ConnectsLeftRunning(), 1);
  EXPECT_EQ(pool.NotReadyCause(),
            "database unreachable: no answer to a connection attempt "
            "within 0.2 s");
  // At once, without a second connect.
  EXPECT_THROW(pool.Acquire(), DatabaseUnavailable);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(lines.WaitFor(1).size(), 1u);
  gate.Open();
  // The ready check joins the connect under way and sees it answer.
  EXPECT_EQ(pool.AttemptNow(std::chrono::seconds(60)), "");
  EXPECT_EQ(pool.NotReadyCause(), "");
  EXPECT_TRUE(
      Eventually([] { return ConnectionPool::ConnectsLeftRunning() == 0; }));
  { UnitOfWork second(pool); }
  EXPECT_EQ(calls, 2);
  const std::vector<std::string> told = lines.WaitFor(2);
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[1].rfind("Database reachable again after ", 0), 0u);
}

// A request whose own wait limit ends before the connect wait leaves its
// connect without taking the server for away; the connect, when it
// answers, serves the next request.
TEST_F(PoolTest, ARequestOutOfTimeLeavesItsConnectWithoutAnOutage) {
  Gate gate;
  std::atomic<int> calls{0};
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls > 1) gate.Pass();
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      ThreadedConnects(std::chrono::seconds(60), nullptr));
  UnitOfWork held(pool);
  try {
    pool.Acquire(std::chrono::milliseconds(50));
    ADD_FAILURE() << "no connection was expected";
  } catch (const DatabaseUnavailable& e) {
    ADD_FAILURE() << e.what();
  } catch (const DriverError& e) {
    EXPECT_STREQ(e.what(), "No database connection available");
  }
  EXPECT_EQ(pool.NotReadyCause(), "");
  gate.Open();
  EXPECT_TRUE(Eventually([&] { return pool.idle_count() == 1; }));
  EXPECT_TRUE(
      Eventually([] { return ConnectionPool::ConnectsLeftRunning() == 0; }));
  { UnitOfWork next(pool); }
  EXPECT_EQ(calls, 2);
}

// Outside an outage at most four connects run at once; the other requests
// wait for them and take what they opened.
TEST_F(PoolTest, AtMostFourConnectsRunAtOnce) {
  Gate gate;
  std::atomic<int> calls{0};
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls > 1) gate.Pass();
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      ThreadedConnects(std::chrono::seconds(60), nullptr));
  UnitOfWork held(pool);
  std::vector<std::thread> requests;
  std::atomic<int> served{0};
  for (int i = 0; i < 8; ++i) {
    requests.emplace_back([&] {
      UnitOfWork uow(pool);
      ++served;
    });
  }
  gate.WaitForArrivals(4);
  EXPECT_TRUE(Eventually([&] { return pool.waiting_count() == 8; }));
  gate.Open();
  for (std::thread& t : requests) t.join();
  EXPECT_EQ(served, 8);
  EXPECT_EQ(gate.most(), 4);
}

// During an outage the ready check makes the next attempt at once instead
// of waiting for the step, and its success ends the outage.
TEST_F(PoolTest, TheReadyCheckMakesTheNextAttemptAtOnce) {
  // Connects on the requester's thread, and on threads of their own.
  for (const auto wait :
       {std::chrono::milliseconds(0), std::chrono::milliseconds(60000)}) {
    SCOPED_TRACE(wait.count());
    TheReadyCheckMakesTheNextAttemptAtOnce(wait);
  }
}

void PoolTest::TheReadyCheckMakesTheNextAttemptAtOnce(
    std::chrono::milliseconds connect_wait) {
  ManualClock clock;
  std::atomic<bool> down{false};
  std::atomic<int> attempts{0};
  ConnectionPool::Options options;
  options.max_size = 4;
  options.clock = clock.Function();
  options.first_retry = std::chrono::seconds(60);
  options.connect_wait = connect_wait;
  options.report = [](const std::string&) {};
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        ++attempts;
        if (down) throw DriverError("Unable to connect", true);
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      options);
  EXPECT_EQ(pool.AttemptNow(std::chrono::seconds(1)), "");  // no outage
  EXPECT_EQ(attempts, 1);
  UnitOfWork held(pool);
  down = true;
  EXPECT_THROW(pool.Acquire(), DriverError);
  EXPECT_EQ(pool.NotReadyCause(), "database unreachable: Unable to connect");
  EXPECT_EQ(pool.AttemptNow(std::chrono::seconds(1)), "Unable to connect");
  EXPECT_EQ(attempts, 3);
  down = false;
  EXPECT_EQ(pool.AttemptNow(std::chrono::seconds(1)), "");
  EXPECT_EQ(attempts, 4);
  EXPECT_EQ(pool.NotReadyCause(), "");
  // Its connection serves the next request.
  {
    UnitOfWork next(pool);
    EXPECT_EQ(attempts, 4);
  }
  // A second outage ends as the first did, by a request this time.
  down = true;
  UnitOfWork other(pool);
  EXPECT_THROW(pool.Acquire(), DriverError);
  EXPECT_EQ(attempts, 5);
  down = false;
  clock.Advance(std::chrono::seconds(61));
  EXPECT_NO_THROW(pool.Release(pool.Acquire()));
  EXPECT_EQ(attempts, 6);
  EXPECT_EQ(pool.NotReadyCause(), "");
}

// Whatever a connect throws, its slot comes back; the pool's report runs
// outside its lock (it may ask the pool).
TEST_F(PoolTest, AnyFailureOfAConnectFreesItsSlot) {
  int calls = 0;
  ConnectionPool* self = nullptr;
  std::vector<std::string> causes;
  ConnectionPool::Options options;
  options.max_size = 2;
  options.wait_limit = std::chrono::milliseconds(200);
  options.first_retry = std::chrono::milliseconds(1);
  options.report = [&](const std::string&) {
    causes.push_back(self->NotReadyCause());
  };
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        if (++calls == 2) throw 42;
        return std::make_unique<Fragile>(db_.path(), opened_);
      },
      options);
  self = &pool;
  UnitOfWork held(pool);
  EXPECT_THROW(pool.Acquire(), DriverError);
  ASSERT_EQ(causes.size(), 1u);
  EXPECT_EQ(causes[0],
            "database unreachable: the connect failed with an unknown error");
  std::unique_ptr<Connection> second;
  for (int i = 0; i < 1000 && !second; ++i) {
    try {
      second = pool.Acquire();
    } catch (const DatabaseUnavailable&) {
      std::this_thread::yield();  // the 1 ms step
    }
  }
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(pool.open_count(), 2);
  pool.Release(std::move(second));
}

// A deadlock's victim was rolled back whole by the server: the unit runs
// once more on a fresh unit. Nothing else is run twice.
TEST_F(PoolTest, OnlyADeadlockVictimRunsOnceMore) {
  const DriverError deadlock("Transaction was deadlocked; rerun it", false,
                             "40001");
  const DriverError lost_at_commit("Communication link failure", true, "08S01");
  const DriverError other("Constraint violated", false, "23000");
  struct Case {
    const char* name;
    std::vector<const DriverError*> failures;  // by run, null: no failure
    int runs;
    const char* stored;  // T's rows after
    bool fails;
  };
  const Case cases[] = {
      {"deadlock, then stored", {&deadlock, nullptr}, 2, "1", false},
      {"two deadlocks", {&deadlock, &deadlock}, 2, "", true},
      {"link lost at commit", {&lost_at_commit}, 1, "", true},
      {"another error", {&other}, 1, "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    db_.Exec("delete from T");
    ConnectionPool pool(Factory(), 4);
    int runs = 0;
    auto order = [&](UnitOfWork& uow) {
      const DriverError* failure = c.failures[runs];
      ++runs;
      uow.Begin();
      uow.Execute("insert into T values (1)", {});
      if (failure != nullptr) throw *failure;
      uow.Commit();
    };
    if (c.fails) {
      EXPECT_THROW(RunUnitOfWork(pool, order), DriverError);
    } else {
      EXPECT_NO_THROW(RunUnitOfWork(pool, order));
    }
    EXPECT_EQ(runs, c.runs);
    EXPECT_EQ(db_.Scalar("select ifnull(group_concat(A), '') from T"),
              c.stored);
  }
}

// Runs `scenario` as a user that file modes bind and returns what it
// returned. Root writes to any file whatever its mode, so as root the
// scenario runs in a child process that hands `dir` to nobody and becomes
// nobody first.
std::string AsUnprivilegedUser(const std::string& dir,
                               const std::function<std::string()>& scenario) {
  if (geteuid() != 0) return scenario();
  constexpr uid_t kNobody = 65534;
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(dir, ec)) {
    if (chown(entry.path().c_str(), kNobody, kNobody) != 0) return "chown";
  }
  if (chown(dir.c_str(), kNobody, kNobody) != 0) return "chown";
  int out[2];
  if (pipe(out) != 0) return "pipe";
  const pid_t child = fork();
  if (child == 0) {
    close(out[0]);
    std::string result = "could not become nobody";
    if (setgroups(0, nullptr) == 0 && setgid(kNobody) == 0 &&
        setuid(kNobody) == 0) {
      try {
        result = scenario();
      } catch (const std::exception& e) {
        result = std::string("escaped: ") + e.what();
      }
    }
    for (std::size_t done = 0; done < result.size();) {
      const ssize_t n =
          write(out[1], result.data() + done, result.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    _exit(0);
  }
  close(out[1]);
  std::string result;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) {
    result.append(buffer, static_cast<std::size_t>(n));
  }
  close(out[0]);
  waitpid(child, nullptr, 0);
  return result;
}

ConnectionPool::Factory SqliteFactory(const std::string& path) {
  auto turn = std::make_shared<WriterTurn>(4);
  return [path, turn]() -> std::unique_ptr<Connection> {
    return std::make_unique<SqliteConnection>(path, turn);
  };
}

// One order: "stored", or why it failed. `meanwhile` runs once the unit has
// its connection.
std::string StoreOne(ConnectionPool& pool,
                     const std::function<void()>& meanwhile = {}) {
  try {
    UnitOfWork uow(pool);
    if (meanwhile) meanwhile();
    uow.Begin();
    uow.Execute("insert into T values (1)", {});
    uow.Commit();
    return "stored";
  } catch (const DriverError& e) {
    return e.what();
  }
}

// A file that was not writable for a while leaves no read-only connection
// in the pool: opening one then fails, as does starting on such a file,
// and the first order after the file is writable again is stored.
TEST_F(PoolTest, AFileNotWritableForAWhileLeavesNoReadOnlyConnection) {
  const std::string path = db_.path();
  const std::string not_writable =
      "Cannot open database " + path + ": the file is not writable";
  const std::string log = AsUnprivilegedUser(db_.dir(), [&path] {
    ConnectionPool pool(SqliteFactory(path), 4);
    std::string log = StoreOne(pool) + "\n";
    // Its connection busy, the pool opens another for the next order.
    auto busy = std::make_unique<UnitOfWork>(pool);
    chmod(path.c_str(), 0444);
    log += StoreOne(pool, [&busy] { busy.reset(); }) + "\n";
    busy.reset();
    try {
      ConnectionPool starting(SqliteFactory(path), 4);
      log += "started\n";
    } catch (const DriverError& e) {
      log += std::string(e.what()) + "\n";
    }
    chmod(path.c_str(), 0644);
    log += StoreOne(pool) + "\n";
    log += StoreOne(pool) + "\n";
    return log;
  });
  EXPECT_EQ(log, "stored\n" + not_writable + "\n" + not_writable +
                     "\nstored\nstored\n");
  EXPECT_EQ(db_.Scalar("select count(*) from T"), "3");
}

// A connection that answers that the database is read-only is discarded
// like one whose server went away: the order that met it at its start goes
// on a fresh one.
TEST_F(PoolTest, AConnectionThatAnswersReadOnlyIsDiscarded) {
  ConnectionPool pool(SqliteFactory(db_.path()), 4);
  EXPECT_EQ(StoreOne(pool), "stored");
  {
    UnitOfWork uow(pool);
    uow.Execute("PRAGMA query_only=ON", {});
  }
  EXPECT_EQ(StoreOne(pool), "stored");
  EXPECT_EQ(pool.discarded_count(), 1);
  EXPECT_EQ(StoreOne(pool), "stored");
  EXPECT_EQ(db_.Scalar("select count(*) from T"), "3");
}

// Another instance of the service on the same file keeps writing: it holds
// the file's write lock for one transaction after another and lets go of
// it only for a moment between two. The orders of this instance get in at
// those moments, instead of sleeping through them (up to 100 ms a time)
// until the other instance stops writing.
TEST_F(PoolTest, OrdersGetInWhileAnotherProcessKeepsWriting) {
  constexpr int kOrders = 10;
  constexpr int kTheirCap = 60;
  int go[2];
  int stop[2];
  int count[2];
  ASSERT_EQ(pipe(go), 0);
  ASSERT_EQ(pipe(stop), 0);
  ASSERT_EQ(pipe(count), 0);
  const pid_t other = fork();
  if (other == 0) {
    close(go[0]);
    close(stop[1]);
    close(count[0]);
    std::atomic<bool> done = false;
    // Writes until told to stop, or until it has written its cap.
    std::thread listener([&] {
      char byte;
      (void)!read(stop[0], &byte, 1);
      done = true;
    });
    int written = 0;
    try {
      SqliteConnection c(db_.path());
      while (!done && written < kTheirCap) {
        c.Begin();
        (void)!write(go[1], "g", 1);
        c.Execute("insert into T values (2)", {});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        c.Commit();
        ++written;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    } catch (const std::exception&) {
    }
    close(go[1]);
    (void)!write(count[1], &written, sizeof written);
    listener.detach();
    _exit(0);
  }
  close(go[1]);
  close(stop[0]);
  close(count[1]);
  // Each order starts while the other instance holds the lock, so that it
  // needs a moment of its own.
  fcntl(go[0], F_SETFL, O_NONBLOCK);
  auto their_next_transaction = [&go] {
    char bytes[64];
    while (read(go[0], bytes, sizeof bytes) > 0) {
    }
    pollfd ready{go[0], POLLIN, 0};
    return poll(&ready, 1, -1) == 1 && read(go[0], bytes, 1) == 1;
  };
  ConnectionPool pool(SqliteFactory(db_.path()), 4);
  std::vector<std::string> orders;
  for (int i = 0; i < kOrders && their_next_transaction(); ++i) {
    orders.push_back(StoreOne(pool));
  }
  (void)!write(stop[1], "s", 1);
  int theirs = 0;
  EXPECT_EQ(read(count[0], &theirs, sizeof theirs),
            static_cast<ssize_t>(sizeof theirs));
  waitpid(other, nullptr, 0);
  close(go[0]);
  close(stop[1]);
  close(count[0]);

  EXPECT_EQ(orders, std::vector<std::string>(kOrders, "stored"));
  // The other instance was still writing when these orders were stored.
  EXPECT_LT(theirs, kTheirCap);
}

}  // namespace
}  // namespace norvessa
