#ifndef NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_TEXT_CODEC_H_
#define NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_TEXT_CODEC_H_

// The text conversions the scripted driver's personalities make.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace norvessa::testing::scripted {

// Bytes that do not form UTF-8 become U+FFFD, one per byte.
std::u32string DecodeUtf8(std::string_view text);
std::string EncodeUtf8(std::u32string_view text);

// `units` native 16-bit code units, as unixODBC's SQLWCHAR; a lone
// surrogate becomes U+FFFD.
std::u32string DecodeUtf16(const std::uint16_t* units, std::size_t count);
std::u16string EncodeUtf16(std::u32string_view text);

// Whether Windows-1252, a SQL Server varchar's usual code page, has it.
bool InWindows1252(char32_t c);
// Characters Windows-1252 lacks become '?' as the server stores them, two
// for a character outside the BMP.
std::u32string FitWindows1252(std::u32string_view text);

// Through mbrtowc and wcrtomb in the C library's current LC_CTYPE, as
// Microsoft's driver converts narrow text. What the locale cannot read or
// write becomes '?'.
std::u32string DecodeLocale(std::string_view text);
std::string EncodeLocale(std::u32string_view text);

bool ContainsIgnoringAsciiCase(std::string_view text, std::string_view part);
bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b);

}  // namespace norvessa::testing::scripted

#endif  // NORVESSA_TESTS_SUPPORT_SCRIPTED_ODBC_TEXT_CODEC_H_
