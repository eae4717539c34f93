#include "db/sqlite/tsql_translator.h"

#include <optional>
#include <vector>

#include "db/driver_error.h"
#include "db/sql_lexer.h"
#include "text/date_time.h"

namespace norvessa {
namespace {

using Tokens = std::vector<SqlToken>;

bool Significant(const SqlToken& t) {
  return t.kind != SqlTokenKind::kSpace && t.kind != SqlTokenKind::kComment;
}

// The next significant token at or after `i`, or tokens.size().
std::size_t NextSig(const Tokens& t, std::size_t i) {
  while (i < t.size() && !Significant(t[i])) ++i;
  return i;
}

// The previous significant token before `i`, or npos.
std::size_t PrevSig(const Tokens& t, std::size_t i) {
  while (i > 0) {
    --i;
    if (Significant(t[i])) return i;
  }
  return std::string::npos;
}

bool IsComparison(const SqlToken& t) {
  return t.Is("=") || t.Is("<>") || t.Is("!=") || t.Is("<") || t.Is("<=") ||
         t.Is(">") || t.Is(">=");
}

// A signed integer literal or a parameter starting at significant token
// `i`; advances `i` past it.
struct Count {
  std::string text;
  std::optional<long long> value;  // nothing for a parameter
};

std::optional<Count> ReadCount(const Tokens& t, std::size_t& i) {
  i = NextSig(t, i);
  if (i >= t.size()) return std::nullopt;
  if (t[i].kind == SqlTokenKind::kParameter) {
    Count c{t[i].text, std::nullopt};
    ++i;
    return c;
  }
  bool negative = false;
  if (t[i].Is("-") || t[i].Is("+")) {
    negative = t[i].Is("-");
    i = NextSig(t, i + 1);
  }
  if (i >= t.size() || t[i].kind != SqlTokenKind::kNumber ||
      t[i].text.find_first_not_of("0123456789") != std::string::npos ||
      t[i].text.size() > 18) {
    return std::nullopt;
  }
  const long long v = std::stoll(t[i].text);
  ++i;
  return Count{(negative ? "-" : "") + std::to_string(v), negative ? -v : v};
}

bool ReadWord(const Tokens& t, std::size_t& i,
              std::initializer_list<std::string_view> words) {
  i = NextSig(t, i);
  if (i >= t.size()) return false;
  for (std::string_view w : words) {
    if (t[i].IsWord(w)) {
      ++i;
      return true;
    }
  }
  return false;
}

Tokens Reparse(const std::string& text) { return TokenizeSql(text); }

// OFFSET n ROWS FETCH NEXT m ROWS ONLY -> LIMIT m OFFSET n.
void TranslatePaging(Tokens& t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (!t[i].IsWord("OFFSET")) continue;
    std::size_t j = i + 1;
    const auto offset = ReadCount(t, j);
    if (!offset || !ReadWord(t, j, {"ROWS", "ROW"}) ||
        !ReadWord(t, j, {"FETCH"}) || !ReadWord(t, j, {"NEXT", "FIRST"})) {
      continue;
    }
    const auto fetch = ReadCount(t, j);
    if (!fetch || !ReadWord(t, j, {"ROWS", "ROW"}) ||
        !ReadWord(t, j, {"ONLY"})) {
      continue;
    }
    if (offset->value && *offset->value < 0) {
      throw DriverError(kNegativeOffset);
    }
    if (fetch->value && *fetch->value < 1) throw DriverError(kNoRowsToFetch);
    // A parameter's value is known only when the statement runs.
    auto checked = [](const Count& c, const char* function) {
      return c.value ? c.text : std::string(function) + "(" + c.text + ")";
    };
    t.erase(t.begin() + static_cast<std::ptrdiff_t>(i + 1),
            t.begin() + static_cast<std::ptrdiff_t>(j));
    t[i] = {SqlTokenKind::kIdentifier, "LIMIT " + checked(*fetch, kFetchRows) +
                                           " OFFSET " +
                                           checked(*offset, kOffsetRows)};
  }
}

// 'mm/dd/yyyy[ hh:mm:ss]' -> 'yyyy-mm-dd hh:mm:ss', or nothing.
std::optional<std::string> StoredDateLiteral(const std::string& value) {
  // Positions of the digits, and the separators between them.
  static constexpr std::string_view kDate = "99/99/9999";
  static constexpr std::string_view kDateTime = "99/99/9999 99:99:99";
  const std::string_view shape =
      value.size() == kDate.size() ? kDate : kDateTime;
  if (value.size() != shape.size()) return std::nullopt;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const bool digit = value[i] >= '0' && value[i] <= '9';
    if (shape[i] == '9' ? !digit : value[i] != shape[i]) return std::nullopt;
  }
  auto number = [&](std::size_t at, std::size_t len) {
    int n = 0;
    for (std::size_t k = at; k < at + len; ++k) n = n * 10 + (value[k] - '0');
    return n;
  };
  const int month = number(0, 2), day = number(3, 2), year = number(6, 4);
  std::string time = "00:00:00";
  if (value.size() == kDateTime.size()) {
    if (number(11, 2) > 23 || number(14, 2) > 59 || number(17, 2) > 59) {
      return std::nullopt;
    }
    time = value.substr(11);
  }
  if (!IsValidDate(year, month, day)) return std::nullopt;
  return "'" + value.substr(6, 4) + "-" + value.substr(0, 2) + "-" +
         value.substr(3, 2) + " " + time + "'";
}

