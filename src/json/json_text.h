#ifndef NORVESSA_JSON_JSON_TEXT_H_
#define NORVESSA_JSON_JSON_TEXT_H_

#include <string>
#include <string_view>

#include "json/json_value.h"

namespace norvessa {

// The service's one JSON text form: compact, pairs and elements in order,
// every UTF-16 code unit below 32 or above 127 escaped as \uXXXX with
// upper-case hex, the slash escaped, pure ASCII out.
std::string ToJsonText(const JsonValue& value);
void AppendJsonText(std::string& out, const JsonValue& value);

// Appends `utf8` as a quoted JSON string in that form.
void AppendJsonString(std::string& out, std::string_view utf8);

}  // namespace norvessa

#endif  // NORVESSA_JSON_JSON_TEXT_H_
