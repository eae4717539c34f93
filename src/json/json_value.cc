#include "json/json_value.h"

#include <utility>

namespace norvessa {

// Out of line: JsonMember is complete only here.
JsonValue::JsonValue() = default;
JsonValue::JsonValue(const JsonValue&) = default;
JsonValue::JsonValue(JsonValue&&) noexcept = default;
JsonValue& JsonValue::operator=(const JsonValue&) = default;
JsonValue& JsonValue::operator=(JsonValue&&) noexcept = default;
JsonValue::~JsonValue() = default;

JsonValue JsonValue::Bool(bool value) {
  JsonValue v;
  v.kind_ = value ? JsonKind::kTrue : JsonKind::kFalse;
  return v;
}

JsonValue JsonValue::Number(std::string literal) {
  JsonValue v;
  v.kind_ = JsonKind::kNumber;
  v.text_ = std::move(literal);
  return v;
}

JsonValue JsonValue::Number(std::int64_t value) {
  return Number(std::to_string(value));
}

JsonValue JsonValue::String(std::string utf8) {
  JsonValue v;
  v.kind_ = JsonKind::kString;
  v.text_ = std::move(utf8);
  return v;
}

JsonValue JsonValue::NullString() {
  JsonValue v;
  v.kind_ = JsonKind::kString;
  v.null_ = true;
  return v;
}

JsonValue JsonValue::Array() {
  JsonValue v;
  v.kind_ = JsonKind::kArray;
  return v;
}

JsonValue JsonValue::Object() {
  JsonValue v;
  v.kind_ = JsonKind::kObject;
  return v;
}

JsonValue& JsonValue::Add(JsonValue value) {
  elements_.push_back(std::move(value));
  return *this;
}

JsonValue& JsonValue::AddPair(std::string key, JsonValue value) {
  members_.push_back(JsonMember{std::move(key), std::move(value)});
  return *this;
}

const JsonValue* JsonValue::Find(std::string_view key) const {
  for (const JsonMember& m : members_) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

std::size_t JsonValue::size() const {
  if (kind_ == JsonKind::kArray) return elements_.size();
  if (kind_ == JsonKind::kObject) return members_.size();
  return 0;
}

bool operator==(const JsonValue& a, const JsonValue& b) {
  return a.kind_ == b.kind_ && a.null_ == b.null_ && a.text_ == b.text_ &&
         a.elements_ == b.elements_ && a.members_ == b.members_;
}

}  // namespace norvessa