void TranslateDateLiterals(Tokens& t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind != SqlTokenKind::kString) continue;
    const std::size_t prev = PrevSig(t, i);
    const std::size_t next = NextSig(t, i + 1);
    const bool compared =
        (prev != std::string::npos && IsComparison(t[prev])) ||
        (next < t.size() && IsComparison(t[next]));
    if (!compared) continue;
    if (auto stored = StoredDateLiteral(StringLiteralValue(t[i]))) {
      t[i].text = *stored;
    }
  }
}

// The arguments of the call whose "(" is at `open`, split at top-level
// commas; `close` receives the index of the matching ")".
std::vector<Tokens> CallArguments(const Tokens& t, std::size_t open,
                                  std::size_t& close) {
  std::vector<Tokens> args(1);
  int depth = 0;
  for (std::size_t i = open; i < t.size(); ++i) {
    if (t[i].Is("(")) {
      if (depth++ > 0) args.back().push_back(t[i]);
    } else if (t[i].Is(")")) {
      if (--depth == 0) {
        close = i;
        return args;
      }
      args.back().push_back(t[i]);
    } else if (t[i].Is(",") && depth == 1) {
      args.emplace_back();
    } else {
      args.back().push_back(t[i]);
    }
  }
  close = t.size();
  return {};
}

std::string Trimmed(const Tokens& t) {
  std::size_t a = 0, b = t.size();
  while (a < b && !Significant(t[a])) ++a;
  while (b > a && !Significant(t[b - 1])) --b;
  return JoinTokens(Tokens(t.begin() + static_cast<std::ptrdiff_t>(a),
                           t.begin() + static_cast<std::ptrdiff_t>(b)));
}

std::string TranslateTokens(Tokens t);

void TranslateConvert(Tokens& t) {
  for (std::size_t i = 0; i < t.size(); ++i) {
    const bool try_convert = t[i].IsWord("TRY_CONVERT");
    if (!try_convert && !t[i].IsWord("CONVERT")) continue;
    const std::size_t open = NextSig(t, i + 1);
    if (open >= t.size() || !t[open].Is("(")) continue;
    std::size_t close = 0;
    const std::vector<Tokens> args = CallArguments(t, open, close);
    if (args.size() < 2 || args.size() > 3) continue;
    const std::string type = Trimmed(args[0]);
    // The expression may hold a CONVERT of its own.
    const std::string expr = Trimmed(TokenizeSql(TranslateTokens(args[1])));
    std::string replacement;
    if (try_convert) {
      const Tokens type_tokens = Reparse(type);
      if (args.size() != 2 || type_tokens.size() != 1 ||
          !type_tokens[0].IsWord("int")) {
        throw DriverError("TRY_CONVERT to " + type +
                          " is not supported by the embedded database");
      }
      replacement = std::string(kTryConvertInt) + "(" + expr + ")";
    } else if (args.size() == 2) {
      replacement = "CAST(" + expr + " AS " + type + ")";
    } else if (Trimmed(args[2]) == "103") {
      replacement = "strftime('%d/%m/%Y', " + expr + ")";
    } else {
      throw DriverError("CONVERT style " + Trimmed(args[2]) +
                        " is not supported by the embedded database");
    }
    t.erase(t.begin() + static_cast<std::ptrdiff_t>(i + 1),
            t.begin() + static_cast<std::ptrdiff_t>(close + 1));
    t[i] = {SqlTokenKind::kIdentifier, replacement};
  }
}

struct SelectItem {
  std::string output_name;  // alias, or the column name of a column ref
  std::string column_ref;   // "P.IdPedido" when the item is one, unaliased
};

