#include "db/odbc/driver_text.h"

#include <optional>
#include <stdexcept>
#include <string>

#include "db/driver_error.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Exactly `digits` digits at `pos`.
std::optional<int> Digits(std::string_view s, std::size_t& pos, int digits) {
  int value = 0;
  for (int i = 0; i < digits; ++i, ++pos) {
    if (pos >= s.size() || !IsDigit(s[pos])) return std::nullopt;
    value = value * 10 + (s[pos] - '0');
  }
  return value;
}

bool Expect(std::string_view s, std::size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

struct Clock {
  int hour = 0, minute = 0, second = 0, millisecond = 0;
};

// hh:mm:ss[.f...] at `pos`; the fraction may have up to nine digits, of
// which the first three count.
std::optional<Clock> ReadClock(std::string_view s, std::size_t& pos) {
  Clock c;
  const auto h = Digits(s, pos, 2);
  if (!h || !Expect(s, pos, ':')) return std::nullopt;
  const auto m = Digits(s, pos, 2);
  if (!m || !Expect(s, pos, ':')) return std::nullopt;
  const auto sec = Digits(s, pos, 2);
  if (!sec || *h > 23 || *m > 59 || *sec > 59) return std::nullopt;
  c.hour = *h;
  c.minute = *m;
  c.second = *sec;
  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    int n = 0;
    int scale = 100;
    while (pos < s.size() && IsDigit(s[pos])) {
      if (n < 3) c.millisecond += (s[pos] - '0') * scale;
      scale /= 10;
      ++n;
      ++pos;
    }
    if (n == 0 || n > 9) return std::nullopt;
  }
  return c;
}

// " +hh:mm", " -hh:mm" (the blank optional) at `pos`, to the end.
bool ReadOffset(std::string_view s, std::size_t& pos) {
  if (pos < s.size() && s[pos] == ' ') ++pos;
  if (pos >= s.size() || (s[pos] != '+' && s[pos] != '-')) return false;
  ++pos;
  const auto h = Digits(s, pos, 2);
  if (!h || !Expect(s, pos, ':')) return false;
  const auto m = Digits(s, pos, 2);
  return m && *h <= 14 && *m <= 59;
}

std::optional<DateTime> ParseDriverDateTime(FieldType type,
                                            std::string_view s) {
  std::size_t pos = 0;
  if (type == FieldType::kTime) {
    const auto c = ReadClock(s, pos);
    if (!c || pos != s.size()) return std::nullopt;
    return DateTime::FromMilliseconds(
        ((c->hour * 60LL + c->minute) * 60 + c->second) * 1000 +
        c->millisecond);
  }
  const auto year = Digits(s, pos, 4);
  if (!year || !Expect(s, pos, '-')) return std::nullopt;
  const auto month = Digits(s, pos, 2);
  if (!month || !Expect(s, pos, '-')) return std::nullopt;
  const auto day = Digits(s, pos, 2);
  if (!day || !IsValidDate(*year, *month, *day)) return std::nullopt;
  Clock c;
  if (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T')) {
    ++pos;
    const auto clock = ReadClock(s, pos);
    if (!clock) return std::nullopt;
    c = *clock;
    if (pos < s.size() && !ReadOffset(s, pos)) return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  return DateTime::FromParts(*year, *month, *day, c.hour, c.minute, c.second,
                             c.millisecond);
}

[[noreturn]] void Invalid(std::string_view what, std::string_view text,
                          std::string_view column) {
  throw DriverError("Invalid " + std::string(what) + " '" + std::string(text) +
                    "' in column " + std::string(column));
}

}  // namespace

FieldValue FieldValueFromDriverText(FieldType type, std::string_view text,
                                    std::string_view column) {
  switch (KindOf(type)) {
    case FieldKind::kInteger: {
      const auto v = TryParseInteger(text);
      if (!v) Invalid("integer", text, column);
      return *v;
    }
    case FieldKind::kDecimal: {
      const auto v = TryParseFloat(text);
      if (!v) Invalid("number", text, column);
      return *v;
    }
    case FieldKind::kBoolean: {
      if (text == "1") return true;
      if (text == "0") return false;
      Invalid("bit", text, column);
    }
    case FieldKind::kDateTime: {
      const auto v = ParseDriverDateTime(type, text);
      if (!v) Invalid("date and time", text, column);
      return *v;
    }
    default:
      return std::string(text);
  }
}

}  // namespace norvessa
