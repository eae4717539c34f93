#ifndef NORVESSA_MIDDLEWARE_LOG_ENTRY_H_
#define NORVESSA_MIDDLEWARE_LOG_ENTRY_H_

#include <array>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

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

// The 40 keys of a log entry, in order.
extern const std::array<std::string_view, 40> kLogEntryKeys;

// One exchange as the log records it: 40 text pairs in table order, the
// response as the handler left it. Pairs that could not be read are left
// out (the entry is queued anyway).
JsonValue BuildLogEntry(const ApiRequest& request, const ApiResponse& response,
                        const LogTime& before, std::int64_t execution_ms);

}  // namespace norvessa

#endif  // NORVESSA_MIDDLEWARE_LOG_ENTRY_H_