// The items of the first top-level select list.
std::vector<SelectItem> SelectList(const Tokens& t) {
  std::vector<SelectItem> items;
  std::size_t i = 0;
  int depth = 0;
  for (; i < t.size(); ++i) {
    if (t[i].Is("(")) ++depth;
    if (t[i].Is(")")) --depth;
    if (depth == 0 && t[i].IsWord("SELECT")) break;
  }
  if (i == t.size()) return items;
  ++i;
  std::vector<Tokens> raw(1);
  depth = 0;
  for (; i < t.size(); ++i) {
    if (t[i].Is("(")) ++depth;
    if (t[i].Is(")")) --depth;
    if (depth == 0 && t[i].IsWord("FROM")) break;
    if (depth == 0 && t[i].Is(",")) {
      raw.emplace_back();
      continue;
    }
    if (Significant(t[i])) raw.back().push_back(t[i]);
  }
  for (Tokens& item : raw) {
    // DISTINCT and ALL belong to the list, not to its first item.
    while (!item.empty() &&
           (item.front().IsWord("DISTINCT") || item.front().IsWord("ALL"))) {
      item.erase(item.begin());
    }
    SelectItem s;
    const std::size_t n = item.size();
    const bool ref1 = n == 1 && item[0].kind == SqlTokenKind::kIdentifier;
    const bool ref3 = n == 3 && item[0].kind == SqlTokenKind::kIdentifier &&
                      item[1].Is(".") &&
                      item[2].kind == SqlTokenKind::kIdentifier;
    if (ref1 || ref3) {
      s.output_name = item[n - 1].text;
      s.column_ref = JoinTokens(item);
    } else if (n >= 2 && item[n - 1].kind == SqlTokenKind::kIdentifier) {
      s.output_name = item[n - 1].text;
    }
    items.push_back(std::move(s));
  }
  return items;
}

bool SameWord(std::string_view a, std::string_view b) {
  return SqlToken{SqlTokenKind::kIdentifier, std::string(a)}.IsWord(b);
}

// A bare ORDER BY name that stands for a qualified column of the select
// list becomes that column, so that joins with a second column of the same
// name do not make it ambiguous.
void ResolveOrderBy(Tokens& t) {
  std::size_t order = t.size();
  int depth = 0;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].Is("(")) ++depth;
    if (t[i].Is(")")) --depth;
    if (depth == 0 && t[i].IsWord("ORDER")) {
      const std::size_t by = NextSig(t, i + 1);
      if (by < t.size() && t[by].IsWord("BY")) order = by;
    }
  }
  if (order == t.size()) return;
  const std::vector<SelectItem> items = SelectList(t);
  bool item_start = true;
  depth = 0;
  for (std::size_t i = order + 1; i < t.size(); ++i) {
    if (!Significant(t[i])) continue;
    if (t[i].Is("(")) ++depth;
    if (t[i].Is(")")) --depth;
    if (depth == 0 && t[i].Is(",")) {
      item_start = true;
      continue;
    }
    if (depth == 0 && (t[i].IsWord("LIMIT") || t[i].IsWord("OFFSET"))) break;
    if (item_start && t[i].kind == SqlTokenKind::kIdentifier) {
      const std::size_t next = NextSig(t, i + 1);
      const bool bare =
          next >= t.size() || !(t[next].Is(".") || t[next].Is("("));
      if (bare) {
        for (const SelectItem& s : items) {
          if (!s.column_ref.empty() && s.column_ref != t[i].text &&
              SameWord(s.output_name, t[i].text)) {
            t[i].text = s.column_ref;
            break;
          }
        }
      }
    }
    item_start = false;
  }
}

std::string TranslateTokens(Tokens t) {
  TranslateConvert(t);
  t = Reparse(JoinTokens(t));
  TranslateDateLiterals(t);
  ResolveOrderBy(t);
  TranslatePaging(t);
  return JoinTokens(t);
}

}  // namespace

std::string TranslateTSql(std::string_view sql) {
  Tokens tokens = TokenizeSql(sql);
  int marker = 0;
  for (SqlToken& t : tokens) {
    if (t.kind == SqlTokenKind::kParameter && t.text == "?") {
      t.text = "?" + std::to_string(++marker);
    }
  }
  return TranslateTokens(std::move(tokens));
}

std::optional<std::int32_t> TryConvertInt(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr std::int64_t kLimit = std::int64_t{INT32_MAX} + 1;
  std::int64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > kLimit) return std::nullopt;
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

}  // namespace norvessa
