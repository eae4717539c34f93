// A SQLite file behind the server: the statements no answer matches run on
// it through the service's own SqliteConnection, and come back as SQL
// Server would send them.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "db/driver_error.h"
#include "db/sql_lexer.h"
#include "db/sqlite/sqlite_connection.h"
#include "db/sqlite/writer_turn.h"
#include "support/scripted_odbc/driver_support.h"
#include "support/scripted_odbc/scripted_driver.h"
#include "text/date_time.h"

namespace norvessa::testing::scripted {
namespace {

// SQL Server's time(7), which plain ODBC headers lack.
constexpr int kSsTime2 = -154;

// Runs `body` without the server's mutex, which it takes back however
// `body` ends.
template <typename F>
auto Unlocked(Lock& lock, F&& body) {
  lock.unlock();
  struct Relock {
    Lock& lock;
    ~Relock() { lock.lock(); }
  } relock{lock};
  return body();
}

// Execute's count, whether the connection gives it as a number or as a
// number it may not know.
[[maybe_unused]] long long CountOf(std::int64_t n) { return n; }
[[maybe_unused]] long long CountOf(const std::optional<std::int64_t>& n) {
  return n.value_or(0);
}

std::string SqlStateOf(std::string_view message) {
  if (message.find("constraint failed") != std::string_view::npos) {
    return "23000";
  }
  if (message.find("syntax error") != std::string_view::npos) return "42000";
  return "HY000";
}

ScriptResult ErrorOf(const std::exception& e) {
  const auto* driver = dynamic_cast<const DriverError*>(&e);
  return Error(SqlStateOf(e.what()), e.what(),
               driver != nullptr && driver->connection_lost());
}

// A bound parameter as the service's own connections take it.
ParamValue ParamValueOf(const BoundParam& p) {
  if (!p.value) return std::monostate{};
  switch (p.c_type) {
    case SQL_C_SBIGINT:
    case SQL_C_UBIGINT:
    case SQL_C_SLONG:
    case SQL_C_LONG:
    case SQL_C_ULONG:
    case SQL_C_SSHORT:
    case SQL_C_SHORT:
    case SQL_C_USHORT:
    case SQL_C_STINYINT:
    case SQL_C_TINYINT:
    case SQL_C_UTINYINT:
    case SQL_C_BIT:
      return static_cast<std::int64_t>(std::stoll(*p.value));
    case SQL_C_DOUBLE:
      return Load<double>(p.bytes);
    case SQL_C_FLOAT:
      return static_cast<double>(Load<float>(p.bytes));
    case SQL_C_TYPE_DATE: {
      const auto d = Load<SQL_DATE_STRUCT>(p.bytes);
      return DateTime::FromParts(d.year, d.month, d.day);
    }
    case SQL_C_TYPE_TIMESTAMP: {
      const auto t = Load<SQL_TIMESTAMP_STRUCT>(p.bytes);
      return DateTime::FromParts(t.year, t.month, t.day, t.hour, t.minute,
                                 t.second,
                                 static_cast<int>(t.fraction / 1'000'000));
    }
    case SQL_C_BINARY:
      return p.bytes;
    default:
      return *p.value;
  }
}

// The column as SQL Server describes it.
ScriptColumn ColumnOf(const ResultColumn& column) {
  const auto text_size = static_cast<unsigned long>(column.size);
  switch (KindOf(column.type)) {
    case FieldKind::kInteger:
      return column.type == FieldType::kLargeint
                 ? ScriptColumn{column.name, SQL_BIGINT, 19, 0}
                 : ScriptColumn{column.name, SQL_INTEGER, 10, 0};
    case FieldKind::kDecimal:
      return column.type == FieldType::kCurrency ||
                     column.type == FieldType::kBCD ||
                     column.type == FieldType::kFMTBcd
                 ? ScriptColumn{column.name, SQL_DECIMAL, 19, 4}
                 : ScriptColumn{column.name, SQL_DOUBLE, 53, 0};
    case FieldKind::kBoolean:
      return {column.name, SQL_BIT, 1, 0};
    case FieldKind::kDateTime:
      if (column.type == FieldType::kDate) {
        return {column.name, SQL_TYPE_DATE, 10, 0};
      }
      if (column.type == FieldType::kTime)
        return {column.name, kSsTime2, 16, 7};
      return {column.name, SQL_TYPE_TIMESTAMP, 23, 3};
    case FieldKind::kLargeObject:
      return {column.name, SQL_VARBINARY, 0, 0};
    default:
      return column.type == FieldType::kGuid
                 ? ScriptColumn{column.name, SQL_GUID, 36, 0}
                 : ScriptColumn{column.name, SQL_WVARCHAR, text_size, 0};
  }
}

// A value as SQL Server renders the column's type as text.
ScriptValue ServerText(const FieldValue& value, const ScriptColumn& column) {
  char text[64];
  if (std::holds_alternative<std::monostate>(value)) return std::nullopt;
  if (const auto* s = std::get_if<std::string>(&value)) return *s;
  if (const auto* i = std::get_if<std::int64_t>(&value)) {
    return std::to_string(*i);
  }
  if (const auto* b = std::get_if<bool>(&value)) return *b ? "1" : "0";
  if (const auto* d = std::get_if<double>(&value)) {
    if (column.sql_type == SQL_DECIMAL) {
      std::snprintf(text, sizeof text, "%.*f", column.digits, *d);
      return text;
    }
    return ToText(*d);
  }
  const DateTime::Parts p = std::get<DateTime>(value).Split();
  if (column.sql_type == SQL_TYPE_DATE) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
  } else if (column.sql_type == kSsTime2) {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d0000", p.hour,
                  p.minute, p.second, p.millisecond);
  } else {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  p.year, p.month, p.day, p.hour, p.minute, p.second,
                  p.millisecond);
  }
  return text;
}

