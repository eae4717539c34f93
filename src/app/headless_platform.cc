#include "app/headless_platform.h"

#include <unistd.h>

namespace norvessa {
namespace {

void WriteLines(const std::string& text) {
  const ssize_t ignored = ::write(STDERR_FILENO, text.data(), text.size());
  (void)ignored;
}

}  // namespace

void HeadlessPlatform::ShowMessage(const std::string& text) {
  WriteLines(text + "\n");
}

void HeadlessPlatform::MessageBox(const std::string& text,
                                  const std::string& caption) {
  WriteLines(text + "\n" + caption + "\n");
}

}  // namespace norvessa
