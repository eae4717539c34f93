// Writers waiting for the write turn never hold every request slot: a
// healthy burst of writers all succeed, and while an outside process holds
// the file's write lock, reads go on being served.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "db/driver_error.h"
#include "db/query.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "framework/api.h"
#include "resource_server.h"
#include "support/http_client.h"

namespace norvessa {
namespace {

// As many connections as the server takes requests at a time, all sharing
// one writer turn, as the service's pool has them.
constexpr int kSlots = Api::kMaxInChain;

class ServicePool {
 public:
  explicit ServicePool(
      const testing::TempDatabase& db,
      std::chrono::milliseconds stuck_after = WriterTurn::kStuckAfter)
      : turn_(std::make_shared<WriterTurn>(kSlots, stuck_after)),
        pool_(
            [path = db.path(), turn = turn_] {
              return std::make_unique<SqliteConnection>(path, turn);
            },
            kSlots) {}

  ConnectionPool& pool() { return pool_; }
  int waiting() const { return turn_->waiting(); }

 private:
  std::shared_ptr<WriterTurn> turn_;
  ConnectionPool pool_;
};

void StoreOrder(UnitOfWork& uow) {
  Query order(uow);
  order.SQL().Add(
      "Insert Into Pedido(IdEmpresa, IdUsuario, Situacao, Status) Values (1, "
      "1, 1, 'Aberto')");
  const std::int64_t id = order.ExecInsert();
  Query item(uow);
  item.SQL().Add(
      "Insert Into PedidoItem(IdPedido, Situacao, IdProduto, Quantidade) "
      "Values (" +
      std::to_string(id) + ", 1, 1, 1)");
  item.ExecSQL();
}

// Counts the replies of requests sent from threads of their own.
class Replies {
 public:
  void Add(testing::HttpReply reply) {
    {
      const std::lock_guard lock(mutex_);
      replies_.push_back(std::move(reply));
    }
    arrived_.notify_all();
  }
  // Waits until `n` replies are in, or `limit` has passed.
  void WaitFor(std::size_t n, std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return replies_.size() >= n; });
  }
  std::vector<testing::HttpReply> All() {
    const std::lock_guard lock(mutex_);
    return replies_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<testing::HttpReply> replies_;
};

// Waits until `turn` has `n` writers waiting; false after a minute.
bool WaitForWaiting(const WriterTurn& turn, int n) {
  const auto until =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (turn.waiting() != n) {
    if (std::chrono::steady_clock::now() >= until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

TEST(WriteTurnTest, WritersTakeTheTurnInTheOrderTheyAsked) {
  constexpr int kWriters = 6;
  WriterTurn turn(kSlots);
  turn.Take(std::chrono::seconds(10));
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread> writers;
  for (int i = 0; i < kWriters; ++i) {
    writers.emplace_back([&, i] {
      turn.Take(std::chrono::seconds(60));
      {
        const std::lock_guard lock(mutex);
        order.push_back(i);
      }
      turn.Pass();
    });
    // The next one asks only once this one waits.
    ASSERT_TRUE(WaitForWaiting(turn, i + 1));
  }
  turn.Pass();
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(turn.waiting(), 0);
  // Free again: taken at once.
  turn.Take(std::chrono::milliseconds(0));
  turn.Pass();
}

// A holder busy with the turn's own work (emptying the write-ahead log)
// renews it: the writers beyond half of the pool keep waiting instead of
// failing as behind a stuck turn.
TEST(WriteTurnTest, ARenewedTurnIsNotStuck) {
  constexpr auto kStuck = std::chrono::milliseconds(50);
  WriterTurn turn(4, kStuck);
  turn.Take(std::chrono::seconds(10));
  std::atomic<int> failed{0};
  std::vector<std::thread> writers;
  for (int i = 0; i < 3; ++i) {
    writers.emplace_back([&] {
      try {
        turn.Take(std::chrono::seconds(60));
        turn.Pass();
      } catch (const DriverError&) {
        ++failed;
      }
    });
    ASSERT_TRUE(WaitForWaiting(turn, i + 1));
  }
  // Work of the turn's own, six times as long as a stuck turn's second.
  const auto until = std::chrono::steady_clock::now() + 6 * kStuck;
  while (std::chrono::steady_clock::now() < until) {
    turn.Renew();
    std::this_thread::sleep_for(kStuck / 10);
  }
  turn.Pass();
  for (std::thread& t : writers) t.join();
  EXPECT_EQ(failed.load(), 0);
}

// A writer that gives up leaves the line and says why; those behind it and
// the turn itself go on as before.
TEST(WriteTurnTest, AWriterThatGivesUpSaysWhy) {
  struct Case {
    const char* name;
    int pool_size;
    // Writers already waiting when the one that gives up asks.
    int waiting_before;
    const char* message;
  };
  const Case cases[] = {
      {"the limit passes", 0, 1,
       "database is locked (another write transaction runs)"},
      {"stuck with half of the pool waiting", 4, 2,
       "database is locked (the write turn has not passed for 50 ms and "
       "half the connections wait for it)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriterTurn turn(c.pool_size, std::chrono::milliseconds(50));
    turn.Take(std::chrono::seconds(10));
    std::atomic<int> served = 0;
    std::vector<std::thread> waiting;
    for (int i = 0; i < c.waiting_before; ++i) {
      waiting.emplace_back([&] {
        turn.Take(std::chrono::seconds(60));
        ++served;
        turn.Pass();
      });
      ASSERT_TRUE(WaitForWaiting(turn, i + 1));
    }
    try {
      turn.Take(std::chrono::milliseconds(100));
      ADD_FAILURE() << "the turn was taken";
      turn.Pass();
    } catch (const DriverError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(turn.waiting(), c.waiting_before);
    turn.Pass();
    for (std::thread& t : waiting) t.join();
    EXPECT_EQ(served, c.waiting_before);
    EXPECT_EQ(turn.waiting(), 0);
  }
}

TEST(WriteTurnTest, WaitingWritersNeverTakeEverySlot) {
  testing::TempDatabase db(testing::FixtureScript());

  // A burst of 40 orders on a healthy database: more than half of the pool
  // waits for the turn, which passes on within milliseconds; all succeed.
  // The turn is held until they wait, however long a loaded machine takes
  // to get them there, so it must not count as stuck meanwhile.
  constexpr int kOrders = 40;
  std::atomic<int> stored = 0;
  int most_waiting = 0;
  {
    ServicePool burst(db, std::chrono::seconds(60));
    UnitOfWork first(burst.pool());
    first.Begin();
    StoreOrder(first);
    std::vector<std::thread> writers;
    for (int i = 1; i < kOrders; ++i) {
      writers.emplace_back([&] {
        try {
          UnitOfWork uow(burst.pool());
          uow.Begin();
          StoreOrder(uow);
          uow.Commit();
          ++stored;
        } catch (const std::exception& e) {
          ADD_FAILURE() << e.what();
        }
      });
    }
    // More than half of the pool queues behind the first writer.
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (most_waiting <= kSlots / 2 &&
           std::chrono::steady_clock::now() < until) {
      most_waiting = std::max(most_waiting, burst.waiting());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    first.Commit();
    ++stored;
    for (std::thread& t : writers) t.join();
  }
  ServicePool service(db);
  EXPECT_GT(most_waiting, kSlots / 2);
  EXPECT_EQ(stored, kOrders);
  EXPECT_EQ(db.Scalar("select count(*) from Pedido"),
            std::to_string(6 + kOrders));

  // An outside process holds the file's write lock. As many writers as the
  // server takes at a time arrive: one holds the turn, half of the slots
  // wait, and once the turn has not changed hands for a second the others
  // answer their route's failure message. Reads are served meanwhile.
  testing::ResourceServer server(&service.pool());
  const std::string waiting_list =
      testing::Request(server.port(), "GET", "/pedidos/separacao").body;
  SqliteConnection outside(db.path());
  outside.Begin();
  Replies writers;
  std::vector<std::thread> senders;
  for (int i = 0; i < kSlots; ++i) {
    senders.emplace_back([&] {
      writers.Add(testing::Request(
          server.port(), "POST", "/pedidos/separados",
          {{"Content-Type", "application/json"}},
          R"({"idpedido":1,"idpedidoitem":"1","quantseparacao":"1"})"));
    });
  }
  constexpr int kGiveUp = kSlots - 1 - kSlots / 2;
  // The rule lets them wait a second; a slow machine gets a few more.
  writers.WaitFor(kGiveUp, 5 * WriterTurn::kStuckAfter);
  Replies reads;
  std::vector<std::thread> readers;
  for (int i = 0; i < 8; ++i) {
    readers.emplace_back([&] {
      reads.Add(testing::Request(server.port(), "GET", "/pedidos/separacao"));
    });
  }
  for (std::thread& t : readers) t.join();
  outside.Rollback();
  for (std::thread& t : senders) t.join();

  for (const testing::HttpReply& r : reads.All()) {
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, waiting_list);
  }
  int recorded = 0;
  int refused = 0;
  for (const testing::HttpReply& r : writers.All()) {
    if (r.status == 200) {
      EXPECT_EQ(r.body, R"({"Result":"OK"})");
      ++recorded;
    } else {
      EXPECT_EQ(r.status, 404);
      EXPECT_EQ(r.body, R"({"Erro except":"Nenhum Pedido Separado!"})");
      ++refused;
    }
  }
  EXPECT_EQ(recorded, kSlots - kGiveUp);
  EXPECT_EQ(refused, kGiveUp);
}

}  // namespace
}  // namespace norvessa
