#ifndef NORVESSA_JSON_JSON_PARSER_H_
#define NORVESSA_JSON_JSON_PARSER_H_

#include <cstddef>
#include <optional>
#include <string_view>

#include "json/json_value.h"

namespace norvessa {

// Containers may nest this deep; deeper text is not valid JSON.
inline constexpr std::size_t kMaxJsonDepth = 64;

// Parses one standard JSON text (UTF-8). Numbers keep their literal text.
// Returns nothing when the text is not valid JSON.
std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace norvessa

#endif  // NORVESSA_JSON_JSON_PARSER_H_
