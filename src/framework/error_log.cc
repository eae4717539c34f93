#include "framework/error_log.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace norvessa {

void AppendLogEscaped(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : value) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (u < 32) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 0xF];
    } else {
      out += c;
    }
  }
}

void LogCause(std::string_view method, std::string_view path,
              std::string_view message) {
  std::string line;
  line.reserve(method.size() + path.size() + message.size() + 8);
  AppendLogEscaped(line, method);
  line += ' ';
  AppendLogEscaped(line, path);
  line += ": ";
  AppendLogEscaped(line, message);
  line += '\n';
  // One write call, so lines from concurrent requests never interleave.
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace norvessa
