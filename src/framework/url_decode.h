#ifndef NORVESSA_FRAMEWORK_URL_DECODE_H_
#define NORVESSA_FRAMEWORK_URL_DECODE_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace norvessa {

// A malformed percent escape.
class UrlDecodeError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// URL decoding of path parameters, query pieces and form fields: "%XX" is
// one byte, "%%" a "%", "+" a blank, anything else as it is; the bytes are
// then read as UTF-8. A "%" without two hexadecimal digits after it throws
// UrlDecodeError with "Error decoding URL style (%XX) encoded string at
// position N" (text ends first) or "Invalid URL encoded character (XY) at
// position N", N being the 0-based position of the "%".
std::string UrlDecode(std::string_view text);

// The transport's decoded path: escapes decoded where they are well formed
// and left as they are where not; "+" stays "+". Never throws.
std::string DecodePathLenient(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_URL_DECODE_H_
