#include "db/sqlite/sqlite_connection.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "db/driver_error.h"
#include "db/query.h"
#include "db/sqlite/read_queue.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

TEST(SqliteConnectionTest, OpensOnlyAnExistingDatabase) {
  testing::TempDatabase db;
  const std::string missing = db.dir() + "/missing.db";
  try {
    SqliteConnection c(missing);
    ADD_FAILURE() << "opened a missing file";
  } catch (const DriverError& e) {
    EXPECT_NE(std::string(e.what()).find("Cannot open database"),
              std::string::npos);
    EXPECT_TRUE(e.connection_lost());
  }
  EXPECT_FALSE(std::filesystem::exists(missing));

  const std::string garbage = db.dir() + "/garbage.db";
  std::ofstream(garbage) << "this is not a database, not even close to one";
  EXPECT_THROW(SqliteConnection{garbage}, DriverError);

  SqliteConnection ok(db.path());
  EXPECT_EQ(db.Scalar("PRAGMA journal_mode"), "wal");
  // Every commit reaches the disk (2: FULL), whatever the build's default.
  Query sync(ok);
  sync.SQL().Add("PRAGMA synchronous");
  sync.Open();
  EXPECT_EQ(sync.FieldByName("synchronous").AsString(), "2");
}

TEST(SqliteConnectionTest, ColumnTypesFollowTheDeclarations) {
  testing::TempDatabase db(R"(
    CREATE TABLE T (I INTEGER, B BIGINT, V VARCHAR(20), X TEXT,
                    N NUMERIC(15,4), R REAL, D DATETIME, DT DATE, TM TIME,
                    F BIT, L BLOB);
    INSERT INTO T VALUES (7, 12345678901234567, 'S' || char(227) || 'o', 'x',
                          12.34, 1.5, '2024-03-05 14:05:09.123', '2024-03-05',
                          '14:05:09', 1, x'00FF');
  )");
  SqliteConnection c(db.path());
  Query q(c);
  q.SQL()
      .Add("select T.*, I * 2 as Dobro, V || '!' as Grito,")
      .Add("(select max(N) from T) as Maior from T");
  q.Open();
  const std::pair<const char*, FieldType> types[] = {
      {"I", FieldType::kInteger},    {"B", FieldType::kLargeint},
      {"V", FieldType::kString},     {"X", FieldType::kString},
      {"N", FieldType::kFMTBcd},     {"R", FieldType::kFloat},
      {"D", FieldType::kTimeStamp},  {"DT", FieldType::kDate},
      {"TM", FieldType::kTime},      {"F", FieldType::kBoolean},
      {"L", FieldType::kBlob},       {"Dobro", FieldType::kFloat},
      {"Grito", FieldType::kString}, {"Maior", FieldType::kFloat},
  };
  for (const auto& [name, type] : types) {
    EXPECT_EQ(q.FieldByName(name).DataType(), type) << name;
  }
  EXPECT_EQ(q.FieldByName("V").Size(), 20);
  EXPECT_EQ(
      ToJsonText(ToJSONArray(q)),
      R"([{"i":7,"b":12345678901234567,"v":"S\u00E3o","x":"x","n":12.34,"r":1.5,)"
      R"("d":"2024-03-05T14:05:09.123Z","dt":"2024-03-05","tm":"14:05:09.000",)"
      R"("f":true,"l":"AP8=","dobro":14,"grito":"S\u00E3o!","maior":12.34}])");
}

