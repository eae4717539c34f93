#include "db/sqlite/sqlite_connection.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "db/driver_error.h"
#include "db/sqlite/sqlite_functions.h"
#include "db/sqlite/tsql_translator.h"
#include "text/ascii.h"
#include "text/date_text.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

constexpr int kBusyTimeoutMs = 10000;

// Waits for a lock that another process holds, up to the busy timeout,
// trying again every quarter of a millisecond for the first second.
// Another process whose
// writers follow one another frees the lock only for moments between two
// of them; SQLite's own handler sleeps up to 100 ms between tries, misses
// those moments and keeps every writer of this process queued behind the
// one that sleeps, for seconds.
int WaitForLock(void* state, int tries) {
  using Clock = std::chrono::steady_clock;
  auto& wait = *static_cast<SqliteConnection::LockWait*>(state);
  const auto now = Clock::now();
  if (tries == 0) wait.since = now;
  const auto waited = now - wait.since;
  if (waited >= wait.limit) return 0;
  if (wait.until && now >= *wait.until) return 0;
  if (wait.renew != nullptr) wait.renew->Renew();
  // A lock held for over a second is a long transaction or a backup, not
  // a writer between two others: no need to wake 4,000 times a second.
  std::this_thread::sleep_for(tries < 10 ? std::chrono::microseconds(50)
                              : waited < std::chrono::seconds(1)
                                  ? std::chrono::microseconds(250)
                                  : std::chrono::microseconds(2000));
  return 1;
}

using Statement =
    std::unique_ptr<sqlite3_stmt, SqliteConnection::StatementDeleter>;

// Errors after which the connection cannot be trusted with the file (it
// may not write it, cannot open or read it, or finds it damaged): only a
// fresh connection can tell whether that has passed, as after a server
// went away.
bool IsConnectionLevel(int code) {
  switch (code & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_FULL:
      return true;
    default:
      return false;
  }
}

// Errors that say the file cannot take writes now: full, read-only,
// failing, or locked by another process past the wait.
bool IsStorage(int code) {
  switch (code & 0xFF) {
    case SQLITE_READONLY:
    case SQLITE_IOERR:
    case SQLITE_CANTOPEN:
    case SQLITE_FULL:
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return true;
    default:
      return false;
  }
}

// The field type of a declared column type; nothing for an expression or
// an unknown declaration, whose values decide.
std::optional<FieldType> TypeFromDeclared(const char* declared, int& size) {
  size = 0;
  if (declared == nullptr) return std::nullopt;
  const std::string decl = AsciiUpper(declared);
  const std::size_t paren = decl.find('(');
  std::string base = decl.substr(0, paren);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  if (paren != std::string::npos) {
    size = static_cast<int>(
        TryParseInteger(
            decl.substr(paren + 1, decl.find_first_of(",)", paren) - paren - 1))
            .value_or(0));
  }
  if (base == "BIGINT") return FieldType::kLargeint;
  if (base == "INT" || base == "INTEGER" || base == "SMALLINT" ||
      base == "TINYINT" || base == "MEDIUMINT") {
    return FieldType::kInteger;
  }
  if (base == "CHAR" || base == "VARCHAR" || base == "NVARCHAR" ||
      base == "NCHAR" || base == "TEXT" || base == "NTEXT" || base == "CLOB") {
    if (base == "TEXT" || base == "NTEXT" || base == "CLOB") size = 0;
    return FieldType::kString;
  }
  size = 0;
  if (base == "NUMERIC" || base == "DECIMAL" || base == "MONEY" ||
      base == "SMALLMONEY") {
    return FieldType::kFMTBcd;
  }
  if (base == "REAL" || base == "FLOAT" || base == "DOUBLE" ||
      base == "DOUBLE PRECISION") {
    return FieldType::kFloat;
  }
  if (base == "DATETIME" || base == "SMALLDATETIME" || base == "DATETIME2" ||
      base == "TIMESTAMP") {
    return FieldType::kTimeStamp;
  }
  if (base == "DATE") return FieldType::kDate;
  if (base == "TIME") return FieldType::kTime;
  if (base == "BIT" || base == "BOOLEAN" || base == "BOOL") {
    return FieldType::kBoolean;
  }
  if (base == "BLOB" || base == "VARBINARY" || base == "BINARY" ||
      base == "IMAGE") {
    return FieldType::kBlob;
  }
  return std::nullopt;
}

