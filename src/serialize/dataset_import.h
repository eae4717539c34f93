#ifndef NORVESSA_SERIALIZE_DATASET_IMPORT_H_
#define NORVESSA_SERIALIZE_DATASET_IMPORT_H_

#include <string_view>

#include "json/json_document.h"
#include "json/json_value.h"
#include "serialize/mem_table.h"

namespace norvessa {

// Loads a request body into an in-memory table. Text that starts with "{"
// or "[" (after blanks) must be one JSON value, else "JSON not defined";
// any other text imports nothing. A fresh table invents its fields from the
// first object with members: numbers give float fields, true/false boolean
// fields, anything else text fields of 4096 characters (large objects when
// longer).
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
