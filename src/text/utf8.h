#ifndef NORVESSA_TEXT_UTF8_H_
#define NORVESSA_TEXT_UTF8_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace norvessa {

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// Decodes the code point that starts at `pos` and advances `pos` past it.
// A malformed sequence yields U+FFFD and advances over its maximal invalid
// subpart, so a stray byte never swallows the valid text that follows.
char32_t NextCodePoint(std::string_view text, std::size_t& pos);

// Appends the UTF-8 form of `cp` (surrogates and values beyond U+10FFFF
// become U+FFFD).
void AppendUtf8(std::string& out, char32_t cp);

bool IsValidUtf8(std::string_view text);

// Text from outside the service is UTF-8 inside it: every malformed
// sequence becomes U+FFFD.
std::string SanitizeUtf8(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_TEXT_UTF8_H_
