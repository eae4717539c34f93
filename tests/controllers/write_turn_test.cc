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
