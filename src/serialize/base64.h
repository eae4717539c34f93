#ifndef NORVESSA_SERIALIZE_BASE64_H_
#define NORVESSA_SERIALIZE_BASE64_H_

#include <string>
#include <string_view>

namespace norvessa {

// Standard Base64 (RFC 4648) in one line, with padding.
std::string EncodeBase64(std::string_view bytes);
// Characters outside the alphabet (line breaks, blanks, ...) are skipped;
// decoding stops at the first "=".
std::string DecodeBase64(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_BASE64_H_