ScriptResult RowsOf(const ResultSet& set) {
  std::vector<ScriptColumn> columns;
  for (const ResultColumn& column : set.columns) {
    columns.push_back(ColumnOf(column));
  }
  std::vector<std::vector<ScriptValue>> rows;
  for (const Row& row : set.rows) {
    auto& out = rows.emplace_back();
    for (std::size_t i = 0; i < columns.size() && i < row.size(); ++i) {
      out.push_back(ServerText(row[i], columns[i]));
    }
  }
  return Rows(std::move(columns), std::move(rows));
}

// Runs `body` on the connection's SQLite connection, if it has one, without
// the server's mutex; what fails is reported as the server would.
template <typename F>
std::optional<Failure> OnBackend(Lock& lock, Connection& c, F&& body) {
  if (c.backend == nullptr) return std::nullopt;
  SqliteConnection& db = *c.backend;
  return Unlocked(lock, [&]() -> std::optional<Failure> {
    try {
      body(db);
    } catch (const std::exception& e) {
      return FailureOf(ErrorOf(e));
    }
    return std::nullopt;
  });
}

// One statement of a batch, as the driver treats it.
struct Piece {
  enum class Kind { kSet, kKey, kRows, kOther };
  Kind kind = Kind::kOther;
  std::string sql;
};

// What the driver makes of a statement; nothing for blanks and comments.
std::optional<Piece::Kind> KindOfPiece(const std::vector<SqlToken>& tokens) {
  const auto first =
      std::find_if(tokens.begin(), tokens.end(), [](const SqlToken& t) {
        return t.kind != SqlTokenKind::kSpace &&
               t.kind != SqlTokenKind::kComment;
      });
  if (first == tokens.end()) return std::nullopt;
  if (first->IsWord("SET")) return Piece::Kind::kSet;
  if (std::any_of(tokens.begin(), tokens.end(), [](const SqlToken& t) {
        return t.IsWord("SCOPE_IDENTITY");
      })) {
    return Piece::Kind::kKey;
  }
  if (first->IsWord("SELECT") || first->IsWord("WITH")) {
    return Piece::Kind::kRows;
  }
  return Piece::Kind::kOther;
}

// The batch's statements, split at the semicolons between them; its "?"
// markers named :p1, :p2... in order.
std::vector<Piece> SplitBatch(std::string_view text) {
  std::vector<Piece> pieces;
  std::vector<SqlToken> tokens;
  auto flush = [&] {
    if (const auto kind = KindOfPiece(tokens)) {
      pieces.push_back({*kind, JoinTokens(tokens)});
    }
    tokens.clear();
  };
  int marker = 0;
  for (SqlToken& t : TokenizeSql(text)) {
    if (t.Is(";")) {
      flush();
    } else if (t.kind == SqlTokenKind::kParameter && t.text == "?") {
      tokens.push_back(
          {SqlTokenKind::kParameter, ":p" + std::to_string(++marker)});
    } else {
      tokens.push_back(std::move(t));
    }
  }
  flush();
  return pieces;
}

}  // namespace