TEST(SqliteConnectionTest, ParametersInsertsAndErrors) {
  testing::TempDatabase db(
      "CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, Nome VARCHAR(40),"
      " Qtd NUMERIC(15,4), Dt DATETIME, Obs VARCHAR(10));"
      "INSERT INTO Pedido (IdPedido) VALUES (41);");
  SqliteConnection c(db.path());
  Query insert(c);
  insert.SQL().Add(
      "insert into Pedido (Nome, Qtd, Dt, Obs) values (:Nome, :Qtd, :Dt, "
      ":Obs)");
  insert.ParamByName("nome").SetAsString("D'\xC3\x81vila ':Nome'");
  insert.ParamByName("QTD").SetAsFloat(1.5);
  insert.ParamByName("Dt").SetAsDateTime(DateTime::FromParts(2024, 3, 5));
  EXPECT_EQ(insert.ExecInsert(), 42);
  EXPECT_EQ(db.Scalar("select Nome || '|' || Qtd || '|' || Dt || '|' || "
                      "ifnull(Obs, 'null') from Pedido where IdPedido = 42"),
            "D'\xC3\x81vila ':Nome'|1.5|2024-03-05 00:00:00|null");
  EXPECT_THROW(insert.ParamByName("Outro"), std::runtime_error);

  Query bad(c);
  bad.SQL().Add("select * from NaoExiste");
  try {
    bad.Open();
    ADD_FAILURE();
  } catch (const DriverError& e) {
    EXPECT_STREQ(e.what(), "no such table: NaoExiste");
    EXPECT_FALSE(e.connection_lost());
  }
  EXPECT_FALSE(c.IsBroken());
}

// Values SQL Server would refuse are refused here too: a float that is not
// finite (SQLite would store NaN as NULL), and an item of an order that
// does not exist.
TEST(SqliteConnectionTest, RefusesWhatTheServerRefuses) {
  testing::TempDatabase db(
      "CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, Total REAL);"
      "CREATE TABLE PedidoItem (IdPedidoItem INTEGER PRIMARY KEY,"
      " IdPedido INTEGER REFERENCES Pedido (IdPedido));"
      "INSERT INTO Pedido VALUES (1, 0);");
  SqliteConnection c(db.path());
  for (const double total : {std::numeric_limits<double>::quiet_NaN(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(total);
    EXPECT_THROW(
        c.Execute("update Pedido set Total = :Total", {{"Total", total}}),
        DriverError);
  }
  EXPECT_THROW(c.Execute("insert into PedidoItem (IdPedido) values (2)", {}),
               DriverError);
  c.Execute("insert into PedidoItem (IdPedido) values (1)", {});
  EXPECT_EQ(db.Scalar("select Total || '|' || (select group_concat(IdPedido) "
                      "from PedidoItem) from Pedido"),
            "0.0|1");
}

// Connections that share a writer turn write one after the other; the turn
// passes on at commit, at rollback and when a connection goes away in the
// middle of a transaction.
TEST(SqliteConnectionTest, WriteTransactionsTakeTurns) {
  testing::TempDatabase db("CREATE TABLE T (A INTEGER);");
  auto writers = std::make_shared<WriterTurn>();
  SqliteConnection a(db.path(), writers);
  SqliteConnection b(db.path(), writers);

  a.Begin();
  a.Execute("insert into T values (1)", {});
  std::thread second([&] {
    b.Begin();  // waits for a's commit
    b.Execute("insert into T values (2)", {});
    b.Commit();
  });
  a.Commit();
  second.join();
  EXPECT_EQ(db.Scalar("select group_concat(A) from T"), "1,2");

  a.Begin();
  a.Rollback();
  b.Begin();
  b.Commit();
  {
    SqliteConnection gone(db.path(), writers);
    gone.Begin();
    gone.Execute("insert into T values (3)", {});
  }
  a.Begin();
  EXPECT_THROW(a.Begin(), DriverError);  // one within a transaction fails
  a.Rollback();                          // and the outer one still ends
  b.Begin();
  b.Execute("insert into T values (4)", {});
  b.Commit();
  EXPECT_EQ(db.Scalar("select group_concat(A) from T"), "1,2,4");
}

// A reader that keeps its snapshot keeps the write-ahead log from starting
// over, so it grows past its bound, and SQLite leaves it at its largest;
// once the reader lets go, a commit empties it.
TEST(SqliteConnectionTest, TheWriteAheadLogIsEmptiedPastItsBound) {
  testing::TempDatabase db("CREATE TABLE T (B TEXT);");
  const std::string log = db.path() + "-wal";
  SqliteConnection writer(db.path());
  const std::string block(16 * 1024, 'x');
  auto write = [&] {
    writer.Begin();
    writer.Execute("insert into T values (:B)", {{"B", block}});
    writer.Commit();
  };
  const auto bound = static_cast<std::uintmax_t>(SqliteConnection::kLogBytes);
  write();
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open(db.path().c_str(), &reader), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM T;", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  while (std::filesystem::file_size(log) < bound + bound / 2) write();
  sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_close(reader);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::filesystem::file_size(log) >= bound / 4 &&
         std::chrono::steady_clock::now() < deadline) {
    write();
  }
  EXPECT_LT(std::filesystem::file_size(log), bound / 4);
}

// When writes pause, the log is emptied, whatever its size.
TEST(SqliteConnectionTest, TheWriteAheadLogIsEmptiedInALull) {
  testing::TempDatabase db("CREATE TABLE T (B TEXT);");
  const std::string log = db.path() + "-wal";
  SqliteConnection writer(db.path());
  writer.Begin();
  writer.Execute("insert into T values (:B)", {{"B", std::string(4096, 'x')}});
  writer.Commit();
  ASSERT_GT(std::filesystem::file_size(log), 0u);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::filesystem::file_size(log) > 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(std::filesystem::file_size(log), 0u);
  EXPECT_EQ(db.Scalar("select count(*) from T"), "1");
}

}  // namespace
}  // namespace norvessa

