#ifndef NORVESSA_SERIALIZE_REGIONAL_H_
#define NORVESSA_SERIALIZE_REGIONAL_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "serialize/date_time.h"

namespace norvessa {

// The service's fixed regional settings. Numbers go through
// std::to_chars/std::from_chars only, so the process locale (which the Qt
// window takes from the environment) never changes a byte.
//
// Output: "." as decimal separator; dates dd/mm/yyyy; times hh:nn:ss.
// Input: "." or "," as decimal separator; dates d/m/yyyy with one or two
// digits for day and month and an optional time h:nn[:ss[.zzz]].

std::string FormatInteger(std::int64_t value);

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

// d/m/yyyy (two-digit years: 00-49 are 20xx, 50-99 are 19xx) with an
// optional time, or a time alone (on day zero).
std::optional<DateTime> TryParseRegionalDateTime(std::string_view text);
// h:nn[:ss[.zzz]] on day zero.
std::optional<DateTime> TryParseTime(std::string_view text);
// yyyy-mm-dd[(T| )hh:nn[:ss[.fff]]][Z|(+|-)hh[:mm]]; an offset is taken
// away so that the result is UTC, and a value without one is kept as is.
std::optional<DateTime> TryParseIso8601(std::string_view text);

std::string FormatShortDate(DateTime value);  // dd/mm/yyyy
std::string FormatTimeText(DateTime value);   // hh:nn:ss
// dd/mm/yyyy, followed by " hh:nn:ss" unless the time is midnight.
std::string FormatDateTimeText(DateTime value);

// Patterns of yyyy (or YYYY), MM/mm (the month; minutes after an hour),
// DD/dd, hh, nn, ss and zzz; every other character is copied.
std::string FormatDateTimePattern(std::string_view pattern, DateTime value);
// yyyy-mm-ddThh:nn:ss.zzzZ, the clock value unchanged.
std::string FormatIsoTimestamp(DateTime value);

// The conversion errors of the dataset layer.
std::string NotAValidInteger(std::string_view text);
std::string NotAValidFloat(std::string_view text);
std::string NotAValidDateTime(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_REGIONAL_H_
