#include "serialize/dataset_export.h"

#include <cmath>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json_text.h"
#include "serialize/base64.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_json_config.h"
#include "text/date_text.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

[[noreturn]] void NoTypeFor(const std::string& name) {
  throw DataSetJsonException("Cannot find type for field \"" + name + "\"");
}

// Builds the JSON value tree.
class TreeWriter {
 public:
  void BeginArray(std::size_t size_hint) {
    JsonValue* array = Put(JsonValue::Array());
    array->elements().reserve(size_hint);
    open_.push_back(array);
  }
  void BeginObject(std::size_t size_hint) {
    JsonValue* object = Put(JsonValue::Object());
    object->members().reserve(size_hint);
    open_.push_back(object);
  }
  void End() { open_.pop_back(); }
  void Key(const std::string& key) { key_ = &key; }
  void Null() { Put(JsonValue::Null()); }
  void Bool(bool value) { Put(JsonValue::Bool(value)); }
  void Number(std::string text) { Put(JsonValue::Number(std::move(text))); }
  void String(std::string text) { Put(JsonValue::String(std::move(text))); }
  void StringView(std::string_view text) {
    Put(JsonValue::String(std::string(text)));
  }

  JsonValue Take() { return std::move(root_); }

 private:
  // Only the innermost open container grows, so pointers to the open ones
  // stay valid.
  JsonValue* Put(JsonValue value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    JsonValue& top = *open_.back();
    if (top.IsArray()) {
      top.Add(std::move(value));
      return &top.elements().back();
    }
    top.AddPair(*key_, std::move(value));
    return &top.members().back().value;
  }

  JsonValue root_;
  std::vector<JsonValue*> open_;
  const std::string* key_ = nullptr;
};

// Writes the same values straight as the service's JSON text, without the
// tree: the rows go from the cursor to the text.
class TextWriter {
 public:
  explicit TextWriter(std::string& out) : out_(out) {}

  void BeginArray(std::size_t) { Open('['); }
  void BeginObject(std::size_t) { Open('{'); }
  void End() {
    out_.push_back(
        first_.back() == kArray || first_.back() == kArrayFirst ? ']' : '}');
    first_.pop_back();
  }
  void Key(const std::string& key) {
    Separate();
    AppendJsonString(out_, key);
    out_.push_back(':');
    after_key_ = true;
  }
  void Null() { Scalar("null"); }
  void Bool(bool value) { Scalar(value ? "true" : "false"); }
  void Number(std::string text) { Scalar(text); }
  void String(const std::string& text) { StringView(text); }
  void StringView(std::string_view text) {
    BeforeValue();
    AppendJsonString(out_, text);
  }

 private:
  enum State : char { kArrayFirst, kArray, kObjectFirst, kObject };

  void Open(char bracket) {
    BeforeValue();
    out_.push_back(bracket);
    first_.push_back(bracket == '[' ? kArrayFirst : kObjectFirst);
  }
  void Scalar(std::string_view text) {
    BeforeValue();
    out_.append(text);
  }
  // A value in an array takes a comma after the first; in an object the
  // key has placed it.
  void BeforeValue() {
    if (after_key_) {
      after_key_ = false;
      return;
    }
    Separate();
  }
  void Separate() {
    if (first_.empty()) return;
    State& state = first_.back();
    if (state == kArrayFirst) {
      state = kArray;
    } else if (state == kObjectFirst) {
      state = kObject;
    } else {
      out_.push_back(',');
    }
  }

  std::string& out_;
  std::vector<State> first_;
  bool after_key_ = false;
};

template <typename Writer>
void NumberFromDouble(Writer& w, double value) {
  // A value JSON cannot hold is written as null.
  if (!std::isfinite(value)) return w.Null();
  w.Number(FormatFloat(value));
}

template <typename Writer>
void DateValue(Writer& w, const Field& field, DateTime value) {
  const auto& settings = DataSetJsonConfig::GetInstance().export_settings;
  switch (field.DataType()) {
    case FieldType::kDate:
      return w.String(FormatDateTimePattern(settings.format_date, value));
    case FieldType::kTime:
      return w.String(FormatDateTimePattern(settings.format_time, value));
    case FieldType::kTimeStamp:
      return w.String(FormatIsoTimestamp(value));
    default:
      return w.String(FormatDateTimePattern(settings.format_date_time, value));
  }
}

// A text field's value, read in place when the row holds it as text.
template <typename Writer>
void TextValue(Writer& w, const Field& field) {
  if (field.Kind() != FieldKind::kLargeObject) {
    if (const auto* text = std::get_if<std::string>(&field.Value())) {
      return w.StringView(*text);
    }
  }
  w.String(field.AsString());
}

template <typename Writer>
void WriteArray(Writer& w, DataSet& dataset, const ExportOptions& options);

