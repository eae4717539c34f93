#include "framework/error_log.h"

#include <unistd.h>

#include <cstdio>
#include <string>

namespace norvessa {
namespace {

void AppendEscaped(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char c : s) {
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

}  // namespace

void LogCause(std::string_view method, std::string_view path,
              std::string_view message) {
  std::string line;
  line.reserve(method.size() + path.size() + message.size() + 8);
  AppendEscaped(line, method);
  line += ' ';
  AppendEscaped(line, path);
  line += ": ";
  AppendEscaped(line, message);
  line += '\n';
  // One write call, so lines from concurrent requests never interleave.
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace norvessa
