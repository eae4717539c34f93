#ifndef NORVESSA_DB_SQLITE_TSQL_LIKE_H_
#define NORVESSA_DB_SQLITE_TSQL_LIKE_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// A LIKE pattern read once, to be matched against many texts (one per row).
class TSqlLikePattern {
 public:
  TSqlLikePattern(std::string_view pattern, std::optional<char32_t> escape);
  ~TSqlLikePattern();
  TSqlLikePattern(TSqlLikePattern&&) noexcept;
  TSqlLikePattern& operator=(TSqlLikePattern&&) noexcept;

  bool Matches(std::string_view text) const;
  // Whether this is `pattern` read with `escape`.
  bool Is(std::string_view pattern, std::optional<char32_t> escape) const {
    return pattern == pattern_ && escape == escape_;
  }

  // One position of the read pattern (defined with the matcher).
  struct Atom;

 private:
  std::string pattern_;
  std::optional<char32_t> escape_;
  std::vector<Atom> atoms_;
};

}  // namespace norvessa

#endif  // NORVESSA_DB_SQLITE_TSQL_LIKE_H_
