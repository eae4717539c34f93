#include "app/process_locale.h"

#include <unistd.h>

#include <clocale>
#include <string>

namespace norvessa {

bool UseServiceLocale() {
  std::setlocale(LC_NUMERIC, "C");
  // glibc builds C.UTF-8 in; the others are for systems that lack it.
  for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
    if (std::setlocale(LC_CTYPE, name) != nullptr) return true;
  }
  const std::string line =
      "apinorvessa: no UTF-8 locale (C.UTF-8) found; text other than ASCII "
      "may reach the database garbled\n";
  const ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
  return false;
}

}  // namespace norvessa
