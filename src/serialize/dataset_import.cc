#include "serialize/dataset_import.h"

#include <cmath>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "json/json_document.h"
#include "serialize/base64.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_json_config.h"
#include "text/ascii.h"
#include "text/date_text.h"
#include "text/number_text.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

constexpr int kInventedTextSize = 4096;

// A value's text: a string's content, a number's literal, "true", "false",
// "null", and nothing for an object or an array. A view, valid while the
// value is: a large body's text is never copied just to be looked at.
template <typename V>
std::string_view ValueText(const V& v) {
  switch (v.kind()) {
    case JsonKind::kString:
      return v.IsNullString() ? "null" : std::string_view(v.text());
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

// The import walks a value tree or a parsed document alike; these give
// both one shape. A found member is a pointer for a tree and an optional
// view for a document: both test false when nothing was found.
using DocValue = JsonDocument::Value;

template <typename F>
void ForEachMember(const JsonValue& object, F&& f) {
  for (const JsonMember& m : object.members()) {
    f(std::string_view(m.key), m.value);
  }
}
template <typename F>
void ForEachMember(const DocValue& object, F&& f) {
  for (const DocValue member : object.children()) f(member.key(), member);
}
// True when `pred` holds for a member; the members after it are not seen.
template <typename P>
bool AnyMember(const JsonValue& object, P&& pred) {
  for (const JsonMember& m : object.members()) {
    if (pred(std::string_view(m.key))) return true;
  }
  return false;
}
template <typename P>
bool AnyMember(const DocValue& object, P&& pred) {
  for (const DocValue member : object.children()) {
    if (pred(member.key())) return true;
  }
  return false;
}
template <typename F>
void ForEachElement(const JsonValue& array, F&& f) {
  for (const JsonValue& element : array.elements()) f(element);
}
template <typename F>
void ForEachElement(const DocValue& array, F&& f) {
  for (const DocValue element : array.children()) f(element);
}
const JsonValue* Found(const JsonValue& value) { return &value; }
std::optional<DocValue> Found(const DocValue& value) { return value; }
template <typename V>
using FoundType = decltype(Found(std::declval<const V&>()));

template <typename V>
FoundType<V> FindMember(const V& object, std::string_view key) {
  return object.Find(key);
}

// Up to this many members a plain scan finds a key as fast as a hash.
constexpr std::size_t kScannedMembers = 8;

// The members of one object under the keys that will be looked up, the
// first of duplicate keys kept, so that a body with many keys costs one
// pass, not one per field, and holds no more entries than the keys asked.
template <typename V>
class MemberIndex {
 public:
  // `keys` must outlive the index.
  MemberIndex(const V& object, const std::vector<std::string>& keys)
      : object_(object) {
    if (object.size() <= kScannedMembers) return;
    index_.reserve(keys.size());
    for (const std::string& key : keys) index_.emplace(key, FoundType<V>{});
    ForEachMember(object, [this](std::string_view key, const V& value) {
      const auto it = index_.find(key);
      if (it != index_.end() && !it->second) it->second = Found(value);
    });
  }

  FoundType<V> Find(std::string_view key) const {
    if (object_.size() <= kScannedMembers) return FindMember(object_, key);
    const auto it = index_.find(key);
    return it == index_.end() ? FoundType<V>{} : it->second;
  }

 private:
  const V& object_;
  std::unordered_map<std::string_view, FoundType<V>> index_;
};

// Field names compared as the dataset does: ASCII letters without regard
// to case.
std::string FoldedName(std::string_view name) { return AsciiUpper(name); }

std::size_t CharacterCount(std::string_view text) {
  std::size_t count = 0;
  for (std::size_t pos = 0; pos < text.size(); ++count) {
    NextCodePoint(text, pos);
  }
  return count;
}

bool HasFieldDef(const MemTable& table, const std::string& name) {
  for (const auto& def : table.FieldDefs()) {
    if (EqualsIgnoreCase(def.name, name)) return true;
  }
  return false;
}

// Whether the object's keys give more than kMaxObjectKeys field names.
// Counting stops at the first name past the limit, so a body of a million
// keys costs a thousand hashed names, not a million.
template <typename V>
bool HasTooManyKeys(const V& object) {
  if (object.size() <= kMaxObjectKeys) return false;
  std::unordered_set<std::string> names;
  return AnyMember(object, [&names](std::string_view key) {
    names.insert(FoldedName(JSONPairToFieldName(key)));
    return names.size() > kMaxObjectKeys;
  });
}

template <typename V>
void InventFields(MemTable& table, const V& object) {
  // Names already given, for a body with many keys; a few are scanned.
  std::unordered_set<std::string> names;
  const bool hashed = object.size() > kScannedMembers;
  ForEachMember(object, [&](std::string_view key, const V& value) {
    std::string name = JSONPairToFieldName(key);
    // Two keys that give one name make one field; the first one wins.
    if (hashed ? !names.insert(FoldedName(name)).second
               : HasFieldDef(table, name)) {
      return;
    }
    if (value.IsNumber()) {
      table.AddFieldDef(std::move(name), FieldType::kFloat);
    } else if (value.IsBool()) {
      table.AddFieldDef(std::move(name), FieldType::kBoolean);
    } else {
      const std::size_t length = CharacterCount(ValueText(value));
      if (length > static_cast<std::size_t>(kInventedTextSize)) {
        table.AddFieldDef(std::move(name), FieldType::kBlob,
                          static_cast<int>(length));
      } else {
        table.AddFieldDef(std::move(name), FieldType::kString,
                          kInventedTextSize);
      }
    }
  });
}

template <typename V>
DateTime ReadDateTime(const V& value, std::string_view text) {
  if (value.IsNumber()) {
    const auto days = TryParseFloat(text);
    const auto date = DateTime::TryFromDayNumber(days ? *days : 0);
    if (!date) throw ConvertError(NotAValidDateTime(text));
    return *date;
  }
  if (const auto d = TryParseRegionalDateTime(text)) return *d;
  if (const auto d = TryParseIso8601(text)) return *d;
  throw ConvertError(NotAValidDateTime(text));
}

template <typename V>
void Convert(Field& field, const V& value) {
  const std::string_view text = ValueText(value);
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
    case FieldType::kStream: {
      // Text that is not canonical Base64 is refused, not read as whatever
      // bytes its letters happen to make.
      auto bytes = value.IsString() ? DecodeBase64(value.text()) : std::nullopt;
      if (!bytes) {
        throw ConvertError("Field \"" + field.FieldName() +
                           "\" takes a Base64 string");
      }
      return field.SetAsBytes(std::move(*bytes));
    }
    default:
      throw DataSetJsonException("Cannot find type for field \"" +
                                 field.FieldName() + "\"");
  }
}

template <typename V>
void FillRow(MemTable& table, const V& object) {
  const bool only_visible = DataSetJsonConfig::GetInstance()
                                .import_settings.import_only_fields_visible;
  // A field's value is under its key form, else under its name exactly.
  const auto& fields = table.Fields();
  std::vector<std::string> keys;
  keys.reserve(fields.size() * 2);
  for (const auto& field : fields) {
    keys.push_back(FormatCaseNameDefinition(field->FieldName()));
    keys.push_back(field->FieldName());
  }
  const MemberIndex<V> members(object, keys);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const auto& field = fields[i];
    if ((only_visible && !field->Visible()) || field->ReadOnly()) continue;
    auto value = members.Find(keys[2 * i]);
    if (!value) value = members.Find(keys[2 * i + 1]);
    if (!value) continue;
    if (value->IsNull()) {
      field->Clear();
    } else {
      Convert(*field, *value);
    }
  }
}

