#include "serialize/dataset_import.h"

#include <cmath>
#include <string>

#include "json/json_parser.h"
#include "json/utf8.h"
#include "serialize/base64.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_json_config.h"
#include "serialize/regional.h"

namespace norvessa {
namespace {

constexpr int kInventedTextSize = 4096;

// A value's text: a string's content, a number's literal, "true", "false",
// "null", and nothing for an object or an array.
std::string ValueText(const JsonValue& v) {
  switch (v.kind()) {
    case JsonKind::kString:
      return v.IsNullString() ? "null" : v.text();
    case JsonKind::kNumber:
      return v.text();
    case JsonKind::kTrue:
      return "true";
    case JsonKind::kFalse:
      return "false";
    case JsonKind::kNull:
      return "null";
    default:
      return {};
  }
}

std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    NextCodePoint(text, pos);
  }
  return count;
}

bool HasFieldDef(const MemTable& table, const std::string& name) {
  for (const auto& def : table.FieldDefs()) {
    if (def.name.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < name.size() && same; ++i) {
      char a = def.name[i], b = name[i];
      if (a >= 'a' && a <= 'z') a = static_cast<char>(a - 32);
      if (b >= 'a' && b <= 'z') b = static_cast<char>(b - 32);
      same = a == b;
    }
    if (same) return true;
  }
  return false;
}

void InventFields(MemTable& table, const JsonValue& object) {
  for (const JsonMember& m : object.members()) {
    std::string name = JSONPairToFieldName(m.key);
    // Two keys that give one name make one field; the first one wins.
    if (HasFieldDef(table, name)) continue;
    if (m.value.IsNumber()) {
      table.AddFieldDef(std::move(name), FieldType::kFloat);
    } else if (m.value.IsBool()) {
      table.AddFieldDef(std::move(name), FieldType::kBoolean);
    } else {
      const std::size_t length = CharacterCount(ValueText(m.value));
      if (length > static_cast<std::size_t>(kInventedTextSize)) {
        table.AddFieldDef(std::move(name), FieldType::kBlob,
                          static_cast<int>(length));
      } else {
        table.AddFieldDef(std::move(name), FieldType::kString,
                          kInventedTextSize);
      }
    }
  }
}

DateTime ReadDateTime(const JsonValue& value, const std::string& text) {
  if (value.IsNumber()) {
    const auto days = TryParseFloat(text);
    return DateTime::FromDayNumber(days ? *days : 0);
  }
  if (const auto d = TryParseRegionalDateTime(text)) return *d;
  if (const auto d = TryParseIso8601(text)) return *d;
  throw ConvertError(NotAValidDateTime(text));
}

void Convert(Field& field, const JsonValue& value) {
  const std::string text = ValueText(value);
  switch (field.DataType()) {
    case FieldType::kString:
    case FieldType::kMemo:
    case FieldType::kFixedChar:
    case FieldType::kWideString:
    case FieldType::kGuid:
    case FieldType::kFixedWideChar:
    case FieldType::kWideMemo:
      return field.SetAsString(text);
    case FieldType::kSmallint:
    case FieldType::kInteger:
    case FieldType::kWord:
    case FieldType::kLongWord:
    case FieldType::kShortint:
    case FieldType::kByte:
      return field.SetAsInteger(
          TryParseInteger(text, INT32_MIN, INT32_MAX).value_or(0));
    case FieldType::kAutoInc:
    case FieldType::kLargeint:
      return field.SetAsInteger(TryParseInteger(text).value_or(0));
    case FieldType::kBoolean:
      if (const auto b = TryParseBoolean(text)) field.SetAsBoolean(*b);
      return;
    case FieldType::kFloat:
    case FieldType::kBCD:
    case FieldType::kFMTBcd:
    case FieldType::kSingle:
    case FieldType::kExtended:
    case FieldType::kCurrency: {
      const auto number = TryParseFloat(text);
      if (!number) throw ConvertError(NotAValidFloat(text));
      if (field.DataType() == FieldType::kCurrency) {
        return field.SetAsFloat(std::nearbyint(*number * 10000) / 10000);
      }
      return field.SetAsFloat(*number);
    }
    case FieldType::kDate:
    case FieldType::kDateTime:
    case FieldType::kTimeStamp:
      return field.SetAsDateTime(ReadDateTime(value, text));
    case FieldType::kTime: {
      if (value.IsNumber()) {
        const double days = TryParseFloat(text).value_or(0);
        return field.SetAsDateTime(
            DateTime::FromDayNumber(days - std::floor(days)));
      }
      if (const auto t = TryParseTime(text)) return field.SetAsDateTime(*t);
      throw ConvertError(NotAValidDateTime(text));
    }
    case FieldType::kBlob:
    case FieldType::kGraphic:
    case FieldType::kOraBlob:
    case FieldType::kStream:
      if (!value.IsString()) {
        throw ConvertError("Field \"" + field.FieldName() +
                           "\" takes a Base64 string");
      }
      return field.SetAsBytes(DecodeBase64(value.text()));
    default:
      throw DataSetJsonException("Cannot find type for field \"" +
                                 field.FieldName() + "\"");
  }
}