// The column's text into `out`, reusing the room of the text it held.
void ReadText(FieldValue& out, sqlite3_stmt* s, int i) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
  const auto size = static_cast<std::size_t>(sqlite3_column_bytes(s, i));
  if (auto* held = std::get_if<std::string>(&out)) {
    held->assign(text ? text : "", text ? size : 0);
  } else {
    out = text ? std::string(text, size) : std::string();
  }
}

void ReadValue(FieldValue& out, sqlite3_stmt* s, int i, FieldType type,
               const char* column) {
  if (sqlite3_column_type(s, i) == SQLITE_NULL) {
    out = std::monostate{};
    return;
  }
  switch (KindOf(type)) {
    case FieldKind::kInteger:
      out = static_cast<std::int64_t>(sqlite3_column_int64(s, i));
      return;
    case FieldKind::kDecimal:
      out = sqlite3_column_double(s, i);
      return;
    case FieldKind::kBoolean:
      out = sqlite3_column_int64(s, i) != 0;
      return;
    case FieldKind::kLargeObject: {
      const auto* bytes = static_cast<const char*>(sqlite3_column_blob(s, i));
      out = std::string(bytes ? bytes : "",
                        static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
      return;
    }
    case FieldKind::kDateTime: {
      // Stored as text 'yyyy-mm-dd hh:mm:ss[.fff]'.
      const auto* text =
          reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      const std::string_view view(
          text ? text : "",
          static_cast<std::size_t>(sqlite3_column_bytes(s, i)));
      auto value = TryParseIso8601(view);
      if (!value) value = TryParseTime(view);
      if (!value) {
        throw DriverError("Invalid date and time '" + std::string(view) +
                          "' in column " + column);
      }
      out = *value;
      return;
    }
    default:
      ReadText(out, s, i);
  }
}

// Expression columns: numbers are floats, text is text.
FieldType TypeFromValues(const std::vector<Row>& rows, std::size_t column) {
  bool number = false;
  for (const Row& row : rows) {
    const FieldValue& v = row[column];
    if (std::holds_alternative<std::string>(v)) return FieldType::kString;
    if (!std::holds_alternative<std::monostate>(v)) number = true;
  }
  return number ? FieldType::kFloat : FieldType::kString;
}

// SQLite would store infinity, and NaN as NULL; SQL Server refuses both.
void CheckParams(const std::vector<Param>& params) {
  for (const Param& p : params) {
    const auto* d = std::get_if<double>(&p.value);
    if (d != nullptr && !std::isfinite(*d)) {
      throw DriverError(
          "The supplied value is not a valid instance of data type "
          "float (parameter :" +
          p.name + ")");
    }
  }
}

}  // namespace

void SqliteConnection::StatementDeleter::operator()(sqlite3_stmt* s) const {
  sqlite3_finalize(s);
}