template <typename V>
void ImportArray(MemTable& table, const V& array);

template <typename V>
void ImportObject(MemTable& table, const V& object) {
  if (object.size() == 0) return;
  // Refused as a body past the value cap is, before a field is made or a
  // member indexed.
  if (HasTooManyKeys(object)) throw DataSetJsonException("JSON not defined");
  if (!table.Active()) {
    if (table.FieldDefs().empty() && table.Fields().empty()) {
      InventFields(table, object);
    }
    table.Open();
  }
  auto change = FindMember(object, "object_state");
  if (!change) change = FindMember(object, "objectState");
  const std::string state = change ? std::string(ValueText(*change)) : "";
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
    const auto member = FindMember(object, FormatDataSetName(detail->Name()));
    if (!member) continue;
    if (member->IsObject()) ImportObject(*detail_table, *member);
    if (member->IsArray()) ImportArray(*detail_table, *member);
  }
}

template <typename V>
void ImportArray(MemTable& table, const V& array) {
  ForEachElement(array, [&table](const V& element) {
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
  });
  if (table.Active()) table.First();
}

template <typename V>
void Import(MemTable& table, const V& value) {
  if (value.IsObject()) ImportObject(table, value);
  if (value.IsArray()) ImportArray(table, value);
}

// Only text that starts with "{" or "[" (after blanks) is JSON to import.
char FirstMark(std::string_view text) {
  std::size_t start = 0;
  while (start < text.size() &&
         static_cast<unsigned char>(text[start]) <= ' ') {
    ++start;
  }
  return start == text.size() ? '\0' : text[start];
}

}  // namespace

void LoadFromJSON(MemTable& table, const JsonValue& value) {
  Import(table, value);
}

void LoadFromJSON(MemTable& table, const JsonDocument& document) {
  Import(table, document.Root());
}

void LoadFromJSON(MemTable& table, std::string_view text,
                  const JsonDocument* parsed) {
  const char mark = FirstMark(text);
  if (mark != '{' && mark != '[') return;
  const bool wanted =
      parsed != nullptr &&
      (mark == '{' ? parsed->Root().IsObject() : parsed->Root().IsArray());
  if (!wanted) throw DataSetJsonException("JSON not defined");
  LoadFromJSON(table, *parsed);
}

void LoadFromJSON(MemTable& table, std::string_view text) {
  const char mark = FirstMark(text);
  if (mark != '{' && mark != '[') return;
  const auto parsed = JsonDocument::Parse(text);
  LoadFromJSON(table, text, parsed ? &*parsed : nullptr);
}

}  // namespace norvessa
