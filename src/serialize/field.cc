#include "serialize/field.h"

#include <limits>

#include "serialize/dataset.h"
#include "serialize/dataset_error.h"
#include "text/date_text.h"
#include "text/number_text.h"
#include "text/utf8.h"

namespace norvessa {
namespace {

bool StartsTrue(std::string_view text) {
  if (text.empty()) return false;
  const char c = text.front();
  return c == 'T' || c == 't' || c == 'Y' || c == 'y';
}

// Cuts UTF-8 text to at most `chars` code points.
std::string CutToCharacters(std::string_view text, int chars) {
  std::size_t pos = 0;
  for (int n = 0; n < chars && pos < text.size(); ++n) {
    NextCodePoint(text, pos);
  }
  return std::string(text.substr(0, pos));
}

}  // namespace

Field::Field(DataSet& dataset, std::size_t index, std::string name,
             FieldType type, int size)
    : dataset_(dataset),
      index_(index),
      name_(std::move(name)),
      type_(type),
      size_(size) {}

const FieldValue& Field::Value() const { return dataset_.ValueAt(index_); }

bool Field::IsNull() const {
  return std::holds_alternative<std::monostate>(Value());
}

void Field::AccessError(std::string_view type_name) const {
  if (dataset_.HoldsInput()) {
    throw InputError("Cannot access field '" + name_ + "' as type " +
                     std::string(type_name));
  }
  throw DataSetError("Cannot access field '" + name_ + "' as type " +
                     std::string(type_name));
}

void Field::Unreadable(std::string message) const {
  if (dataset_.HoldsInput()) throw InputError(message);
  throw ConvertError(message);
}

std::string Field::AsString() const {
  const FieldValue& v = Value();
  if (std::holds_alternative<std::monostate>(v)) return {};
  if (const auto* s = std::get_if<std::string>(&v)) {
    return Kind() == FieldKind::kLargeObject ? SanitizeUtf8(*s) : *s;
  }
  if (const auto* i = std::get_if<std::int64_t>(&v)) return FormatInteger(*i);
  if (const auto* d = std::get_if<double>(&v)) return FormatFloat(*d);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "True" : "False";
  const DateTime dt = std::get<DateTime>(v);
  switch (type_) {
    case FieldType::kDate:
      return FormatShortDate(dt);
    case FieldType::kTime:
      return FormatTimeText(dt);
    default:
      return FormatDateTimeText(dt);
  }
}

std::int64_t Field::AsLargeInt() const {
  const FieldValue& v = Value();
  switch (Kind()) {
    case FieldKind::kText: {
      const std::string text = AsString();
      if (const auto n = TryParseInteger(text)) return *n;
      Unreadable(NotAValidInteger(text));
    }
    case FieldKind::kInteger:
      if (const auto* i = std::get_if<std::int64_t>(&v)) return *i;
      return 0;
    case FieldKind::kDecimal:
      if (const auto* d = std::get_if<double>(&v)) return RoundHalfEven(*d);
      return 0;
    default:
      AccessError("Integer");
  }
}

std::int32_t Field::AsInteger() const {
  const std::int64_t n = AsLargeInt();
  if (n < std::numeric_limits<std::int32_t>::min() ||
      n > std::numeric_limits<std::int32_t>::max()) {
    Unreadable(NotAValidInteger(FormatInteger(n)));
  }
  return static_cast<std::int32_t>(n);
}

double Field::AsFloat() const {
  const FieldValue& v = Value();
  switch (Kind()) {
    case FieldKind::kText: {
      const std::string text = AsString();
      if (const auto d = TryParseFloat(text)) return *d;
      Unreadable(NotAValidFloat(text));
    }
    case FieldKind::kInteger:
      if (const auto* i = std::get_if<std::int64_t>(&v)) {
        return static_cast<double>(*i);
      }
      return 0;
    case FieldKind::kDecimal:
      if (const auto* d = std::get_if<double>(&v)) return *d;
      return 0;
    case FieldKind::kDateTime:
      if (const auto* t = std::get_if<DateTime>(&v)) return t->DayNumber();
      return 0;
    default:
      AccessError("Float");
  }
}

DateTime Field::AsDateTime() const {
  const FieldValue& v = Value();
  switch (Kind()) {
    case FieldKind::kText: {
      const std::string text = AsString();
      if (const auto d = TryParseRegionalDateTime(text)) return *d;
      Unreadable(NotAValidDateTime(text));
    }
    case FieldKind::kDateTime:
      if (const auto* t = std::get_if<DateTime>(&v)) return *t;
      return DateTime();
    default:
      AccessError("DateTime");
  }
}

bool Field::AsBoolean() const {
  const FieldValue& v = Value();
  switch (Kind()) {
    case FieldKind::kText:
      return StartsTrue(AsString());
    case FieldKind::kBoolean:
      if (const auto* b = std::get_if<bool>(&v)) return *b;
      return false;
    default:
      AccessError("Boolean");
  }
}

void Field::Store(FieldValue value) {
  dataset_.SetValueAt(index_, std::move(value));
}

std::string Field::StoredText(std::string_view text) const {
  // Text is kept as UTF-8; the size counts characters.
  std::string stored = SanitizeUtf8(text);
  if (size_ > 0 &&
      (type_ == FieldType::kString || type_ == FieldType::kWideString ||
       type_ == FieldType::kFixedChar || type_ == FieldType::kFixedWideChar)) {
    return CutToCharacters(stored, size_);
  }
  return stored;
}

void Field::Clear() { Store(std::monostate{}); }

void Field::SetAsString(std::string_view text) {
  switch (Kind()) {
    case FieldKind::kText:
      return Store(StoredText(text));
    case FieldKind::kLargeObject:
      return Store(std::string(text));
    default:
      break;
  }
  // An empty text clears a field of any other kind.
  if (text.empty()) return Clear();
  switch (Kind()) {
    case FieldKind::kInteger:
      if (const auto n = TryParseInteger(text)) return Store(*n);
      throw ConvertError(NotAValidInteger(text));
    case FieldKind::kDecimal:
      if (const auto d = TryParseFloat(text)) return Store(*d);
      throw ConvertError(NotAValidFloat(text));
    case FieldKind::kDateTime: {
      const auto d = type_ == FieldType::kTime ? TryParseTime(text)
                                               : TryParseRegionalDateTime(text);
      if (d) return SetAsDateTime(*d);
      throw ConvertError(NotAValidDateTime(text));
    }
    case FieldKind::kBoolean:
      if (const auto b = TryParseBoolean(text)) return Store(*b);
      throw ConvertError("'" + std::string(text) +
                         "' is not a valid boolean value");
    default:
      AccessError("String");
  }
}

void Field::SetAsInteger(std::int64_t value) {
  switch (Kind()) {
    case FieldKind::kInteger:
      return Store(value);
    case FieldKind::kDecimal:
      return Store(static_cast<double>(value));
    case FieldKind::kText:
      return Store(StoredText(FormatInteger(value)));
    case FieldKind::kBoolean:
      return Store(value != 0);
    default:
      AccessError("Integer");
  }
}

void Field::SetAsFloat(double value) {
  switch (Kind()) {
    case FieldKind::kDecimal:
      return Store(value);
    case FieldKind::kInteger:
      return Store(RoundHalfEven(value));
    case FieldKind::kText:
      return Store(StoredText(FormatFloat(value)));
    case FieldKind::kDateTime:
      if (const auto date = DateTime::TryFromDayNumber(value)) {
        return SetAsDateTime(*date);
      }
      throw ConvertError(NotAValidDateTime(FormatFloat(value)));
    default:
      AccessError("Float");
  }
}

void Field::SetAsDateTime(DateTime value) {
  switch (Kind()) {
    case FieldKind::kDateTime:
      if (type_ == FieldType::kDate) return Store(value.DatePart());
      if (type_ == FieldType::kTime) return Store(value.TimePart());
      return Store(value);
    case FieldKind::kText:
      return Store(StoredText(FormatDateTimeText(value)));
    case FieldKind::kDecimal:
      return Store(value.DayNumber());
    default:
      AccessError("DateTime");
  }
}

void Field::SetAsBoolean(bool value) {
  switch (Kind()) {
    case FieldKind::kBoolean:
      return Store(value);
    case FieldKind::kText:
      return Store(StoredText(value ? "True" : "False"));
    default:
      AccessError("Boolean");
  }
}

void Field::SetAsBytes(std::string bytes) {
  if (Kind() == FieldKind::kLargeObject || type_ == FieldType::kVarBytes) {
    return Store(std::move(bytes));
  }
  SetAsString(bytes);
}

}  // namespace norvessa
