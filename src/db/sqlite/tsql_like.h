#ifndef NORVESSA_DB_SQLITE_TSQL_LIKE_H_
#define NORVESSA_DB_SQLITE_TSQL_LIKE_H_

#include <optional>
#include <string>
#include <string_view>

namespace norvessa {

// Text as Latin1_General_CI_AI sees it: lower case, accents removed.
std::u32string FoldCaseAndAccents(std::string_view utf8);

// -1, 0 or 1, comparing without regard to case and accents.
int CompareCaseAndAccentInsensitive(std::string_view a, std::string_view b);

// SQL Server's LIKE under Latin1_General_CI_AI: "%" any run, "_" any one
// character, "[abc]", "[a-z]" and "[^abc]" sets; `escape` makes the next
// character literal.
bool TSqlLike(std::string_view pattern, std::string_view text,
              std::optional<char32_t> escape = std::nullopt);

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_TSQL_LIKE_H_