namespace {

// The file a path names now; nothing when it names none.
std::optional<SqliteFileGuard::FileId> FileAt(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return SqliteFileGuard::FileId{static_cast<std::uint64_t>(st.st_dev),
                                 static_cast<std::uint64_t>(st.st_ino)};
}

// One line to stderr in one write.
void WriteLine(const std::string& line) {
  const std::string text = line + "\n";
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

constexpr char kReplaced[] = "database file replaced";
constexpr char kMissing[] = "database file moved or removed";

}  // namespace

void SqliteFileGuard::Enter(const FileId& id, const std::string& path) {
  std::lock_guard lock(mutex_);
  if (open_ > 0 && !(id == id_)) {
    throw DatabaseReplaced(
        "Cannot open database " + path + ": " + kReplaced +
            "; it is opened again once every connection to the old file "
            "has closed",
        kReplaced);
  }
  if (open_ == 0 && !(id == id_)) {
    if (!(id_ == FileId{})) {
      // SQLite does not checkpoint a file that was renamed over when its
      // last connection closes: the old file's log is still here under
      // the path's name, and the new file would take its pages for its
      // own. Every connection to the old file is closed; its log goes.
      ::unlink((path + "-wal").c_str());
      ::unlink((path + "-shm").c_str());
    }
    if (told_) {
      char seconds[32];
      std::snprintf(seconds, sizeof seconds, "%.1f",
                    std::chrono::duration<double>(
                        std::chrono::steady_clock::now() - replaced_at_)
                        .count());
      WriteLine("Database file " + path +
                " opened again after it was replaced or moved (" + seconds +
                " s)");
    }
    told_ = false;
    id_ = id;
  }
  ++open_;
}

void SqliteFileGuard::Leave() {
  std::lock_guard lock(mutex_);
  --open_;
}

void SqliteFileGuard::Replaced(const std::string& path,
                               const std::string& reason) {
  std::lock_guard lock(mutex_);
  if (told_) return;
  told_ = true;
  replaced_at_ = std::chrono::steady_clock::now();
  WriteLine("Database file " + path + ": " + reason +
            " while the service runs. Its connections to the old file are "
            "closed before the path is opened again; until then requests "
            "that need the database fail, and an order committed to the old "
            "file is answered as failed. Stop every instance before "
            "restoring a backup.");
}

std::optional<std::chrono::milliseconds> SqliteFileGuard::TakeCheckpointTry(
    std::chrono::milliseconds first, std::chrono::milliseconds most) {
  std::lock_guard lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  if (checkpointing_ || now < next_checkpoint_) return std::nullopt;
  checkpointing_ = true;
  return std::min(first * (1 << std::min(failed_checkpoints_, 8)), most);
}

void SqliteFileGuard::CheckpointTried(bool done, bool quick,
                                      std::chrono::milliseconds retry_after) {
  std::lock_guard lock(mutex_);
  checkpointing_ = false;
  // The wait that worked is kept for the next try, as long as the readers
  // keep needing it: a try that failed waits twice as long next time, one
  // done in less than half its wait half as long.
  if (!done) {
    failed_checkpoints_ = std::min(failed_checkpoints_ + 1, 8);
  } else if (quick && failed_checkpoints_ > 0) {
    --failed_checkpoints_;
  }
  next_checkpoint_ = done ? std::chrono::steady_clock::time_point{}
                          : std::chrono::steady_clock::now() + retry_after;
}

void SqliteFileGuard::Committed(const std::string& path) {
  std::lock_guard lock(mutex_);
  last_commit_ = std::chrono::steady_clock::now();
  if (!written_) {
    written_ = true;
    lull_.notify_one();
  }
  if (!lull_thread_.joinable()) {
    path_ = path;
    lull_thread_ = std::thread([this] { EmptyLogInLulls(); });
  }
}

SqliteFileGuard::~SqliteFileGuard() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  lull_.notify_one();
  if (lull_thread_.joinable()) lull_thread_.join();
}

void SqliteFileGuard::EmptyLogInLulls() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!written_) {
      lull_.wait(lock, [&] { return stopping_ || written_; });
      continue;
    }
    const auto due = last_commit_ + kLull;
    if (std::chrono::steady_clock::now() < due) {
      lull_.wait_until(lock, due);
      continue;
    }
    written_ = false;
    // Only while the pool's connections hold this very file: then this
    // connection of a moment is never the last one to close.
    if (open_ == 0 || id_ == FileId{}) continue;
    const FileId id = id_;
    lock.unlock();
    bool emptied = false;
    sqlite3* db = nullptr;
    if (FileAt(path_) == std::optional(id) &&
        sqlite3_open_v2(path_.c_str(), &db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                        nullptr) == SQLITE_OK) {
      if (FileAt(path_) == std::optional(id)) {
        // Writers that come meanwhile wait for it, holding their turn.
        sqlite3_busy_timeout(
            db, static_cast<int>(SqliteConnection::kLogMostWait.count()));
        // A connection takes up the log at its first statement.
        emptied =
            sqlite3_exec(db, "select count(*) from sqlite_master", nullptr,
                         nullptr, nullptr) == SQLITE_OK &&
            sqlite3_wal_checkpoint_v2(db, "main", SQLITE_CHECKPOINT_TRUNCATE,
                                      nullptr, nullptr) == SQLITE_OK;
      } else {
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      }
    }
    sqlite3_close(db);
    lock.lock();
    // A reader kept it busy: again after another lull.
    if (!emptied && !written_) {
      written_ = true;
      last_commit_ = std::chrono::steady_clock::now();
    }
  }
}

