#ifndef NORVESSA_FRAMEWORK_ERROR_LOG_H_
#define NORVESSA_FRAMEWORK_ERROR_LOG_H_

#include <string>
#include <string_view>

namespace norvessa {

// Writes one line "METHOD path: message" to stderr for a failure whose
// cause the client does not see in full. Control characters in the parts
// are escaped so that a line is always one line.
void LogCause(std::string_view method, std::string_view path,
              std::string_view message);

// Appends `value` with "\r", "\n" and other control characters written as
// "\r", "\n" and "\xNN": a value can never start a new log line.
void AppendLogEscaped(std::string& out, std::string_view value);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ERROR_LOG_H_