void FillRow(MemTable& table, const JsonValue& object) {
  const bool only_visible = DataSetJsonConfig::GetInstance()
                                .import_settings.import_only_fields_visible;
  for (const auto& field : table.Fields()) {
    if ((only_visible && !field->Visible()) || field->ReadOnly()) continue;
    const JsonValue* value =
        object.Find(FormatCaseNameDefinition(field->FieldName()));
    if (value == nullptr) value = object.Find(field->FieldName());
    if (value == nullptr) continue;
    if (value->IsNull()) {
      field->Clear();
    } else {
      Convert(*field, *value);
    }
  }
}

void ImportArray(MemTable& table, const JsonValue& array);

void ImportObject(MemTable& table, const JsonValue& object) {
  if (object.members().empty()) return;
  if (!table.Active()) {
    if (table.FieldDefs().empty() && table.Fields().empty()) {
      InventFields(table, object);
    }
    table.Open();
  }
  const JsonValue* change = object.Find("object_state");
  if (change == nullptr) change = object.Find("objectState");
  const std::string state = change != nullptr ? ValueText(*change) : "";
  if (state == "UNMODIFIED") return;
  if (state == "DELETED") {
    table.Append();
    table.Delete();
    return;
  }
  if (table.State() != DataSetState::kInsert) table.Append();
  FillRow(table, object);
  table.Post();
  for (DataSet* detail : table.Details()) {
    auto* detail_table = dynamic_cast<MemTable*>(detail);
    if (detail_table == nullptr) continue;
    const JsonValue* member = object.Find(FormatDataSetName(detail->Name()));
    if (member == nullptr) continue;
    if (member->IsObject()) ImportObject(*detail_table, *member);
    if (member->IsArray()) ImportArray(*detail_table, *member);
  }
}

void ImportArray(MemTable& table, const JsonValue& array) {
  for (const JsonValue& element : array.elements()) {
    if (element.IsObject()) {
      ImportObject(table, element);
    } else if (element.IsArray()) {
      ImportArray(table, element);
    } else {
      if (table.Fields().size() != 1) {
        throw DataSetJsonException("[" + table.Name() +
                                   "] Invalid field count");
      }
      if (!table.Active()) table.Open();
      table.Append();
      table.Fields().front()->SetAsString(ValueText(element));
      table.Post();
    }
  }
  if (table.Active()) table.First();
}

}  // namespace

void LoadFromJSON(MemTable& table, const JsonValue& value) {
  if (value.IsObject()) ImportObject(table, value);
  if (value.IsArray()) ImportArray(table, value);
}

void LoadFromJSON(MemTable& table, std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() &&
         static_cast<unsigned char>(text[start]) <= ' ') {
    ++start;
  }
  if (start == text.size() || (text[start] != '{' && text[start] != '[')) {
    return;
  }
  const auto parsed = ParseJson(text);
  const bool wanted =
      parsed && (text[start] == '{' ? parsed->IsObject() : parsed->IsArray());
  if (!wanted) throw DataSetJsonException("JSON not defined");
  LoadFromJSON(table, *parsed);
}

}  // namespace norvessa
