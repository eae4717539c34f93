#ifndef NORVESSA_JSON_JSON_DOCUMENT_H_
#define NORVESSA_JSON_JSON_DOCUMENT_H_

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json/json_value.h"

namespace norvessa {

// A request body holds at most this many values (every scalar, array and
// object counts one); a longer one is not accepted as JSON.
inline constexpr std::size_t kMaxJsonValues = 1'000'000;

// A parsed JSON text, read-only and compact: every value is one fixed-size
// node in one vector, in document order, and the text of every string, key
// and number literal sits in one character arena. Parsing allocates a
// handful of times whatever the number of values, and the whole costs
// about 28 bytes per value plus the text. Numbers keep their literal text.
class JsonDocument {
 public:
  class Value;
  class Children;

  // Nothing when the text is not one valid JSON value (blanks around it
  // allowed), nests deeper than kMaxJsonDepth or holds more than
  // `max_values` values.
  static std::optional<JsonDocument> Parse(
      std::string_view text, std::size_t max_values = kMaxJsonValues);

  Value Root() const;
  std::size_t value_count() const { return nodes_.size(); }
  // The bytes the document holds on the heap.
  std::size_t MemoryUsed() const {
    return nodes_.capacity() * sizeof(Node) + arena_.capacity();
  }

 private:
  class Builder;
  struct Node {
    JsonKind kind = JsonKind::kNull;
    // One past the last node of this value's subtree.
    std::uint32_t end = 0;
    // Elements or members.
    std::uint32_t count = 0;
    // The string's content or the number's literal, in the arena.
    std::uint32_t text = 0;
    std::uint32_t text_size = 0;
    // The key this value has in its object.
    std::uint32_t key = 0;
    std::uint32_t key_size = 0;
  };

  std::vector<Node> nodes_;
  std::string arena_;
};

// One value of a document; cheap to copy, valid while the document lives.
class JsonDocument::Value {
 public:
  JsonKind kind() const { return node().kind; }
  bool IsNull() const { return kind() == JsonKind::kNull; }
  bool IsBool() const {
    return kind() == JsonKind::kTrue || kind() == JsonKind::kFalse;
  }
  bool IsNumber() const { return kind() == JsonKind::kNumber; }
  bool IsString() const { return kind() == JsonKind::kString; }
  bool IsArray() const { return kind() == JsonKind::kArray; }
  bool IsObject() const { return kind() == JsonKind::kObject; }
  // Parsed text never holds a string marked as null.
  bool IsNullString() const { return false; }

  // The content of a string or the literal of a number; empty otherwise.
  std::string_view text() const {
    return {doc_->arena_.data() + node().text, node().text_size};
  }
  // The key of a member of an object; empty otherwise.
  std::string_view key() const {
    return {doc_->arena_.data() + node().key, node().key_size};
  }
  // Elements of an array or members of an object; 0 for scalars.
  std::size_t size() const { return node().count; }
  // The elements of an array, or the members' values of an object (each
  // with its key()), in document order.
  Children children() const;
  // The first member with exactly this key, or nothing.
  std::optional<Value> Find(std::string_view key) const;

  // The same value as a tree (for code that builds on JsonValue).
  JsonValue ToJsonValue() const;

 private:
  friend class JsonDocument;
  friend class Children;
  Value(const JsonDocument* doc, std::uint32_t index)
      : doc_(doc), index_(index) {}
  const Node& node() const { return doc_->nodes_[index_]; }

  const JsonDocument* doc_;
  std::uint32_t index_;
};

// The children of a container, walked from sibling to sibling.
class JsonDocument::Children {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = Value;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = Value;

    Iterator() = default;
    Value operator*() const { return Value(doc_, index_); }
    Iterator& operator++() {
      index_ = doc_->nodes_[index_].end;
      return *this;
    }
    Iterator operator++(int) {
      Iterator before = *this;
      ++*this;
      return before;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) {
      return a.index_ == b.index_;
    }

   private:
    friend class Children;
    Iterator(const JsonDocument* doc, std::uint32_t index)
        : doc_(doc), index_(index) {}
    const JsonDocument* doc_ = nullptr;
    std::uint32_t index_ = 0;
  };

  Iterator begin() const { return Iterator(doc_, first_); }
  Iterator end() const { return Iterator(doc_, end_); }

 private:
  friend class Value;
  Children(const JsonDocument* doc, std::uint32_t first, std::uint32_t end)
      : doc_(doc), first_(first), end_(end) {}
  const JsonDocument* doc_;
  std::uint32_t first_;
  std::uint32_t end_;
};

inline JsonDocument::Value JsonDocument::Root() const { return Value(this, 0); }

}  // namespace norvessa

#endif  // NORVESSA_JSON_JSON_DOCUMENT_H_