Connection::Connection(Environment* env)
    : Handle(SQL_HANDLE_DBC), environment(env) {}

Connection::~Connection() = default;

void CloseBackend(Connection& c) { c.backend.reset(); }

void Server::UseBackend(std::string path) {
  if (path == backend_path_) return;
  backend_path_ = std::move(path);
  backend_turn_ =
      backend_path_.empty() ? nullptr : std::make_shared<WriterTurn>();
  backend_file_ =
      backend_path_.empty() ? nullptr : std::make_shared<SqliteFileGuard>();
}

std::optional<Failure> Server::OpenBackend(Lock& lock, Connection& c) {
  if (backend_path_.empty()) return std::nullopt;
  const std::string path = backend_path_;
  auto turn = backend_turn_;
  auto file = backend_file_;
  try {
    c.backend = Unlocked(lock, [&] {
      return std::make_unique<SqliteConnection>(path, turn, file);
    });
  } catch (const std::exception& e) {
    return Failure{"08001", e.what()};
  }
  return std::nullopt;
}

std::vector<ScriptResult> Server::RunOnBackend(
    Lock& lock, Connection& c, const std::string& text,
    const std::vector<BoundParam>& bound) {
  SqliteConnection& db = *c.backend;
  // Without autocommit every statement runs in a transaction, which the
  // first one begins.
  const bool autocommit =
      c.Attribute(SQL_ATTR_AUTOCOMMIT, SQL_AUTOCOMMIT_ON) != SQL_AUTOCOMMIT_OFF;
  return Unlocked(lock, [&] {
    std::vector<ScriptResult> results;
    try {
      std::vector<Param> params;
      for (const BoundParam& p : bound) {
        params.push_back({"p" + std::to_string(p.number), ParamValueOf(p)});
      }
      const std::vector<Piece> pieces = SplitBatch(text);
      if (!autocommit && !db.InTransaction()) db.Begin();
      std::optional<std::int64_t> key;
      for (std::size_t i = 0; i < pieces.size(); ++i) {
        const Piece& piece = pieces[i];
        switch (piece.kind) {
          case Piece::Kind::kSet:
            break;
          case Piece::Kind::kKey:
            results.push_back(Rows(
                {{"", SQL_BIGINT, 19, 0}},
                {{key ? ScriptValue(std::to_string(*key)) : std::nullopt}}));
            break;
          case Piece::Kind::kRows:
            results.push_back(RowsOf(db.Open(piece.sql, params)));
            break;
          case Piece::Kind::kOther:
            if (i + 1 < pieces.size() &&
                pieces[i + 1].kind == Piece::Kind::kKey) {
              key = db.InsertReturningKey(piece.sql, params);
              results.push_back(Count(1));
            } else {
              results.push_back(Count(CountOf(db.Execute(piece.sql, params))));
            }
            break;
        }
      }
    } catch (const std::exception& e) {
      // The batch ends at its first error, as with XACT_ABORT ON.
      results.push_back(ErrorOf(e));
    }
    return results;
  });
}

std::optional<Failure> Server::BackendAutocommit(Lock& lock, Connection& c,
                                                 bool on) {
  return OnBackend(lock, c, [on](SqliteConnection& db) {
    // Turning autocommit on commits what is open.
    if (on && db.InTransaction()) db.Commit();
    if (!on && !db.InTransaction()) db.Begin();
  });
}

std::optional<Failure> Server::BackendEndTran(Lock& lock, Connection& c,
                                              bool commit) {
  return OnBackend(lock, c, [commit](SqliteConnection& db) {
    if (!db.InTransaction()) return;
    if (commit) {
      db.Commit();
    } else {
      db.Rollback();
    }
  });
}

void Server::BackendRolledBack(Connection& c) {
  if (c.backend == nullptr) return;
  try {
    c.backend->Rollback();
  } catch (const std::exception&) {
    // The next statement finds out what is wrong.
  }
}

}  // namespace norvessa::testing::scripted
