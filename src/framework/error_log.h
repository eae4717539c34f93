#ifndef NORVESSA_FRAMEWORK_ERROR_LOG_H_
#define NORVESSA_FRAMEWORK_ERROR_LOG_H_

#include <string_view>

namespace norvessa {

// Writes one line "METHOD path: message" to stderr for a failure whose
// cause the client does not see in full. Control characters in the parts
// are escaped so that a line is always one line.
void LogCause(std::string_view method, std::string_view path,
              std::string_view message);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_ERROR_LOG_H_
