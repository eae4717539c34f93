#ifndef NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
#define NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/sqlite/read_queue.h"
#include "db/sqlite/writer_turn.h"

struct sqlite3;
struct sqlite3_stmt;

namespace norvessa {

// What the connections of one pool share about their database file: which
// file (device and inode) they opened and how many are open on it.
//
// Restoring a backup by renaming another file over the path leaves those
// connections on the old file, while the path's -wal and -shm, which keep
// their names, still belong to the old one: a connection opened on the new
// file while an old one lives adopts the old write-ahead log, and corrupts
// the new file or sends its writes to the old one. So no connection opens
// while connections to another file are open, and when the last of them
// has closed, the old file's log and shared memory, which SQLite leaves
// behind under the path's names, are removed before the path is opened
// again.
class SqliteFileGuard {
 public:
  struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool operator==(const FileId&) const = default;
  };

  // Counts a connection about to open the file `id`; fails (connection
  // lost) while connections to another file are still open.
  void Enter(const FileId& id, const std::string& path);
  void Leave();
  // A connection found its path naming another file: one line on stderr
  // per replacement.
  void Replaced(const std::string& path, const std::string& reason);
  // Whether a connection may try to empty the write-ahead log now, and
  // how long that try may wait for readers: one try at a time among the
  // connections to the file, none for `retry_after` after a failed one.
  // The wait starts at `first`, doubles after a failed try, up to `most`,
  // and halves after one done within half its wait (`quick`).
  std::optional<std::chrono::milliseconds> TakeCheckpointTry(
      std::chrono::milliseconds first, std::chrono::milliseconds most);
  void CheckpointTried(bool done, bool quick,
                       std::chrono::milliseconds retry_after);

  // Writes pausing this long have the write-ahead log emptied, so that it
  // does not keep its size through a quiet night.
  static constexpr std::chrono::milliseconds kLull{2000};
  // A commit to the file at `path`; the first starts the thread that
  // empties the log in a lull, which the guard's end stops.
  void Committed(const std::string& path);

  SqliteFileGuard() = default;
  ~SqliteFileGuard();
  SqliteFileGuard(const SqliteFileGuard&) = delete;
  SqliteFileGuard& operator=(const SqliteFileGuard&) = delete;

 private:
  void EmptyLogInLulls();

  std::mutex mutex_;
  FileId id_;
  int open_ = 0;
  bool told_ = false;
  std::chrono::steady_clock::time_point replaced_at_;
  bool checkpointing_ = false;
  int failed_checkpoints_ = 0;
  std::chrono::steady_clock::time_point next_checkpoint_{};
  // The lull's thread and what it watches.
  std::string path_;
  bool written_ = false;
  std::chrono::steady_clock::time_point last_commit_{};
  bool stopping_ = false;
  std::condition_variable lull_;
  std::thread lull_thread_;
};

// The embedded database: an EXISTING SQLite file, opened read-write (a
// missing file, one that is not a database or one this process may not
// write fails), in WAL mode with a busy timeout and foreign keys enforced.
// A connection that finds the file unwritable, unreadable, moved or
// damaged later is broken, and its pool opens a fresh one. The T-SQL the
// service writes is translated before it runs; LIKE ignores case and accents
// and the collation Latin1_General_CI_AI is known. A float parameter that is
// not finite is refused, as SQL Server refuses it.
class SqliteConnection : public Connection {
 public:
  // The write-ahead log's bound. SQLite's own checkpoints copy its pages
  // into the file but leave it at its largest, and under a steady flow of
  // readers and writers it never starts over, so it grows without limit.
  // Past kLogBytes a commit, still holding the writers' turn, checkpoints
  // and truncates it, waiting for the readers that began before the copy:
  // kLogWait in all at first, after each failed try (the next comes
  // kLogRetryAfter later) twice as long, up to kLogMostWait, and half as
  // long again after a try done within half its wait. Writers wait
  // for it as for any turn, and the turn does not count as stuck
  // meanwhile. A log that starts over is cut back to kLogBytes.
  static constexpr std::int64_t kLogBytes = 4 << 20;
  static constexpr std::chrono::milliseconds kLogWait{150};
  static constexpr std::chrono::milliseconds kLogMostWait{2400};
  static constexpr std::chrono::milliseconds kLogRetryAfter{1000};

