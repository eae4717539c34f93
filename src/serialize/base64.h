#ifndef NORVESSA_SERIALIZE_BASE64_H_
#define NORVESSA_SERIALIZE_BASE64_H_

#include <optional>
#include <string>
#include <string_view>

namespace norvessa {

// Standard Base64 (RFC 4648) in one line, with padding.
std::string EncodeBase64(std::string_view bytes);
// Only the canonical form EncodeBase64 writes is read: the standard
// alphabet, a length that is a multiple of 4, at most two "=" and only at
// the end, and the unused bits before them zero. Anything else (a line
// break, a blank, a URL-safe "-") gives nothing.
std::optional<std::string> DecodeBase64(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_BASE64_H_
