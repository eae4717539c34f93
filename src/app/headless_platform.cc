#include "app/headless_platform.h"

#include <unistd.h>

#include "framework/error_log.h"

namespace norvessa {
namespace {

void WriteLines(const std::string& text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

// The detail as one line of its own, control characters escaped (a
// driver's message, a path may hold some).
std::string DetailLine(const std::string& detail) {
  if (detail.empty()) return {};
  std::string line;
  AppendLogEscaped(line, detail);
  return line + "\n";
}

}  // namespace

void HeadlessPlatform::ShowMessage(const std::string& text,
                                   const std::string& detail) {
  WriteLines(text + "\n" + DetailLine(detail));
}

void HeadlessPlatform::MessageBox(const std::string& text,
                                  const std::string& caption,
                                  const std::string& detail) {
  WriteLines(text + "\n" + caption + "\n" + DetailLine(detail));
}

}  // namespace norvessa
