#ifndef NORVESSA_DB_SQL_LEXER_H_
#define NORVESSA_DB_SQL_LEXER_H_

#include <string>
#include <string_view>
#include <vector>

namespace norvessa {

enum class SqlTokenKind {
  kSpace,       // blanks and line breaks
  kComment,     // -- to the end of the line, or /* ... */
  kString,      // '...' with '' inside (also N'...')
  kIdentifier,  // words, keywords and [bracketed] or "quoted" names
  kNumber,
  kParameter,  // :Name
  kOperator,   // = <> != < <= > >= and every other punctuation character
};

struct SqlToken {
  SqlTokenKind kind;
  std::string text;

  bool IsWord(std::string_view word) const;  // an identifier, any case
  bool Is(std::string_view op) const {
    return kind == SqlTokenKind::kOperator && text == op;
  }
};

// Splits T-SQL text into tokens; joining their texts gives the text back.
std::vector<SqlToken> TokenizeSql(std::string_view sql);
std::string JoinTokens(const std::vector<SqlToken>& tokens);

// The content of a string literal token ('it''s' -> it's).
std::string StringLiteralValue(const SqlToken& token);
// A quoted SQL literal: 'it''s'.
std::string QuoteSqlString(std::string_view value);

// The names of the text's :Name parameters in order of appearance
// (repeats kept), never taken from inside literals or comments; "?"
// markers have none.
std::vector<std::string> SqlParameterNames(std::string_view sql);

}  // namespace norvessa

#endif  // NORVESSA_DB_SQL_LEXER_H_
