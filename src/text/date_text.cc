#include "text/date_text.h"

#include "text/ascii.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<int> ReadNumber(std::string_view s, std::size_t& pos,
                              int max_digits, int min_digits = 1) {
  int value = 0;
  int n = 0;
  while (pos < s.size() && IsDigit(s[pos]) && n < max_digits) {
    value = value * 10 + (s[pos] - '0');
    ++pos;
    ++n;
  }
  if (n < min_digits) return std::nullopt;
  return value;
}

std::optional<std::int64_t> ReadTimeOfDay(std::string_view s, std::size_t pos) {
  const auto hour = ReadNumber(s, pos, 2);
  if (!hour || pos >= s.size() || s[pos] != ':') return std::nullopt;
  ++pos;
  const auto minute = ReadNumber(s, pos, 2);
  if (!minute) return std::nullopt;
  int second = 0;
  int ms = 0;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    const auto sec = ReadNumber(s, pos, 2);
    if (!sec) return std::nullopt;
    second = *sec;
    if (pos < s.size() && s[pos] == '.') {
      ++pos;
      const std::size_t start = pos;
      const auto frac = ReadNumber(s, pos, 3);
      if (!frac) return std::nullopt;
      ms = *frac;
      for (std::size_t n = pos - start; n < 3; ++n) ms *= 10;
    }
  }
  if (pos != s.size() || *hour > 23 || *minute > 59 || second > 59) {
    return std::nullopt;
  }
  return ((*hour * 60LL + *minute) * 60 + second) * 1000 + ms;
}

}  // namespace

std::optional<DateTime> TryParseTime(std::string_view text) {
  text = TrimBlanks(text);
  const auto ms = ReadTimeOfDay(text, 0);
  if (!ms) return std::nullopt;
  return DateTime::FromMilliseconds(*ms);
}

std::optional<DateTime> TryParseRegionalDateTime(std::string_view text) {
  text = TrimBlanks(text);
  if (text.find('/') == std::string_view::npos) return TryParseTime(text);
  std::size_t pos = 0;
  const auto day = ReadNumber(text, pos, 2);
  if (!day || pos >= text.size() || text[pos] != '/') return std::nullopt;
  ++pos;
  const auto month = ReadNumber(text, pos, 2);
  if (!month || pos >= text.size() || text[pos] != '/') return std::nullopt;
  ++pos;
  const std::size_t year_start = pos;
  auto year = ReadNumber(text, pos, 4);
  if (!year) return std::nullopt;
  const std::size_t year_digits = pos - year_start;
  if (year_digits == 3) return std::nullopt;
  if (year_digits <= 2) *year += *year < 50 ? 2000 : 1900;
  if (!IsValidDate(*year, *month, *day)) return std::nullopt;
  std::int64_t time_ms = 0;
  if (pos < text.size()) {
    if (text[pos] != ' ') return std::nullopt;
    while (pos < text.size() && text[pos] == ' ') ++pos;
    const auto t = ReadTimeOfDay(text, pos);
    if (!t) return std::nullopt;
    time_ms = *t;
  }
  return DateTime::FromMilliseconds(
      DateTime::FromParts(*year, *month, *day).milliseconds() + time_ms);
}

std::optional<DateTime> TryParseIso8601(std::string_view text) {
  text = TrimBlanks(text);
  std::size_t pos = 0;
  const auto year = ReadNumber(text, pos, 4, 4);
  if (!year || pos >= text.size() || text[pos] != '-') return std::nullopt;
  ++pos;
  const auto month = ReadNumber(text, pos, 2, 2);
  if (!month || pos >= text.size() || text[pos] != '-') return std::nullopt;
  ++pos;
  const auto day = ReadNumber(text, pos, 2, 2);
  if (!day || !IsValidDate(*year, *month, *day)) return std::nullopt;
  std::int64_t ms = DateTime::FromParts(*year, *month, *day).milliseconds();
  if (pos == text.size()) return DateTime::FromMilliseconds(ms);
  if (text[pos] != 'T' && text[pos] != ' ') return std::nullopt;
  ++pos;
  // The time ends where a zone begins.
  std::size_t zone = text.find_first_of("Z+-", pos);
  const std::string_view time_text =
      text.substr(pos, zone == std::string_view::npos ? std::string_view::npos
                                                      : zone - pos);
  const auto t = ReadTimeOfDay(time_text, 0);
  if (!t) return std::nullopt;
  ms += *t;
  if (zone != std::string_view::npos) {
    std::string_view z = text.substr(zone);
    if (z == "Z") return DateTime::FromMilliseconds(ms);
    const int sign = z.front() == '-' ? -1 : 1;
    z.remove_prefix(1);
    std::size_t zp = 0;
    const auto oh = ReadNumber(z, zp, 2, 2);
    int om = 0;
    if (!oh) return std::nullopt;
    if (zp < z.size() && z[zp] == ':') ++zp;
    if (zp < z.size()) {
      const auto m = ReadNumber(z, zp, 2, 2);
      if (!m) return std::nullopt;
      om = *m;
    }
    if (zp != z.size() || *oh > 23 || om > 59) return std::nullopt;
    ms -= sign * ((*oh * 60LL + om) * 60'000);
  }
  return DateTime::FromMilliseconds(ms);
}

std::string FormatShortDate(DateTime value) {
  return FormatDateTimePattern("dd/mm/yyyy", value);
}

std::string FormatTimeText(DateTime value) {
  return FormatDateTimePattern("hh:nn:ss", value);
}

std::string FormatDateTimeText(DateTime value) {
  std::string out = FormatShortDate(value);
  if (value.TimePart().milliseconds() != 0) {
    out += ' ';
    out += FormatTimeText(value);
  }
  return out;
}

std::string FormatDateTimePattern(std::string_view pattern, DateTime value) {
  const DateTime::Parts p = value.Split();
  std::string out;
  bool after_hour = false;
  std::size_t i = 0;
  auto starts = [&](std::string_view token) {
    if (pattern.size() - i < token.size()) return false;
    for (std::size_t k = 0; k < token.size(); ++k) {
      if (AsciiToLower(pattern[i + k]) != token[k]) return false;
    }
    return true;
  };
  while (i < pattern.size()) {
    if (starts("yyyy")) {
      AppendZeroPadded(out, p.year, 4);
      i += 4;
    } else if (starts("mm")) {
      AppendZeroPadded(out, after_hour ? p.minute : p.month, 2);
      i += 2;
    } else if (starts("dd")) {
      AppendZeroPadded(out, p.day, 2);
      i += 2;
    } else if (starts("hh")) {
      AppendZeroPadded(out, p.hour, 2);
      after_hour = true;
      i += 2;
      continue;
    } else if (starts("nn")) {
      AppendZeroPadded(out, p.minute, 2);
      i += 2;
    } else if (starts("ss")) {
      AppendZeroPadded(out, p.second, 2);
      i += 2;
    } else if (starts("zzz")) {
      AppendZeroPadded(out, p.millisecond, 3);
      i += 3;
    } else {
      out += pattern[i++];
      if (out.back() == ':') continue;  // an hour stays "before" minutes
    }
    after_hour = false;
  }
  return out;
}

std::string FormatIsoTimestamp(DateTime value) {
  return FormatDateTimePattern("yyyy-mm-dd", value) + "T" +
         FormatDateTimePattern("hh:nn:ss.zzz", value) + "Z";
}

std::string NotAValidDateTime(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid date and time";
}

}  // namespace norvessa
