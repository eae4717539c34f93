#include "support/temp_database.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

namespace norvessa::testing {
namespace {

struct Db {
  explicit Db(const std::string& path, int flags) {
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      throw std::runtime_error("cannot open " + path);
    }
    sqlite3_busy_timeout(db, 10000);
  }
  ~Db() { sqlite3_close(db); }
  sqlite3* db = nullptr;
};

}  // namespace

TempDatabase::TempDatabase(std::string_view script) {
  std::string tmpl =
      (std::filesystem::temp_directory_path() / "norvessa-db-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  dir_ = tmpl;
  path_ = dir_ + "/test.db";
  { Db create(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE); }
  if (!script.empty()) Exec(script);
}

TempDatabase::~TempDatabase() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TempDatabase::Exec(std::string_view script) const {
  Db db(path_, SQLITE_OPEN_READWRITE);
  char* error = nullptr;
  if (sqlite3_exec(db.db, std::string(script).c_str(), nullptr, nullptr,
                   &error) != SQLITE_OK) {
    const std::string message = error ? error : "sqlite3_exec failed";
    sqlite3_free(error);
    throw std::runtime_error(message);
  }
}

std::string TempDatabase::Scalar(std::string_view sql) const {
  Db db(path_, SQLITE_OPEN_READWRITE);
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.db, std::string(sql).c_str(), -1, &stmt, nullptr) !=
      SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(db.db));
  }
  std::string out;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const auto* text =
        reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
    if (text) out = text;
  }
  sqlite3_finalize(stmt);
  return out;
}

}  // namespace norvessa::testing
