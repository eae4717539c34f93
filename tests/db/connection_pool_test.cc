#include "db/connection_pool.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
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
  Fragile(const std::string& path, std::atomic<int>& opened) : inner_(path) {
    ++opened;
  }
  void Cut() { cut_ = true; }
  int checks() const { return checks_; }

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