SqliteConnection::SqliteConnection(const std::string& path,
                                   std::shared_ptr<WriterTurn> turn,
                                   std::shared_ptr<SqliteFileGuard> file,
                                   std::shared_ptr<ReadQueue> reads)
    : path_(path),
      log_path_(path + "-wal"),
      file_(file ? std::move(file) : std::make_shared<SqliteFileGuard>()),
      turn_(std::move(turn)),
      reads_(std::move(reads)) {
  lock_wait_.limit = std::chrono::milliseconds(kBusyTimeoutMs);
  // SQLite hands a new connection a descriptor that an earlier one of this
  // process left open on the same file, so an open can succeed on a file
  // this process may no longer read or write; ask the file system first.
  if (::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 &&
      errno != ENOENT) {
    const int error = errno;
    const bool readable =
        ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0;
    throw DriverError("Cannot open database " + path + ": " +
                          (readable ? std::string("the file is not writable")
                                    : std::string(std::strerror(error))),
                      true);
  }
  // Never creates a file: the demo and test databases must exist.
  // A missing file fails to open below, with SQLite's own words.
  if (const auto before = FileAt(path)) {
    id_ = *before;
    file_->Enter(id_, path);
    entered_ = true;
  }
  try {
    OpenChecked(path);
  } catch (...) {
    if (entered_) file_->Leave();
    entered_ = false;
    throw;
  }
}

void SqliteConnection::OpenChecked(const std::string& path) {
  const int rc = sqlite3_open_v2(
      path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DriverError("Cannot open database " + path + ": " + message, true);
  }
  // Renamed over while it opened: this connection may have the new file
  // and the old one's log. It must not checkpoint that log into the file
  // when it closes.
  if (FileAt(path) != std::optional(id_)) {
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    sqlite3_close(db_);
    db_ = nullptr;
    throw DatabaseReplaced("Cannot open database " + path + ": " + kReplaced,
                           kReplaced);
  }
  // SQLite opens a write-protected file read-only without a word; such a
  // connection would fail every write for as long as it stays pooled.
  if (sqlite3_db_readonly(db_, "main") == 1) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw DriverError(
        "Cannot open database " + path + ": the file is not writable", true);
  }
  try {
    sqlite3_busy_handler(db_, WaitForLock, &lock_wait_);
    // A file that is not a database fails here, at the first statement.
    Run("select count(*) from sqlite_master");
    Run("PRAGMA journal_mode=WAL");
    // An acknowledged order survives a power loss: in WAL mode only FULL
    // syncs the log at every commit, whatever the library's build default.
    Run("PRAGMA synchronous=FULL");
    // Declared references hold, as they do on the server.
    Run("PRAGMA foreign_keys=ON");
    Run(("PRAGMA journal_size_limit=" + std::to_string(kLogBytes)).c_str());
    RegisterTSqlFunctions(db_);
  } catch (const DriverError& e) {
    sqlite3_close(db_);
    db_ = nullptr;
    throw DriverError("Cannot open database " + path + ": " + e.what(), true);
  }
}

std::string SqliteConnection::InvalidReason() {
  const auto now = FileAt(path_);
  if (now == std::optional(id_)) return {};
  const std::string reason = now ? kReplaced : kMissing;
  file_->Replaced(path_, reason);
  return reason;
}

SqliteConnection::~SqliteConnection() {
  // SQLite closes no connection with statements left unfinalized.
  statements_.clear();
  // Closing rolls back what was left open; then the next writer may go.
  sqlite3_close(db_);
  PassTurn();
  if (entered_) file_->Leave();
}

void SqliteConnection::PassTurn() {
  if (has_turn_) {
    has_turn_ = false;
    turn_->Pass();
  }
}

void SqliteConnection::Fail(int code) {
  if (IsConnectionLevel(code)) broken_ = true;
  if (IsStorage(code)) throw StorageError(sqlite3_errmsg(db_), broken_);
  throw DriverError(sqlite3_errmsg(db_), broken_);
}

