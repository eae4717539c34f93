#include "db/sql_lexer.h"

#include "text/ascii.h"

namespace norvessa {
namespace {

bool IsWordStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         c == '@' || c == '#' || static_cast<unsigned char>(c) >= 0x80;
}

bool IsWordChar(char c) {
  return IsWordStart(c) || (c >= '0' && c <= '9') || c == '$';
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' ||
         c == '\v';
}

// The end of a quoted stretch that starts at `i` with `open`, where a
// doubled `close` stands for itself; the text's end if unterminated.
std::size_t QuotedEnd(std::string_view s, std::size_t i, char close) {
  std::size_t j = i + 1;
  while (j < s.size()) {
    if (s[j] == close) {
      if (j + 1 < s.size() && s[j + 1] == close) {
        j += 2;
        continue;
      }
      return j + 1;
    }
    ++j;
  }
  return s.size();
}

}  // namespace

bool SqlToken::IsWord(std::string_view word) const {
  if (kind != SqlTokenKind::kIdentifier) return false;
  return EqualsIgnoreCase(text, word);
}

std::vector<SqlToken> TokenizeSql(std::string_view s) {
  std::vector<SqlToken> tokens;
  std::size_t i = 0;
  auto push = [&](SqlTokenKind kind, std::size_t end) {
    tokens.push_back({kind, std::string(s.substr(i, end - i))});
    i = end;
  };
  while (i < s.size()) {
    const char c = s[i];
    if (IsSpace(c)) {
      std::size_t j = i;
      while (j < s.size() && IsSpace(s[j])) ++j;
      push(SqlTokenKind::kSpace, j);
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      std::size_t j = s.find('\n', i);
      push(SqlTokenKind::kComment, j == std::string_view::npos ? s.size() : j);
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      std::size_t j = s.find("*/", i + 2);
      push(SqlTokenKind::kComment,
           j == std::string_view::npos ? s.size() : j + 2);
    } else if (c == '\'') {
      push(SqlTokenKind::kString, QuotedEnd(s, i, '\''));
    } else if ((c == 'N' || c == 'n') && i + 1 < s.size() && s[i + 1] == '\'') {
      push(SqlTokenKind::kString, QuotedEnd(s, i + 1, '\''));
    } else if (c == '[') {
      push(SqlTokenKind::kIdentifier, QuotedEnd(s, i, ']'));
    } else if (c == '"') {
      push(SqlTokenKind::kIdentifier, QuotedEnd(s, i, '"'));
    } else if (c == ':' && i + 1 < s.size() && IsWordStart(s[i + 1])) {
      std::size_t j = i + 1;
      while (j < s.size() && IsWordChar(s[j])) ++j;
      push(SqlTokenKind::kParameter, j);
    } else if (c == '?') {
      // A positional marker, "?", or one numbered as SQLite writes it, "?2".
      std::size_t j = i + 1;
      while (j < s.size() && IsDigit(s[j])) ++j;
      push(SqlTokenKind::kParameter, j);
    } else if (IsDigit(c) ||
               (c == '.' && i + 1 < s.size() && IsDigit(s[i + 1]))) {
      std::size_t j = i;
      while (j < s.size() && (IsDigit(s[j]) || s[j] == '.')) ++j;
      if (j < s.size() && (s[j] == 'e' || s[j] == 'E')) {
        std::size_t k = j + 1;
        if (k < s.size() && (s[k] == '+' || s[k] == '-')) ++k;
        if (k < s.size() && IsDigit(s[k])) {
          j = k;
          while (j < s.size() && IsDigit(s[j])) ++j;
        }
      }
      push(SqlTokenKind::kNumber, j);
    } else if (IsWordStart(c)) {
      std::size_t j = i;
      while (j < s.size() && IsWordChar(s[j])) ++j;
      push(SqlTokenKind::kIdentifier, j);
    } else {
      const std::string_view two = s.substr(i, 2);
      if (two == "<=" || two == ">=" || two == "<>" || two == "!=" ||
          two == "||") {
        push(SqlTokenKind::kOperator, i + 2);
      } else {
        push(SqlTokenKind::kOperator, i + 1);
      }
    }
  }
  return tokens;
}

std::string JoinTokens(const std::vector<SqlToken>& tokens) {
  std::string out;
  for (const SqlToken& t : tokens) out += t.text;
  return out;
}

std::string StringLiteralValue(const SqlToken& token) {
  std::string_view t = token.text;
  if (!t.empty() && (t.front() == 'N' || t.front() == 'n')) t.remove_prefix(1);
  if (t.size() >= 2 && t.front() == '\'' && t.back() == '\'') {
    t = t.substr(1, t.size() - 2);
  } else if (!t.empty() && t.front() == '\'') {
    t.remove_prefix(1);
  }
  std::string out;
  for (std::size_t i = 0; i < t.size(); ++i) {
    out += t[i];
    if (t[i] == '\'' && i + 1 < t.size() && t[i + 1] == '\'') ++i;
  }
  return out;
}

std::string QuoteSqlString(std::string_view value) {
  std::string out = "'";
  for (char c : value) {
    out += c;
    if (c == '\'') out += '\'';
  }
  out += '\'';
  return out;
}

std::vector<std::string> SqlParameterNames(std::string_view sql) {
  std::vector<std::string> names;
  for (const SqlToken& t : TokenizeSql(sql)) {
    if (t.kind == SqlTokenKind::kParameter && t.text[0] == ':') {
      names.push_back(t.text.substr(1));
    }
  }
  return names;
}

}  // namespace norvessa
