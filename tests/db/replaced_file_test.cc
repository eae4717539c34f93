// A backup restored by renaming it over the database file while the
// service holds connections to the old one, and writes that fail for want
// of storage: what the pool hands out, what it answers, what readiness
// learns.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "db/connection_factory.h"
#include "db/connection_pool.h"
#include "db/driver_error.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/unit_of_work.h"
#include "support/temp_database.h"

namespace norvessa {
namespace {

// The settings of the embedded database at `path`.
ConnectionSettings SqliteSettings(const std::string& path) {
  ConnectionSettings s;
  s.driver = "SQLite";
  s.database = path;
  return s;
}

constexpr char kSchema[] =
    "CREATE TABLE Pedido (IdPedido INTEGER PRIMARY KEY, Nota TEXT);"
    "INSERT INTO Pedido (Nota) VALUES ('before the backup');";

// sqlite3 data.db ".backup data.db.new", through the library's backup API.
void Backup(const std::string& from, const std::string& to) {
  sqlite3* source = nullptr;
  sqlite3* target = nullptr;
  ASSERT_EQ(sqlite3_open(from.c_str(), &source), SQLITE_OK);
  ASSERT_EQ(sqlite3_open(to.c_str(), &target), SQLITE_OK);
  sqlite3_backup* b = sqlite3_backup_init(target, "main", source, "main");
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(sqlite3_backup_step(b, -1), SQLITE_DONE);
  sqlite3_backup_finish(b);
  sqlite3_close(target);
  sqlite3_close(source);
}

void Insert(UnitOfWork& uow, const std::string& nota) {
  uow.Execute("INSERT INTO Pedido (Nota) VALUES (:Nota)", {{"Nota", nota}});
}

std::string MessageOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const DriverError& e) {
    return e.what();
  }
  return "(no error)";
}

// Two units as the seam: one begun on the old file before the restore,
// one asked for after it.
TEST(ReplacedFileTest, NothingReachesTheOldFileAfterARestoreAndNothingIsLost) {
  testing::TempDatabase db(kSchema);
  const std::string path = db.path();
  auto pool = OpenConnectionPool(SqliteSettings(path), 4);
  {
    // Two connections to the old file: one busy below, one idle.
    UnitOfWork warm1(*pool);
    UnitOfWork warm2(*pool);
  }
  {
    UnitOfWork before(*pool);
    before.Begin();
    Insert(before, "stored before the restore");
    before.Commit();
  }
  Backup(path, path + ".new");

  auto in_flight = std::make_unique<UnitOfWork>(*pool);
  in_flight->Begin();
  Insert(*in_flight, "committed to the old file");
  ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);

  // No connection to the old file is handed out, and none opens on the
  // new one while the old file's connection lives: it would adopt the
  // old file's write-ahead log.
  EXPECT_NE(
      MessageOf([&] { UnitOfWork next(*pool); }).find("database file replaced"),
      std::string::npos);
  EXPECT_EQ(pool->NotReadyCause(), "database file replaced");
  EXPECT_EQ(pool->open_count(), 1);

  // What the unit committed went to the old file: answered as failed.
  EXPECT_NE(MessageOf([&] { in_flight->Commit(); }).find("not stored"),
            std::string::npos);
  in_flight.reset();
  EXPECT_EQ(pool->open_count(), 0);

  {
    UnitOfWork after(*pool);
    after.Begin();
    Insert(after, "stored after the restore");
    after.Commit();
  }
  EXPECT_EQ(pool->NotReadyCause(), "");
  pool.reset();
  EXPECT_EQ(db.Scalar("PRAGMA integrity_check"), "ok");
  EXPECT_EQ(db.Scalar("SELECT group_concat(Nota, '|') FROM Pedido"),
            "before the backup|stored before the restore|"
            "stored after the restore");
}

// The file moved away is no database to serve either; brought back, the
// same file opens again.
TEST(ReplacedFileTest, AFileMovedAwayAndBackIsOpenedAgain) {
  testing::TempDatabase db(kSchema);
  const std::string path = db.path();
  auto pool = OpenConnectionPool(SqliteSettings(path), 4);
  ASSERT_EQ(std::rename(path.c_str(), (path + ".away").c_str()), 0);
  EXPECT_THROW(UnitOfWork{*pool}, DriverError);
  EXPECT_EQ(pool->NotReadyCause(), "database file moved or removed");
  ASSERT_EQ(std::rename((path + ".away").c_str(), path.c_str()), 0);
  {
    UnitOfWork uow(*pool);
    uow.Begin();
    Insert(uow, "back");
    uow.Commit();
  }
  EXPECT_EQ(pool->NotReadyCause(), "");
  pool.reset();
  EXPECT_EQ(db.Scalar("SELECT count(*) FROM Pedido"), "2");
}

// A write refused for want of storage makes the pool's database not
// ready until a write is stored.
TEST(ReplacedFileTest, AWriteThatFindsTheFileLockedIsNotedUntilOneIsStored) {
  testing::TempDatabase db(kSchema);
  auto pool = OpenConnectionPool(SqliteSettings(db.path()), 4);
  SqliteConnection outside(db.path());
  outside.Begin();
  // The write check waits a tenth of a second for the lock, then fails as
  // a write would.
  {
    auto c = pool->Acquire();
    EXPECT_THROW(c->CheckWrite(std::chrono::milliseconds(100)), StorageError);
    EXPECT_FALSE(c->InTransaction());
    pool->Release(std::move(c));
  }
  pool->NoteWriteFailed("database is locked");
  EXPECT_EQ(pool->NotReadyCause(), "database: writes fail: database is locked");
  outside.Rollback();
  {
    auto c = pool->Acquire();
    EXPECT_NO_THROW(c->CheckWrite(std::chrono::milliseconds(100)));
    pool->Release(std::move(c));
  }
  {
    UnitOfWork uow(*pool);
    uow.Begin();
    Insert(uow, "stored");
    uow.Commit();
  }
  EXPECT_EQ(pool->NotReadyCause(), "");
  EXPECT_TRUE(pool->WriteStoredWithin(std::chrono::seconds(60)));
}

// Without traffic, a failed write stops counting after the window.
TEST(ReplacedFileTest, AFailedWriteIsForgottenAfterTheWindow) {
  testing::TempDatabase db(kSchema);
  auto now = std::chrono::steady_clock::now();
  ConnectionPool::Options options;
  options.clock = [&] { return now; };
  ConnectionPool pool(MakeConnectionFactory(SqliteSettings(db.path())),
                      options);
  pool.NoteWriteFailed("database or disk is full");
  now += ConnectionPool::kWriteFailureWindow - std::chrono::milliseconds(1);
  EXPECT_EQ(pool.NotReadyCause(),
            "database: writes fail: database or disk is full");
  now += std::chrono::milliseconds(1);
  EXPECT_EQ(pool.NotReadyCause(), "");
}

}  // namespace
}  // namespace norvessa
