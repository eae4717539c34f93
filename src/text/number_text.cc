#include "text/number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "text/ascii.h"

namespace norvessa {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void AppendZeroPadded(std::string& out, std::int64_t value, int width) {
  char buf[24];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  for (int n = static_cast<int>(end - buf); n < width; ++n) out += '0';
  out.append(buf, end);
}

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
  text = TrimBlanks(text);
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
  text = TrimBlanks(text);
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
  const std::string_view t = TrimBlanks(text);
  if (EqualsIgnoreCase(t, "true")) return true;
  if (EqualsIgnoreCase(t, "false")) return false;
  if (const auto number = TryParseFloat(t)) return *number != 0;
  return std::nullopt;
}

std::string NotAValidInteger(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

std::string NotAValidFloat(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid floating point value";
}

}  // namespace norvessa
