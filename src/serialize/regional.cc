#include "serialize/regional.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

namespace norvessa {
namespace {

std::string_view Trim(std::string_view s) {
  while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ') {
    s.remove_prefix(1);
  }
  while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ') {
    s.remove_suffix(1);
  }
  return s;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

void AppendPadded(std::string& out, int value, int width) {
  char buf[16];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  for (int n = static_cast<int>(end - buf); n < width; ++n) out += '0';
  out.append(buf, end);
}

// Reads 1..max_digits digits at `pos`.
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

// h:nn[:ss[.zzz]] starting at `pos`, to the end of the text.
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

std::string FormatInteger(std::int64_t value) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, end);
}

std::string FormatFloat(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";
  // 15 significant digits: d.dddddddddddddde±XX
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value,
                                 std::chars_format::scientific, 14);
  std::string_view sci(buf, static_cast<std::size_t>(end - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  const std::size_t e_pos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e_pos)) {
    if (c != '.') digits += c;
  }
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (exponent >= -5 && exponent < 15) {
    if (exponent >= 0) {
      const auto int_digits = static_cast<std::size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
      } else {
        out += digits.substr(0, int_digits);
        out += '.';
        out += digits.substr(int_digits);
      }
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += digits;
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'E';
  if (exponent < 0) out += '-';
  out += FormatInteger(std::abs(exponent));
  return out;
}

std::int64_t RoundHalfEven(double value) {
  return static_cast<std::int64_t>(std::nearbyint(value));
}

std::optional<std::int64_t> TryParseInteger(std::string_view text,
                                            std::int64_t min,
                                            std::int64_t max) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || (text.front() == '+')) return std::nullopt;
  std::int64_t value = 0;
  auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  if (value < min || value > max) return std::nullopt;
  return value;
}

std::optional<double> TryParseFloat(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::string normal(text);
  const bool has_point = normal.find('.') != std::string::npos;
  const std::size_t comma = normal.find(',');
  if (comma != std::string::npos) {
    // One decimal separator, either one; never thousands separators.
    if (has_point || normal.find(',', comma + 1) != std::string::npos) {
      return std::nullopt;
    }
    normal[comma] = '.';
  }
  for (char c : normal) {
    if (!IsDigit(c) && c != '.' && c != 'e' && c != 'E' && c != '-' &&
        c != '+') {
      return std::nullopt;  // no "inf", "nan" or hexadecimal
    }
  }
  double value = 0;
  auto [ptr, ec] = std::from_chars(normal.data(), normal.data() + normal.size(),
                                   value, std::chars_format::general);
  if (ec != std::errc() || ptr != normal.data() + normal.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> TryParseBoolean(std::string_view text) {
  const std::string_view t = Trim(text);
  auto iequals = [](std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
      if (x != y) return false;
    }
    return true;
  };
  if (iequals(t, "true")) return true;
  if (iequals(t, "false")) return false;
  if (const auto number = TryParseFloat(t)) return *number != 0;
  return std::nullopt;
}

std::optional<DateTime> TryParseTime(std::string_view text) {
  text = Trim(text);
  const auto ms = ReadTimeOfDay(text, 0);
  if (!ms) return std::nullopt;
  return DateTime::FromMilliseconds(*ms);
}

std::optional<DateTime> TryParseRegionalDateTime(std::string_view text) {
  text = Trim(text);
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
  text = Trim(text);
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
      char c = pattern[i + k];
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      if (c != token[k]) return false;
    }
    return true;
  };
  while (i < pattern.size()) {
    if (starts("yyyy")) {
      AppendPadded(out, p.year, 4);
      i += 4;
    } else if (starts("mm")) {
      AppendPadded(out, after_hour ? p.minute : p.month, 2);
      i += 2;
    } else if (starts("dd")) {
      AppendPadded(out, p.day, 2);
      i += 2;
    } else if (starts("hh")) {
      AppendPadded(out, p.hour, 2);
      after_hour = true;
      i += 2;
      continue;
    } else if (starts("nn")) {
      AppendPadded(out, p.minute, 2);
      i += 2;
    } else if (starts("ss")) {
      AppendPadded(out, p.second, 2);
      i += 2;
    } else if (starts("zzz")) {
      AppendPadded(out, p.millisecond, 3);
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

std::string NotAValidInteger(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

std::string NotAValidFloat(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid floating point value";
}

std::string NotAValidDateTime(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid date and time";
}

}  // namespace norvessa