// The value of a field that is not null, for an object.
template <typename Writer>
void ObjectValue(Writer& w, const Field& field, const std::string& key,
                 const ExportOptions& options) {
  switch (field.DataType()) {
    case FieldType::kString:
    case FieldType::kMemo:
    case FieldType::kFixedChar:
    case FieldType::kWideString:
    case FieldType::kGuid:
    case FieldType::kFixedWideChar:
    case FieldType::kWideMemo:
      return TextValue(w, field);
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kAutoInc:
    case FieldType::kLongWord:
    case FieldType::kShortint:
    case FieldType::kByte:
    case FieldType::kLargeint:
      return w.Number(FormatInteger(field.AsLargeInt()));
    case FieldType::kBoolean:
      return w.Bool(field.AsBoolean());
    case FieldType::kFloat:
    case FieldType::kExtended:
    case FieldType::kSingle:
    case FieldType::kCurrency:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
      return NumberFromDouble(w, field.AsFloat());
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return DateValue(w, field, field.AsDateTime());
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream: {
      const auto* bytes = std::get_if<std::string>(&field.Value());
      const std::string raw = bytes != nullptr ? *bytes : std::string();
      return w.String(options.encode_base64_blob ? EncodeBase64(raw) : raw);
    }
    default:
      NoTypeFor(key);
  }
}

// A single-field row's value, taken without looking at null.
template <typename Writer>
void BareValue(Writer& w, const Field& field, const ExportOptions& options) {
  switch (field.DataType()) {
    case FieldType::kString:
    case FieldType::kMemo:
    case FieldType::kWideString:
    case FieldType::kGuid:
    case FieldType::kWideMemo:
    case FieldType::kAutoInc:
    case FieldType::kLongWord:
      return w.String(field.AsString());
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kShortint:
      return w.Number(FormatInteger(field.AsLargeInt()));
    case FieldType::kLargeint:
      return NumberFromDouble(w, static_cast<double>(field.AsLargeInt()));
    case FieldType::kBoolean:
      return w.Bool(field.AsBoolean());
    case FieldType::kFloat:
    case FieldType::kSingle:
    case FieldType::kCurrency:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
      return NumberFromDouble(w, field.AsFloat());
    case FieldType::kDate:
    case FieldType::kTime:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return DateValue(w, field, field.AsDateTime());
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream:
      return ObjectValue(w, field, field.FieldName(), options);
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

template <typename Writer>
void WriteObject(Writer& w, DataSet& dataset, const ExportOptions& options,
                 const std::vector<std::string>& keys) {
  if (dataset.IsEmpty()) {
    w.BeginObject(0);
    return w.End();
  }
  w.BeginObject(dataset.Fields().size());
  for (const auto& field : dataset.Fields()) {
    if (!field->Visible()) continue;
    const std::string& key = keys[field->Index()];
    if (key.empty()) continue;
    w.Key(key);
    if (field->IsNull()) {
      w.Null();
    } else {
      ObjectValue(w, *field, key, options);
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
      w.Key(key);
      WriteArray(w, *detail, child);
    }
  }
  w.End();
}

template <typename Writer>
void WriteArray(Writer& w, DataSet& dataset, const ExportOptions& options) {
  if (dataset.IsEmpty()) {
    w.BeginArray(0);
    return w.End();
  }
  const DataSet::Bookmark bookmark = dataset.GetBookmark();
  const bool bare = options.value_records && dataset.Fields().size() == 1;
  const std::vector<std::string> keys = Keys(dataset);
  w.BeginArray(static_cast<std::size_t>(dataset.RecordCount()));
  dataset.First();
  while (!dataset.Eof()) {
    if (bare) {
      BareValue(w, *dataset.Fields().front(), options);
    } else {
      WriteObject(w, dataset, options, keys);
    }
    dataset.Next();
  }
  w.End();
  if (dataset.BookmarkValid(bookmark)) dataset.GotoBookmark(bookmark);
}

}  // namespace

JsonValue ToJSONArray(DataSet& dataset, const ExportOptions& options) {
  TreeWriter w;
  WriteArray(w, dataset, options);
  return w.Take();
}

JsonValue ToJSONObject(DataSet& dataset, const ExportOptions& options) {
  TreeWriter w;
  WriteObject(w, dataset, options, Keys(dataset));
  return w.Take();
}

std::string ToJSONArrayText(DataSet& dataset, const ExportOptions& options) {
  std::string out;
  TextWriter w(out);
  WriteArray(w, dataset, options);
  return out;
}

std::string ToJSONObjectText(DataSet& dataset, const ExportOptions& options) {
  std::string out;
  AppendJSONObjectText(out, dataset, options);
  return out;
}

void AppendJSONObjectText(std::string& out, DataSet& dataset,
                          const ExportOptions& options) {
  TextWriter w(out);
  WriteObject(w, dataset, options, Keys(dataset));
}

}  // namespace norvessa
