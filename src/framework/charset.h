#ifndef NORVESSA_FRAMEWORK_CHARSET_H_
#define NORVESSA_FRAMEWORK_CHARSET_H_

#include <string>
#include <string_view>

namespace norvessa {

// "ISO-8859-1" and "ANSI" stand for the single-byte code page, which is
// Windows-1252 here.
enum class Charset { kUtf8, kWindows1252, kAscii };

// The charset a Content-Type names: upper-cased and, only when it contains
// "CHARSET", searched for "UTF-8", then "ISO-8859-1" or "ANSI", then
// "ASCII"; UTF-8 in every other case.
Charset CharsetFromContentType(std::string_view content_type);

// Bytes in `charset` to UTF-8 (malformed UTF-8 becomes U+FFFD; ASCII bytes
// above 127 become "?").
std::string DecodeText(std::string_view bytes, Charset charset);

// UTF-8 text to bytes in `charset`; characters it lacks become "?".
std::string EncodeText(std::string_view utf8, Charset charset);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_CHARSET_H_
