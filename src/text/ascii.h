#ifndef NORVESSA_TEXT_ASCII_H_
#define NORVESSA_TEXT_ASCII_H_

#include <string>
#include <string_view>

namespace norvessa {

// Letter case and blanks of protocol text, independent of the process
// locale.
char AsciiToUpper(char c);
char AsciiToLower(char c);
std::string AsciiUpper(std::string_view s);
std::string AsciiLower(std::string_view s);
bool EqualsIgnoreCase(std::string_view a, std::string_view b);
bool StartsWithIgnoreCase(std::string_view s, std::string_view prefix);
// Removes blanks and control characters at both ends.
std::string_view TrimBlanks(std::string_view s);

}  // namespace norvessa

#endif  // NORVESSA_TEXT_ASCII_H_
