#include "db/sqlite/sqlite_functions.h"

#include <sqlite3.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "db/sqlite/tsql_like.h"
#include "db/sqlite/tsql_translator.h"

namespace norvessa {
namespace {

void LikeFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const auto* pattern =
      reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  if (pattern == nullptr || text == nullptr) {
    sqlite3_result_null(ctx);
    return;
  }
  std::optional<char32_t> escape;
  if (argc == 3) {
    const auto* e = reinterpret_cast<const char*>(sqlite3_value_text(argv[2]));
    if (e != nullptr && *e != '\0') {
      escape = FoldCaseAndAccents(e).front();
    }
  }
  // The pattern is read once per statement and kept with it while the
  // pattern argument stays the same: a filter runs once per row.
  auto* kept = static_cast<const TSqlLikePattern*>(sqlite3_get_auxdata(ctx, 0));
  if (kept == nullptr || !kept->Is(pattern, escape)) {
    auto compiled = std::make_unique<TSqlLikePattern>(pattern, escape);
    const bool matches = compiled->Matches(text);
    sqlite3_set_auxdata(ctx, 0, compiled.release(), [](void* p) {
      std::unique_ptr<TSqlLikePattern>(static_cast<TSqlLikePattern*>(p));
    });
    sqlite3_result_int(ctx, matches ? 1 : 0);
    return;
  }
  sqlite3_result_int(ctx, kept->Matches(text) ? 1 : 0);
}

void TryConvertIntFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  std::optional<std::int64_t> value;
  switch (sqlite3_value_type(argv[0])) {
    case SQLITE_INTEGER:
      value = sqlite3_value_int64(argv[0]);
      break;
    case SQLITE_FLOAT: {
      // A real number loses its fraction, as SQL Server's float to int.
      const double d = std::trunc(sqlite3_value_double(argv[0]));
      if (d >= INT32_MIN && d <= INT32_MAX) {
        value = static_cast<std::int64_t>(d);
      }
      break;
    }
    case SQLITE_TEXT: {
      const auto* text =
          reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
      if (text == nullptr) break;
      if (const auto n = TryConvertInt(std::string_view(
              text, static_cast<std::size_t>(sqlite3_value_bytes(argv[0]))))) {
        value = *n;
      }
      break;
    }
    default:
      break;
  }
  if (value && *value >= INT32_MIN && *value <= INT32_MAX) {
    sqlite3_result_int64(ctx, *value);
  } else {
    sqlite3_result_null(ctx);
  }
}

int CollateCiAi(void*, int a_len, const void* a, int b_len, const void* b) {
  return CompareCaseAndAccentInsensitive(
      std::string_view(static_cast<const char*>(a),
                       static_cast<std::size_t>(a_len)),
      std::string_view(static_cast<const char*>(b),
                       static_cast<std::size_t>(b_len)));
}

// A paging count given as a parameter: itself, or SQL Server's error.
template <int kLeast>
void PagingCountFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const std::int64_t value = sqlite3_value_int64(argv[0]);
  if (value < kLeast) {
    sqlite3_result_error(ctx, kLeast > 0 ? kNoRowsToFetch : kNegativeOffset,
                         -1);
    return;
  }
  sqlite3_result_int64(ctx, value);
}

}  // namespace

void RegisterTSqlFunctions(sqlite3* db) {
  sqlite3_create_collation_v2(db, "Latin1_General_CI_AI", SQLITE_UTF8, nullptr,
                              CollateCiAi, nullptr);
  for (int args : {2, 3}) {
    sqlite3_create_function_v2(db, "like", args,
                               SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                               LikeFunction, nullptr, nullptr, nullptr);
  }
  sqlite3_create_function_v2(db, kTryConvertInt, 1,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             TryConvertIntFunction, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, kOffsetRows, 1,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             PagingCountFunction<0>, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, kFetchRows, 1,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             PagingCountFunction<1>, nullptr, nullptr, nullptr);
}

}  // namespace norvessa
