#ifndef NORVESSA_FRAMEWORK_ERROR_LOG_H_
#define NORVESSA_FRAMEWORK_ERROR_LOG_H_

#include <string>
#include <string_view>

namespace norvessa {

// Writes one line "METHOD path: message" to stderr for a failure whose
// cause the client does not see in full. Control characters in the parts
// are escaped so that a line is always one line. The same message again
// within a second of its first line is only counted: when that second is
// over (seen at the next cause, or at the end of the process) one more
// line, the latest of them, tells how many there were.
void LogCause(std::string_view method, std::string_view path,
              std::string_view message);

// Writes the counts still pending now (tests; the end of the process does
// it by itself).
void FlushLoggedCauses();

// Appends `value` with "\r", "\n" and other control characters written as
// "\r", "\n" and "\xNN" (C0, DEL, the C1 controls U+0080 to U+009F, and
// every byte that is not part of a UTF-8 character, byte by byte): a value
// can never start a new log line nor play tricks on a terminal.
void AppendLogEscaped(std::string& out, std::string_view value);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ERROR_LOG_H_
