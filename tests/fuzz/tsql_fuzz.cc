// The T-SQL lexer and the translation to the embedded database's SQL.
// Tokens join back into the text; a quoted value is one string token that
// reads back as the value; translation fails only with DriverError and leaves
// SQL without anything it rewrites as it was.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver_error.h"
#include "db/sql_lexer.h"
#include "db/sqlite/tsql_translator.h"
#include "fuzz_support.h"

namespace norvessa {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' ||
         c == '\v';
}

void CheckTokens(std::string_view sql) {
  const std::vector<SqlToken> tokens = TokenizeSql(sql);
  fuzz::Require(JoinTokens(tokens) == sql, "the tokens join into the text");
  std::vector<std::string> names;
  for (const SqlToken& t : tokens) {
    fuzz::Require(!t.text.empty(), "no token is empty");
    switch (t.kind) {
      case SqlTokenKind::kSpace:
        for (const char c : t.text) fuzz::Require(IsBlank(c), "blank space");
        break;
      case SqlTokenKind::kString:
        fuzz::Require(t.text.front() == '\'' || t.text[1] == '\'',
                      "a string starts with a quote or N and a quote");
        break;
      case SqlTokenKind::kParameter:
        if (t.text.front() == '?') {
          fuzz::Require(
              t.text.find_first_not_of("0123456789", 1) == std::string::npos,
              "a marker is a question mark and digits");
          break;
        }
        fuzz::Require(t.text.size() > 1 && t.text.front() == ':',
                      "a parameter is a colon and a name, or a marker");
        names.push_back(t.text.substr(1));
        break;
      default:
        break;
    }
  }
  fuzz::Require(SqlParameterNames(sql) == names,
                "the parameter names are those of the parameter tokens");
}

// Whatever the value, its quoted form is one string literal of it.
void CheckQuoting(std::string_view value) {
  const std::vector<SqlToken> tokens = TokenizeSql(QuoteSqlString(value));
  fuzz::Require(tokens.size() == 1 && tokens[0].kind == SqlTokenKind::kString,
                "a quoted value is one string token");
  fuzz::Require(StringLiteralValue(tokens[0]) == value,
                "a quoted value reads back");
}

// Translation touches only paging, CONVERT, dates compared as text, ORDER
// BY names and "?" markers (numbered).
bool Untouched(std::string_view sql) {
  for (const SqlToken& t : TokenizeSql(sql)) {
    if (t.IsWord("OFFSET") || t.IsWord("CONVERT") || t.IsWord("TRY_CONVERT") ||
        t.IsWord("ORDER") ||
        (t.kind == SqlTokenKind::kParameter && t.text == "?")) {
      return false;
    }
    if (t.kind == SqlTokenKind::kString &&
        t.text.find('/') != std::string::npos) {
      return false;
    }
  }
  return true;
}

void CheckTranslation(std::string_view sql) {
  std::string translated;
  try {
    translated = TranslateTSql(sql);
  } catch (const DriverError&) {
    return;
  }
  if (Untouched(sql)) {
    fuzz::Require(translated == sql, "SQL with nothing to rewrite passes");
  }
}

// varchar to int as SQL Server converts it: blanks around, a sign, digits,
// within int's range; blank text or a sign alone is 0.
std::optional<std::int32_t> ConvertedInt(std::string_view text) {
  const std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return 0;
  text = text.substr(first, text.find_last_not_of(' ') + 1 - first);
  const bool negative = text.front() == '-';
  if (text.front() == '-' || text.front() == '+') text.remove_prefix(1);
  if (text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  const std::size_t digit = text.find_first_not_of('0');
  text = digit == std::string_view::npos ? "" : text.substr(digit);
  if (text.size() > 10) return std::nullopt;
  std::int64_t magnitude = 0;
  for (const char c : text) magnitude = magnitude * 10 + (c - '0');
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace
}  // namespace norvessa

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view sql = norvessa::fuzz::AsText(data, size);
  norvessa::CheckTokens(sql);
  norvessa::CheckQuoting(sql);
  norvessa::CheckTranslation(sql);
  norvessa::fuzz::Require(
      norvessa::TryConvertInt(sql) == norvessa::ConvertedInt(sql),
      "TRY_CONVERT(int, x) reads as SQL Server does");
  return 0;
}
