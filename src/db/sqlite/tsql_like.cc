#include "db/sqlite/tsql_like.h"

#include <vector>

#include "text/utf8.h"

namespace norvessa {
namespace {

// Latin-1 letters without their accents, lower case; 0 where nothing
// changes but the case.
char32_t StripLatin1(char32_t c) {
  static constexpr char kBase[] =
      // C0..CF: À Á Â Ã Ä Å Æ Ç È É Ê Ë Ì Í Î Ï
      "aaaaaa\0ceeeeiiii"
      // D0..DF: Ð Ñ Ò Ó Ô Õ Ö × Ø Ù Ú Û Ü Ý Þ ß
      "dnooooo\0ouuuuy\0\0"
      // E0..EF
      "aaaaaa\0ceeeeiiii"
      // F0..FF
      "dnooooo\0ouuuuy\0y";
  if (c >= 0xC0 && c <= 0xFF) {
    const char base = kBase[c - 0xC0];
    if (base != '\0') return static_cast<char32_t>(base);
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;  // Æ Þ
  }
  return 0;
}

char32_t Fold(char32_t c) {
  if (c >= 'A' && c <= 'Z') return c + 32;
  if (c < 0x80) return c;
  if (const char32_t base = StripLatin1(c)) return base;
  // Latin Extended-A pairs upper/lower: fold the common Portuguese and
  // Spanish ones that Latin-1 lacks.
  switch (c) {
    case 0x0152:
    case 0x0153:
      return U'o';  // Œ œ
    case 0x0160:
    case 0x0161:
      return U's';  // Š š
    case 0x0178:
      return U'y';  // Ÿ
    case 0x017D:
    case 0x017E:
      return U'z';  // Ž ž
    default:
      return c;
  }
}

std::u32string Decode(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    out.push_back(NextCodePoint(utf8, pos));
  }
  return out;
}

}  // namespace

// One position of the pattern: a literal, any character, or a set.
struct TSqlLikePattern::Atom {
  enum Kind { kLiteral, kAny, kRun, kSet };

  static Atom Of(Kind kind, char32_t literal = 0) {
    Atom a;
    a.kind = kind;
    a.literal = literal;
    return a;
  }

  Kind kind = kLiteral;
  char32_t literal = 0;
  bool negated = false;
  std::vector<std::pair<char32_t, char32_t>> ranges;

  bool Matches(char32_t c) const {
    switch (kind) {
      case kLiteral:
        return c == literal;
      case kAny:
        return true;
      case kSet: {
        bool in = false;
        for (const auto& [lo, hi] : ranges) in = in || (c >= lo && c <= hi);
        return in != negated;
      }
      case kRun:
        break;
    }
    return false;
  }
};

namespace {

using Atom = TSqlLikePattern::Atom;

std::vector<Atom> Compile(const std::u32string& p,
                          std::optional<char32_t> escape) {
  std::vector<Atom> atoms;
  for (std::size_t i = 0; i < p.size(); ++i) {
    const char32_t c = p[i];
    if (escape && c == Fold(*escape) && i + 1 < p.size()) {
      atoms.push_back(Atom::Of(Atom::kLiteral, p[++i]));
    } else if (c == U'%') {
      if (atoms.empty() || atoms.back().kind != Atom::kRun) {
        atoms.push_back(Atom::Of(Atom::kRun));
      }
    } else if (c == U'_') {
      atoms.push_back(Atom::Of(Atom::kAny));
    } else if (c == U'[') {
      const std::size_t close = p.find(U']', i + 1);
      if (close == std::u32string::npos) {
        atoms.push_back(
            Atom::Of(Atom::kLiteral, c));  // an unclosed "[" is literal
        continue;
      }
      Atom set = Atom::Of(Atom::kSet);
      std::size_t k = i + 1;
      if (k < close && p[k] == U'^') {
        set.negated = true;
        ++k;
      }
      for (; k < close; ++k) {
        if (k + 2 < close && p[k + 1] == U'-') {
          set.ranges.emplace_back(p[k], p[k + 2]);
          k += 2;
        } else {
          set.ranges.emplace_back(p[k], p[k]);
        }
      }
      atoms.push_back(std::move(set));
      i = close;
    } else {
      atoms.push_back(Atom::Of(Atom::kLiteral, c));
    }
  }
  return atoms;
}

}  // namespace

std::u32string FoldCaseAndAccents(std::string_view utf8) {
  std::u32string s = Decode(utf8);
  for (char32_t& c : s) c = Fold(c);
  return s;
}

int CompareCaseAndAccentInsensitive(std::string_view a, std::string_view b) {
  const std::u32string x = FoldCaseAndAccents(a);
  const std::u32string y = FoldCaseAndAccents(b);
  return x < y ? -1 : (y < x ? 1 : 0);
}

TSqlLikePattern::TSqlLikePattern(std::string_view pattern,
                                 std::optional<char32_t> escape)
    : pattern_(pattern),
      escape_(escape),
      atoms_(Compile(FoldCaseAndAccents(pattern), escape)) {}

TSqlLikePattern::~TSqlLikePattern() = default;
TSqlLikePattern::TSqlLikePattern(TSqlLikePattern&&) noexcept = default;
TSqlLikePattern& TSqlLikePattern::operator=(TSqlLikePattern&&) noexcept =
    default;

bool TSqlLikePattern::Matches(std::string_view text) const {
  // The folded text goes to a buffer each thread keeps: no allocation per
  // row once it has grown.
  thread_local std::u32string s;
  s.clear();
  for (std::size_t pos = 0; pos < text.size();) {
    s.push_back(Fold(NextCodePoint(text, pos)));
  }
  const std::vector<Atom>& atoms = atoms_;
  // Greedy matching with one backtrack point per "%", linear in practice.
  std::size_t a = 0, i = 0;
  std::size_t star_atom = std::string::npos, star_text = 0;
  while (i < s.size()) {
    if (a < atoms.size() && atoms[a].kind == Atom::kRun) {
      star_atom = a++;
      star_text = i;
    } else if (a < atoms.size() && atoms[a].Matches(s[i])) {
      ++a;
      ++i;
    } else if (star_atom != std::string::npos) {
      a = star_atom + 1;
      i = ++star_text;
    } else {
      return false;
    }
  }
  while (a < atoms.size() && atoms[a].kind == Atom::kRun) ++a;
  return a == atoms.size();
}

bool TSqlLike(std::string_view pattern, std::string_view text,
              std::optional<char32_t> escape) {
  return TSqlLikePattern(pattern, escape).Matches(text);
}

}  // namespace norvessa
