#ifndef NORVESSA_SERIALIZE_DATASET_IMPORT_H_
#define NORVESSA_SERIALIZE_DATASET_IMPORT_H_

#include <cstddef>
#include <string_view>

#include "json/json_document.h"
#include "json/json_value.h"
#include "serialize/mem_table.h"

namespace norvessa {

// Field names one object of a body may give; more fail as "JSON not defined".
inline constexpr std::size_t kMaxObjectKeys = 1024;

// Loads a request body into an in-memory table. Text that starts with "{"
// or "[" (after blanks) must be one JSON value, else "JSON not defined";
// any other text imports nothing. A fresh table invents its fields from the
// first object with members: numbers give float fields, true/false boolean
// fields, anything else text fields of 4096 characters (large objects,
// whose text must be canonical Base64, when longer). Keys that give one
// field name (in another ASCII case, or another key form: "idCidade" and
// "ID_CIDADE") make one field, the first key's; an object whose keys give
// more than kMaxObjectKeys names fails the import, whichever object it is.
void LoadFromJSON(MemTable& table, std::string_view text);
// The same for text already parsed into `parsed` (nullptr: the text is not
// valid JSON), without parsing it again.
void LoadFromJSON(MemTable& table, std::string_view text,
                  const JsonDocument* parsed);
// The same from a parsed object or array.
void LoadFromJSON(MemTable& table, const JsonValue& value);
void LoadFromJSON(MemTable& table, const JsonDocument& document);

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_DATASET_IMPORT_H_
