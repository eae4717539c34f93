#ifndef NORVESSA_TEXT_DATE_TEXT_H_
#define NORVESSA_TEXT_DATE_TEXT_H_

#include <optional>
#include <string>
#include <string_view>

#include "text/date_time.h"

namespace norvessa {

// Dates and times in the service's fixed regional form, whatever the
// process locale. Output: dates dd/mm/yyyy; times hh:nn:ss. Input: dates
// d/m/yyyy with one or two digits for day and month and an optional time
// h:nn[:ss[.zzz]].

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

std::string NotAValidDateTime(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_TEXT_DATE_TEXT_H_
