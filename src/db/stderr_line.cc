#include "db/stderr_line.h"

#include <unistd.h>

namespace norvessa {

void WriteStderrLine(const std::string& text) {
  std::string line;
  line.reserve(text.size() + 1);
  for (char c : text) line += static_cast<unsigned char>(c) < 32 ? ' ' : c;
  line += '\n';
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

}  // namespace norvessa