namespace norvessa {
namespace {

// Waits, without a fixed sleep, until `done` holds (a long deadline).
template <typename Done>
bool Eventually(Done done) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::minutes(1);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(ReadQueueTest, PlacesGoInTheOrderAskedAtMostCapacityAtOnce) {
  ReadQueue queue(2);
  auto first = std::make_unique<ReadQueue::Place>(queue);
  auto second = std::make_unique<ReadQueue::Place>(queue);
  std::mutex mutex;
  std::vector<int> order;
  std::vector<std::thread> waiting;
  for (int i = 0; i < 3; ++i) {
    waiting.emplace_back([&, i] {
      ReadQueue::Place place(queue);
      std::lock_guard lock(mutex);
      order.push_back(i);
    });
    // The next asks only once this one waits, so the order is known.
    ASSERT_TRUE(Eventually([&] { return queue.Waited() == unsigned(i + 1); }));
  }
  {
    std::lock_guard lock(mutex);
    EXPECT_TRUE(order.empty());
  }
  // One place free: the waiters pass it on one by one.
  first.reset();
  for (auto& t : waiting) t.join();
  second.reset();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(ReadQueue(0).capacity(), 1);
}

TEST(ReadQueueTest, OnlyLongReadsWaitInLine) {
  testing::TempDatabase db("CREATE TABLE T (A INTEGER);");
  auto reads = std::make_shared<ReadQueue>(1);
  SqliteConnection slow(db.path(), nullptr, nullptr, reads);
  SqliteConnection fast(db.path(), nullptr, nullptr, reads);
  // Far more than the CPU that makes a read long, on any machine.
  const std::string kLong =
      "with recursive N(I) as (select 1 union all select I + 1 from N "
      "where I < 3000000) select count(*) from N";
  // Its first run tells that it is long; not known yet, it did not queue.
  EXPECT_EQ(slow.Open(kLong, {}).rows.size(), 1u);
  EXPECT_EQ(reads->Waited(), 0u);

  auto held = std::make_unique<ReadQueue::Place>(*reads);
  std::thread behind([&] { slow.Open(kLong, {}); });
  ASSERT_TRUE(Eventually([&] { return reads->Waited() == 1; }));
  // A short read passes the line while the long one waits.
  EXPECT_EQ(fast.Open("select count(*) from T", {}).rows.size(), 1u);
  EXPECT_EQ(reads->Waited(), 1u);
  held.reset();
  behind.join();

  // A connection opened later knows it from the others: its first run of
  // the statement lines up too.
  SqliteConnection fresh(db.path(), nullptr, nullptr, reads);
  held = std::make_unique<ReadQueue::Place>(*reads);
  std::thread first([&] { fresh.Open(kLong, {}); });
  ASSERT_TRUE(Eventually([&] { return reads->Waited() == 2; }));
  held.reset();
  first.join();
}

}  // namespace
}  // namespace norvessa
