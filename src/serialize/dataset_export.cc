#include "serialize/dataset_export.h"

#include <cmath>
#include <string>
#include <vector>

#include "serialize/base64.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_json_config.h"
#include "serialize/regional.h"

namespace norvessa {
namespace {

[[noreturn]] void NoTypeFor(const std::string& name) {
  throw DataSetJsonException("Cannot find type for field \"" + name + "\"");
}

JsonValue NumberFromDouble(double value) {
  // A value JSON cannot hold is written as null.
  if (!std::isfinite(value)) return JsonValue::Null();
  return JsonValue::Number(FormatFloat(value));
}

JsonValue DateValue(const Field& field, DateTime value) {
  const auto& settings = DataSetJsonConfig::GetInstance().export_settings;
  switch (field.DataType()) {
    case FieldType::kDate:
      return JsonValue::String(
          FormatDateTimePattern(settings.format_date, value));
    case FieldType::kTime:
      return JsonValue::String(
          FormatDateTimePattern(settings.format_time, value));
    case FieldType::kTimeStamp:
      return JsonValue::String(FormatIsoTimestamp(value));
    default:
      return JsonValue::String(
          FormatDateTimePattern(settings.format_date_time, value));
  }
}

JsonValue ToArray(DataSet& dataset, const ExportOptions& options);

// The value of a field that is not null, for an object.
JsonValue ObjectValue(const Field& field, const std::string& key,
                      const ExportOptions& options) {
  switch (field.DataType()) {
    case FieldType::kString:
    case FieldType::kMemo:
    case FieldType::kFixedChar:
    case FieldType::kWideString:
    case FieldType::kGuid:
    case FieldType::kFixedWideChar:
    case FieldType::kWideMemo:
      return JsonValue::String(field.AsString());
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kAutoInc:
    case FieldType::kLongWord:
    case FieldType::kShortint:
    case FieldType::kByte:
    case FieldType::kLargeint:
      return JsonValue::Number(field.AsLargeInt());
    case FieldType::kBoolean:
      return JsonValue::Bool(field.AsBoolean());
    case FieldType::kFloat:
    case FieldType::kExtended:
    case FieldType::kSingle:
    case FieldType::kCurrency:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
      return NumberFromDouble(field.AsFloat());
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return DateValue(field, field.AsDateTime());
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream: {
      const auto* bytes = std::get_if<std::string>(&field.Value());
      const std::string raw = bytes != nullptr ? *bytes : std::string();
      return JsonValue::String(options.encode_base64_blob ? EncodeBase64(raw)
                                                          : raw);
    }
    default:
      NoTypeFor(key);
  }
}

// A single-field row's value, taken without looking at null.
JsonValue BareValue(const Field& field, const ExportOptions& options) {
  switch (field.DataType()) {
    case FieldType::kString:
    case FieldType::kMemo:
    case FieldType::kWideString:
    case FieldType::kGuid:
    case FieldType::kWideMemo:
    case FieldType::kAutoInc:
    case FieldType::kLongWord:
      return JsonValue::String(field.AsString());
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kShortint:
      return JsonValue::Number(field.AsLargeInt());
    case FieldType::kLargeint:
      return NumberFromDouble(static_cast<double>(field.AsLargeInt()));
    case FieldType::kBoolean:
      return JsonValue::Bool(field.AsBoolean());
    case FieldType::kFloat:
    case FieldType::kSingle:
    case FieldType::kCurrency:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
      return NumberFromDouble(field.AsFloat());
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return DateValue(field, field.AsDateTime());
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream:
      return ObjectValue(field, field.FieldName(), options);
    default:
      NoTypeFor(field.FieldName());
  }
}

bool HasVisibleField(const DataSet& dataset) {
  for (const auto& f : dataset.Fields()) {
    if (f->Visible()) return true;
  }
  return false;
}

// The key of every field, worked out once per export rather than per row.
std::vector<std::string> Keys(const DataSet& dataset) {
  std::vector<std::string> keys;
  keys.reserve(dataset.Fields().size());
  for (const auto& field : dataset.Fields()) {
    keys.push_back(FormatCaseNameDefinition(field->FieldName()));
  }
  return keys;
}

JsonValue ToObject(DataSet& dataset, const ExportOptions& options,
                   const std::vector<std::string>& keys) {
  JsonValue object = JsonValue::Object();
  if (dataset.IsEmpty()) return object;
  object.members().reserve(dataset.Fields().size());
  for (const auto& field : dataset.Fields()) {
    if (!field->Visible()) continue;
    const std::string& key = keys[field->Index()];
    if (key.empty()) continue;
    if (field->IsNull()) {
      object.AddPair(key, JsonValue::Null());
    } else {
      object.AddPair(key, ObjectValue(*field, key, options));
    }
  }
  if (options.child_records) {
    // Details always export single-field rows as bare values and blobs as
    // Base64.
    ExportOptions child = options;
    child.value_records = true;
    child.encode_base64_blob = true;
    for (DataSet* detail : dataset.Details()) {
      if (detail->IsEmpty() || !HasVisibleField(*detail)) continue;
      const std::string key = FormatDataSetName(detail->Name());
      if (key.empty()) continue;
      object.AddPair(key, ToArray(*detail, child));
    }
  }
  return object;
}

JsonValue ToArray(DataSet& dataset, const ExportOptions& options) {
  JsonValue array = JsonValue::Array();
  if (dataset.IsEmpty()) return array;
  const DataSet::Bookmark bookmark = dataset.GetBookmark();
  const bool bare = options.value_records && dataset.Fields().size() == 1;
  const std::vector<std::string> keys = Keys(dataset);
  array.elements().reserve(static_cast<std::size_t>(dataset.RecordCount()));
  dataset.First();
  while (!dataset.Eof()) {
    array.Add(bare ? BareValue(*dataset.Fields().front(), options)
                   : ToObject(dataset, options, keys));
    dataset.Next();
  }
  if (dataset.BookmarkValid(bookmark)) dataset.GotoBookmark(bookmark);
  return array;
}

}  // namespace

JsonValue ToJSONArray(DataSet& dataset, const ExportOptions& options) {
  return ToArray(dataset, options);
}

JsonValue ToJSONObject(DataSet& dataset, const ExportOptions& options) {
  return ToObject(dataset, options, Keys(dataset));
}

}  // namespace norvessa
