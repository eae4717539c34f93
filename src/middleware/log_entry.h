#ifndef NORVESSA_MIDDLEWARE_LOG_ENTRY_H_
#define NORVESSA_MIDDLEWARE_LOG_ENTRY_H_

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "json/json_value.h"

namespace norvessa {

// A local clock reading with milliseconds.
struct LogTime {
  std::tm local{};
  int millisecond = 0;
  std::int64_t epoch_ms = 0;

  static LogTime Now();
};

// "09/dezembro/2026 14:05:09.123": two-digit day, the Portuguese month
// name in lower case, four-digit year, a 24-hour clock with milliseconds.
std::string FormatLogTime(const LogTime& time);

// The most of a value's own bytes that a log entry keeps: a header of
// 60 KB stays 1 KiB in the queues and in the file.
inline constexpr std::size_t kLogValueMaxBytes = 1024;

// `value` when it fits in kLogValueMaxBytes; else its first bytes up to
// that size, cut where no well-formed UTF-8 character is split, followed
// by "...(+N bytes)" for the N bytes cut off.
std::string CutLogValue(std::string_view value);

// The 40 keys of a log entry, in order.
extern const std::array<std::string_view, 40> kLogEntryKeys;

// Which of the 40 keys an entry carries, by their place in kLogEntryKeys.
using LogKeySet = std::bitset<40>;
inline const LogKeySet kAllLogKeys = LogKeySet().set();

// The keys among `names` (others are left out).
LogKeySet LogKeysNamed(const std::vector<std::string>& names);

// One exchange as the log records it: the text pairs of `keys` in table
// order (all 40 unless told), the response as the handler left it, every
// value cut by CutLogValue; only the values asked for are read. Pairs
// that could not be read are left out (the entry is queued anyway).
JsonValue BuildLogEntry(const ApiRequest& request, const ApiResponse& response,
                        const LogTime& before, std::int64_t execution_ms,
                        const LogKeySet& keys = kAllLogKeys);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_LOG_ENTRY_H_