  // Connections to one file that share `turn` take turns for their write
  // transactions; those that share `file` never open two files at once
  // under one path; those that share `reads` line up for long reads.
  explicit SqliteConnection(const std::string& path,
                            std::shared_ptr<WriterTurn> turn = nullptr,
                            std::shared_ptr<SqliteFileGuard> file = nullptr,
                            std::shared_ptr<ReadQueue> reads = nullptr);
  ~SqliteConnection() override;
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override;
  void Visit(std::string_view sql, const std::vector<Param>& params,
             RowVisitor& visitor) override;
  std::optional<std::int64_t> Execute(
      std::string_view sql, const std::vector<Param>& params) override;
  std::int64_t InsertReturningKey(std::string_view sql,
                                  const std::vector<Param>& params) override;

  void Begin() override;
  void Commit() override;
  void Rollback() override;
  bool InTransaction() const override;
  bool IsBroken() const override { return broken_; }
  // "database file replaced" when the path now names another file, and
  // "database file moved or removed" when it names none.
  std::string InvalidReason() override;
  void CheckWrite(std::chrono::milliseconds limit) override;

  // The busy handler's state: when the current wait for another
  // process's lock began, and how long it may last; and, when set, when
  // every wait of the statement under way ends (a checkpoint waits for
  // several locks in turn).
  struct LockWait {
    std::chrono::steady_clock::time_point since;
    std::chrono::milliseconds limit;
    std::optional<std::chrono::steady_clock::time_point> until;
    // Renewed at every try while it waits: the turn's holder waits for
    // work of the turn's own, not for another process.
    WriterTurn* renew = nullptr;
  };

  // Finalizes a statement.
  struct StatementDeleter {
    void operator()(sqlite3_stmt* s) const;
  };

 private:
  // A prepared statement kept for reuse, and when it was last used.
  struct Cached {
    std::unique_ptr<sqlite3_stmt, StatementDeleter> statement;
    std::uint64_t last_use = 0;
    // The result's columns, taken from the declared types at the first
    // run; those without one are typed by their values at each run.
    bool described = false;
    std::vector<ResultColumn> columns;
    std::vector<bool> from_values;
    // Its last run, on any connection of the queue, took
    // ReadQueue::kLongRead of CPU or more; none without a queue.
    ReadQueue::LongMark long_read;
  };

  [[noreturn]] void Fail(int code);
  void Run(const char* sql);
  void TakeTurn(std::chrono::milliseconds limit);
  void PassTurn();
  // The statement for this T-SQL text, prepared once per connection and
  // reused, with the parameters bound; `rc` tells whether all went well
  // (nullptr when it could not be prepared).
  Cached* Prepare(std::string_view tsql, const std::vector<Param>& params,
                  int& rc);

  static constexpr std::size_t kCachedStatements = 64;

  // Runs the statement: `begin` takes its columns (kUnknown where the
  // values tell the type), then `on_row` each row, read into one reused
  // row that `on_row` may move from. Returns the columns.
  const std::vector<ResultColumn>& Steps(
      std::string_view sql, const std::vector<Param>& params,
      const std::function<void(const std::vector<ResultColumn>&)>& begin,
      const std::function<void(Row&)>& on_row);

  void OpenChecked(const std::string& path);
  // After a commit, with the writers' turn still held: a write-ahead log
  // past kLogBytes is checkpointed and truncated when the readers let it.
  void BoundLog();

  std::string path_;
  std::string log_path_;
  std::shared_ptr<SqliteFileGuard> file_;
  SqliteFileGuard::FileId id_;
  bool entered_ = false;
  sqlite3* db_ = nullptr;
  bool broken_ = false;
  // Looked up by the text as given, without copying it.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };
  std::unordered_map<std::string, Cached, TextHash, std::equal_to<>>
      statements_;
  std::shared_ptr<WriterTurn> turn_;
  std::shared_ptr<ReadQueue> reads_;
  bool has_turn_ = false;
  LockWait lock_wait_;
  std::uint64_t uses_ = 0;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_SQLITE_CONNECTION_H_