void SqliteConnection::Run(const char* sql) {
  Statement stmt;
  sqlite3_stmt* raw = nullptr;
  int rc = sqlite3_prepare_v2(db_, sql, -1, &raw, nullptr);
  stmt.reset(raw);
  if (rc != SQLITE_OK) Fail(rc);
  while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(rc);
}

namespace {

// The CPU time this thread has used.
std::chrono::nanoseconds ThreadCpuTime() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) +
         std::chrono::nanoseconds(now.tv_nsec);
}

// Resets a reused statement when its work is done, so that it holds no
// read lock between uses.
class Use {
 public:
  explicit Use(sqlite3_stmt* s) : s_(s) {}
  ~Use() {
    if (s_ != nullptr) {
      sqlite3_reset(s_);
      sqlite3_clear_bindings(s_);
    }
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;

 private:
  sqlite3_stmt* s_;
};

// The value for the statement's parameter `name`: ":Name" by name
// (without regard to case), "?N" the Nth parameter without a name; null
// when none is given.
const ParamValue* ValueFor(const char* name, const std::vector<Param>& params) {
  if (name == nullptr) return nullptr;
  if (name[0] == '?') {
    std::size_t n = 0;
    for (const char* c = name + 1; *c >= '0' && *c <= '9'; ++c) {
      n = n * 10 + static_cast<std::size_t>(*c - '0');
    }
    for (const Param& p : params) {
      if (p.name.empty() && --n == 0) return &p.value;
    }
    throw DriverError("The statement has more ? markers than values");
  }
  for (const Param& p : params) {
    if (!p.name.empty() && EqualsIgnoreCase(p.name, name + 1)) {
      return &p.value;
    }
  }
  return nullptr;
}

int Bind(sqlite3_stmt* stmt, const std::vector<Param>& params) {
  const int count = sqlite3_bind_parameter_count(stmt);
  for (int index = 1; index <= count; ++index) {
    const ParamValue* value =
        ValueFor(sqlite3_bind_parameter_name(stmt, index), params);
    if (value == nullptr) {
      // A parameter without a value is NULL; so is one named in a
      // statement cached with another call's values.
      const int rc = sqlite3_bind_null(stmt, index);
      if (rc != SQLITE_OK) return rc;
      continue;
    }
    const ParamValue& v = *value;
    int rc = SQLITE_OK;
    if (const auto* s = std::get_if<std::string>(&v)) {
      rc = sqlite3_bind_text(stmt, index, s->data(),
                             static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else if (const auto* i = std::get_if<std::int64_t>(&v)) {
      rc = sqlite3_bind_int64(stmt, index, *i);
    } else if (const auto* d = std::get_if<double>(&v)) {
      rc = sqlite3_bind_double(stmt, index, *d);
    } else if (const auto* t = std::get_if<DateTime>(&v)) {
      // The stored form of dates; milliseconds only when there are some.
      const std::string text = FormatDateTimePattern(
          t->milliseconds() % 1000 == 0 ? "yyyy-mm-dd hh:nn:ss"
                                        : "yyyy-mm-dd hh:nn:ss.zzz",
          *t);
      rc = sqlite3_bind_text(stmt, index, text.data(),
                             static_cast<int>(text.size()), SQLITE_TRANSIENT);
    } else {
      rc = sqlite3_bind_null(stmt, index);
    }
    if (rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

}  // namespace

SqliteConnection::Cached* SqliteConnection::Prepare(
    std::string_view tsql, const std::vector<Param>& params, int& rc) {
  auto it = statements_.find(tsql);
  if (it == statements_.end()) {
    if (statements_.size() >= kCachedStatements) {
      // Let go of the statement used longest ago.
      auto oldest = statements_.begin();
      for (auto c = statements_.begin(); c != statements_.end(); ++c) {
        if (c->second.last_use < oldest->second.last_use) oldest = c;
      }
      statements_.erase(oldest);
    }
    const std::string sql = TranslateTSql(tsql);
    sqlite3_stmt* raw = nullptr;
    rc = sqlite3_prepare_v2(db_, sql.c_str(), static_cast<int>(sql.size()),
                            &raw, nullptr);
    Statement prepared(raw);
    if (rc != SQLITE_OK) return nullptr;
    it = statements_
             .emplace(std::string(tsql),
                      Cached{std::move(prepared),
                             0,
                             false,
                             {},
                             {},
                             reads_ ? reads_->MarkFor(tsql) : nullptr})
             .first;
  }
  it->second.last_use = ++uses_;
  rc = Bind(it->second.statement.get(), params);
  return &it->second;
}

const std::vector<ResultColumn>& SqliteConnection::Steps(
    std::string_view sql, const std::vector<Param>& params,
    const std::function<void(const std::vector<ResultColumn>&)>& begin,
    const std::function<void(Row&)>& on_row) {
  CheckParams(params);
  // A statement that was long last time waits for its place in line,
  // before it is prepared: a connection's first prepare of a long join is
  // long work too. One inside a transaction does not wait, as it may hold
  // the writers' turn.
  std::optional<ReadQueue::Place> place;
  if (reads_ != nullptr && !InTransaction()) {
    const auto known = statements_.find(sql);
    const ReadQueue::LongMark mark = known != statements_.end()
                                         ? known->second.long_read
                                         : reads_->MarkFor(sql);
    if (mark && mark->load(std::memory_order_relaxed)) place.emplace(*reads_);
  }
  int rc = SQLITE_OK;
  Cached* cached = Prepare(sql, params, rc);
  sqlite3_stmt* s = cached != nullptr ? cached->statement.get() : nullptr;
  const Use use(s);
  if (rc != SQLITE_OK) Fail(rc);
  // What the run costs, the prepare left out: a short statement whose
  // first prepare took long is not made to wait.
  const auto started = ThreadCpuTime();
  const int count = sqlite3_column_count(s);
  if (!cached->described) {
    cached->columns.clear();
    cached->from_values.assign(static_cast<std::size_t>(count), false);
    for (int i = 0; i < count; ++i) {
      ResultColumn column;
      column.name = sqlite3_column_name(s, i);
      const auto type =
          TypeFromDeclared(sqlite3_column_decltype(s, i), column.size);
      if (type) {
        column.type = *type;
      } else {
        // Read as they come; the values tell the type.
        column.type = FieldType::kUnknown;
        cached->from_values[static_cast<std::size_t>(i)] = true;
      }
      cached->columns.push_back(std::move(column));
    }
    cached->described = true;
  }
  const std::vector<ResultColumn>& columns = cached->columns;
  const std::vector<bool>& from_values = cached->from_values;
  begin(columns);
  Row row(static_cast<std::size_t>(count));
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    row.resize(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
      const auto index = static_cast<std::size_t>(i);
      FieldValue& value = row[index];
      if (from_values[index]) {
        switch (sqlite3_column_type(s, i)) {
          case SQLITE_NULL:
            value = std::monostate{};
            break;
          case SQLITE_INTEGER:
          case SQLITE_FLOAT:
            value = sqlite3_column_double(s, i);
            break;
          default:
            ReadText(value, s, i);
        }
      } else {
        ReadValue(value, s, i, columns[index].type,
                  columns[index].name.c_str());
      }
    }
    on_row(row);
  }
  if (rc != SQLITE_DONE) Fail(rc);
  if (cached->long_read) {
    cached->long_read->store(ThreadCpuTime() - started >= ReadQueue::kLongRead,
                             std::memory_order_relaxed);
  }
  return columns;
}

void SqliteConnection::Visit(std::string_view sql,
                             const std::vector<Param>& params,
                             RowVisitor& visitor) {
  Steps(
      sql, params,
      [&](const std::vector<ResultColumn>& columns) { visitor.Begin(columns); },
      [&](Row& row) { visitor.Visit(row); });
}

ResultSet SqliteConnection::Open(std::string_view sql,
                                 const std::vector<Param>& params) {
  ResultSet result;
  result.columns = Steps(
      sql, params, [](const std::vector<ResultColumn>&) {},
      [&](Row& row) { result.rows.push_back(std::move(row)); });
  for (std::size_t i = 0; i < result.columns.size(); ++i) {
    if (result.columns[i].type != FieldType::kUnknown) continue;
    result.columns[i].type = TypeFromValues(result.rows, i);
    if (result.columns[i].type == FieldType::kString) {
      // Numbers in a text column are text too.
      for (Row& row : result.rows) {
        if (const auto* d = std::get_if<double>(&row[i])) {
          row[i] = FormatFloat(*d);
        }
      }
    }
  }
  return result;
}

std::optional<std::int64_t> SqliteConnection::Execute(
    std::string_view sql, const std::vector<Param>& params) {
  CheckParams(params);
  int rc = SQLITE_OK;
  Cached* cached = Prepare(sql, params, rc);
  sqlite3_stmt* s = cached != nullptr ? cached->statement.get() : nullptr;
  const Use use(s);
  if (rc != SQLITE_OK) Fail(rc);
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) Fail(rc);
  return sqlite3_changes64(db_);
}

std::int64_t SqliteConnection::InsertReturningKey(
    std::string_view sql, const std::vector<Param>& params) {
  Execute(sql, params);
  return sqlite3_last_insert_rowid(db_);
}

void SqliteConnection::Begin() {
  const bool take_turn = turn_ != nullptr && !has_turn_;
  if (take_turn) {
    TakeTurn(std::chrono::milliseconds(kBusyTimeoutMs));
  }
  try {
    Run("BEGIN IMMEDIATE");
  } catch (...) {
    // A transaction already open keeps its turn.
    if (take_turn && !InTransaction()) PassTurn();
    throw;
  }
}

void SqliteConnection::TakeTurn(std::chrono::milliseconds limit) {
  try {
    turn_->Take(limit);
  } catch (const StorageError&) {
    throw;
  } catch (const DriverError& e) {
    // The turn did not come: another write held the file too long.
    throw StorageError(e.what());
  }
  has_turn_ = true;
}

void SqliteConnection::CheckWrite(std::chrono::milliseconds limit) {
  if (InTransaction()) return;
  if (turn_ != nullptr && !has_turn_) TakeTurn(limit);
  struct Restore {
    SqliteConnection& c;
    ~Restore() {
      c.lock_wait_.limit = std::chrono::milliseconds(kBusyTimeoutMs);
      if (c.InTransaction()) {
        try {
          c.Run("ROLLBACK");
        } catch (const DriverError&) {
          c.broken_ = true;
        }
      }
      c.PassTurn();
    }
  } restore{*this};
  lock_wait_.limit = limit;
  Run("BEGIN IMMEDIATE");
}

void SqliteConnection::Commit() {
  Run("COMMIT");
  BoundLog();
  file_->Committed(path_);
  PassTurn();
}

void SqliteConnection::BoundLog() {
  struct stat st {};
  if (::stat(log_path_.c_str(), &st) != 0 || st.st_size < kLogBytes) return;
  const auto wait = file_->TakeCheckpointTry(kLogWait, kLogMostWait);
  if (!wait) return;
  // The truncation waits for the readers that began before the log was
  // copied into the file: tens of milliseconds, more on a busy machine.
  lock_wait_.until = std::chrono::steady_clock::now() + *wait;
  if (has_turn_) lock_wait_.renew = turn_.get();
  const auto started = std::chrono::steady_clock::now();
  const int rc = sqlite3_wal_checkpoint_v2(
      db_, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  const bool quick = std::chrono::steady_clock::now() - started < *wait / 2;
  lock_wait_.until.reset();
  lock_wait_.renew = nullptr;
  // Busy (a reader kept its snapshot past the wait) or failed: the commit
  // stands, and a commit after kLogRetryAfter tries again.
  file_->CheckpointTried(rc == SQLITE_OK, quick, kLogRetryAfter);
}

void SqliteConnection::Rollback() {
  // The turn passes on even when the rollback itself fails.
  struct PassOn {
    SqliteConnection& c;
    ~PassOn() { c.PassTurn(); }
  } pass{*this};
  if (InTransaction()) Run("ROLLBACK");
}

bool SqliteConnection::InTransaction() const {
  return db_ != nullptr && sqlite3_get_autocommit(db_) == 0;
}

}  // namespace norvessa
