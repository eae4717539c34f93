#ifndef NORVESSA_APP_PROCESS_LOCALE_H_
#define NORVESSA_APP_PROCESS_LOCALE_H_

namespace norvessa {

// The C library's locale for the whole process, whatever LANG says (the
// window's toolkit takes it from the environment): numbers are C, so no
// driver writes or reads a decimal comma, and characters are UTF-8, so a
// driver that converts narrow text with the C library (Microsoft's ODBC
// driver does) reads the service's UTF-8 as UTF-8. Call it before the first
// database connection and after anything that sets the locale again.
// Returns false, after a line on stderr, when no UTF-8 locale exists.
bool UseServiceLocale();

}  // namespace norvessa

#endif  // NORVESSA_APP_PROCESS_LOCALE_H_
