#ifndef NORVESSA_SERIALIZE_DATASET_EXPORT_H_
#define NORVESSA_SERIALIZE_DATASET_EXPORT_H_

#include <string>

#include "json/json_value.h"
#include "serialize/dataset.h"

namespace norvessa {

struct ExportOptions {
  bool only_updated_records = false;
  bool child_records = true;
  bool value_records = true;
  bool encode_base64_blob = true;
};

// Every row as a JSON array: objects keyed by the key rule, or bare values
// when the dataset has exactly one field. An in-memory table returns to the
// row it was on; a query result stays past its last row.
JsonValue ToJSONArray(DataSet& dataset, const ExportOptions& options = {});
// The current row as a JSON object ({} when there is none), with its
// linked detail rows nested under the detail's key.
JsonValue ToJSONObject(DataSet& dataset, const ExportOptions& options = {});

// The JSON text of ToJSONArray and ToJSONObject, written straight from the
// rows without building the values first; byte for byte the same.
std::string ToJSONArrayText(DataSet& dataset,
                            const ExportOptions& options = {});
std::string ToJSONObjectText(DataSet& dataset,
                             const ExportOptions& options = {});
// ToJSONObjectText's text appended to `out`, so that an array can be
// written one row at a time.
void AppendJSONObjectText(std::string& out, DataSet& dataset,
                          const ExportOptions& options = {});

}  // namespace norvessa

#endif  // NORVESSA_SERIALIZE_DATASET_EXPORT_H_
