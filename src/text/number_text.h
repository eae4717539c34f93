#ifndef NORVESSA_TEXT_NUMBER_TEXT_H_
#define NORVESSA_TEXT_NUMBER_TEXT_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norvessa {

// Numbers in the service's fixed regional form. They go through
// std::to_chars/std::from_chars only, so the process locale (which the Qt
// window takes from the environment) never changes a byte.
//
// Output: "." as decimal separator. Input: "." or "," as decimal separator.

std::string FormatInteger(std::int64_t value);

// `value` in decimal, with leading zeros up to `width` digits.
void AppendZeroPadded(std::string& out, std::int64_t value, int width);

// The general format: at most 15 significant digits, no trailing zeros,
// fixed notation for 1E-5 <= |x| < 1E15, else "E" with the exponent
// without "+" or leading zeros (1E20, 1.5E-7).
std::string FormatFloat(double value);

// Halves go to the even neighbour.
std::int64_t RoundHalfEven(double value);

// A decimal integer (blanks around it allowed, an optional sign) within
// [min, max].
std::optional<std::int64_t> TryParseInteger(std::string_view text,
                                            std::int64_t min = INT64_MIN,
                                            std::int64_t max = INT64_MAX);
std::optional<double> TryParseFloat(std::string_view text);
// "true"/"false" in any case, or a number (non-zero is true).
std::optional<bool> TryParseBoolean(std::string_view text);

// The conversion errors of the dataset layer.
std::string NotAValidInteger(std::string_view text);
std::string NotAValidFloat(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_TEXT_NUMBER_TEXT_H_
