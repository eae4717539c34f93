#ifndef NORVESSA_JSON_JSON_VALUE_H_
#define NORVESSA_JSON_JSON_VALUE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace norvessa {

enum class JsonKind : std::uint8_t {
  kNull,
  kFalse,
  kTrue,
  kNumber,
  kString,
  kArray,
  kObject,
};

struct JsonMember;

// The one JSON value of the service. Objects keep their pairs in insertion
// order and keep duplicate keys as built; a number keeps the exact text it
// was created with ("1.50" stays "1.50"); a string may be marked as null,
// which the text form writes as null.
class JsonValue {
 public:
  JsonValue();  // null
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  static JsonValue Null() { return JsonValue(); }
  static JsonValue Bool(bool value);
  // `literal` must be a JSON number literal; it is written out as given.
  static JsonValue Number(std::string literal);
  static JsonValue Number(std::int64_t value);
  static JsonValue String(std::string utf8);
  static JsonValue NullString();
  static JsonValue Array();
  static JsonValue Object();

  JsonKind kind() const { return kind_; }
  bool IsNull() const { return kind_ == JsonKind::kNull; }
  bool IsBool() const {
    return kind_ == JsonKind::kTrue || kind_ == JsonKind::kFalse;
  }
  bool IsNumber() const { return kind_ == JsonKind::kNumber; }
  bool IsString() const { return kind_ == JsonKind::kString; }
  bool IsArray() const { return kind_ == JsonKind::kArray; }
  bool IsObject() const { return kind_ == JsonKind::kObject; }
  bool IsNullString() const { return kind_ == JsonKind::kString && null_; }

  bool AsBool() const { return kind_ == JsonKind::kTrue; }
  // The content of a string or the literal of a number; empty otherwise.
  const std::string& text() const { return text_; }

  // Arrays.
  const std::vector<JsonValue>& elements() const { return elements_; }
  std::vector<JsonValue>& elements() { return elements_; }
  JsonValue& Add(JsonValue value);

  // Objects.
  const std::vector<JsonMember>& members() const { return members_; }
  std::vector<JsonMember>& members() { return members_; }
  JsonValue& AddPair(std::string key, JsonValue value);
  // The first pair with exactly this key, or nullptr.
  const JsonValue* Find(std::string_view key) const;

  // Elements of an array or pairs of an object; 0 for scalars.
  std::size_t size() const;

  friend bool operator==(const JsonValue& a, const JsonValue& b);

 private:
  JsonKind kind_ = JsonKind::kNull;
  bool null_ = false;
  std::string text_;
  std::vector<JsonValue> elements_;
  std::vector<JsonMember> members_;
};

struct JsonMember {
  std::string key;
  JsonValue value;

  friend bool operator==(const JsonMember&, const JsonMember&) = default;
};

}  // namespace norvessa

#endif  // NORVESSA_JSON_JSON_VALUE_H_
