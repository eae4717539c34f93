#include "json/json_document.h"

#include <algorithm>
#include <boost/json/basic_parser.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <limits>
#include <utility>

#include "json/json_parser.h"

namespace norvessa {

namespace bj = boost::json;

// Appends a node per value as the parser reports it; containers still
// open sit on a stack of node indexes.
class JsonDocument::Builder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  Builder(JsonDocument& doc, std::size_t max_values)
      : doc_(doc), max_values_(max_values) {}

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }

  bool on_array_begin(bj::error_code& ec) { return Open(JsonKind::kArray, ec); }
  bool on_array_end(std::size_t n, bj::error_code&) { return Close(n); }
  bool on_object_begin(bj::error_code& ec) {
    return Open(JsonKind::kObject, ec);
  }
  bool on_object_end(std::size_t n, bj::error_code&) { return Close(n); }

  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code&) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    key_ = piece_start_;
    key_size_ = static_cast<std::uint32_t>(doc_.arena_.size()) - piece_start_;
    in_piece_ = false;
    return true;
  }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code& ec) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    return Scalar(JsonKind::kString, ec);
  }
  bool on_number_part(bj::string_view s, bj::error_code&) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t, bj::string_view s, bj::error_code& ec) {
    return Number(s, ec);
  }
  bool on_uint64(std::uint64_t, bj::string_view s, bj::error_code& ec) {
    return Number(s, ec);
  }
  bool on_double(double, bj::string_view s, bj::error_code& ec) {
    return Number(s, ec);
  }
  bool on_bool(bool b, bj::error_code& ec) {
    return Scalar(b ? JsonKind::kTrue : JsonKind::kFalse, ec);
  }
  bool on_null(bj::error_code& ec) { return Scalar(JsonKind::kNull, ec); }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }

 private:
  // The text of a string, key or number may come in several pieces.
  void StartPiece() {
    if (in_piece_) return;
    in_piece_ = true;
    piece_start_ = static_cast<std::uint32_t>(doc_.arena_.size());
  }

  bool Number(bj::string_view s, bj::error_code& ec) {
    StartPiece();
    doc_.arena_.append(s.data(), s.size());
    return Scalar(JsonKind::kNumber, ec);
  }

  // A new node for the value just read, under the pending key.
  bool Add(JsonKind kind, bj::error_code& ec) {
    if (doc_.nodes_.size() >= max_values_) {
      ec = bj::error::exception;
      return false;
    }
    Node& node = doc_.nodes_.emplace_back();
    node.kind = kind;
    node.key = key_;
    node.key_size = key_size_;
    key_ = 0;
    key_size_ = 0;
    node.end = static_cast<std::uint32_t>(doc_.nodes_.size());
    return true;
  }

  bool Scalar(JsonKind kind, bj::error_code& ec) {
    const bool has_text = in_piece_;
    const std::uint32_t start = piece_start_;
    in_piece_ = false;
    if (!Add(kind, ec)) return false;
    if (has_text) {
      Node& node = doc_.nodes_.back();
      node.text = start;
      node.text_size = static_cast<std::uint32_t>(doc_.arena_.size()) - start;
    }
    return true;
  }

  bool Open(JsonKind kind, bj::error_code& ec) {
    if (!Add(kind, ec)) return false;
    open_.push_back(static_cast<std::uint32_t>(doc_.nodes_.size() - 1));
    return true;
  }

  bool Close(std::size_t count) {
    Node& node = doc_.nodes_[open_.back()];
    open_.pop_back();
    node.count = static_cast<std::uint32_t>(count);
    node.end = static_cast<std::uint32_t>(doc_.nodes_.size());
    return true;
  }

  JsonDocument& doc_;
  const std::size_t max_values_;
  std::vector<std::uint32_t> open_;
  bool in_piece_ = false;
  std::uint32_t piece_start_ = 0;
  std::uint32_t key_ = 0;
  std::uint32_t key_size_ = 0;
};

std::optional<JsonDocument> JsonDocument::Parse(std::string_view text,
                                                std::size_t max_values) {
  // Offsets are 32-bit; no body comes near that.
  if (text.size() >= std::numeric_limits<std::uint32_t>::max()) {
    return std::nullopt;
  }
  JsonDocument doc;
  // Every value but the first of a container follows a comma, so this
  // bounds the nodes: one allocation, never a copy while growing. The text
  // of the values is never longer than the document's.
  std::size_t bound = 1;
  for (char c : text) bound += c == ',' || c == '[' || c == '{';
  doc.nodes_.reserve(std::min(bound, max_values));
  doc.arena_.reserve(text.size());
  bj::parse_options options;
  options.max_depth = kMaxJsonDepth;
  bj::basic_parser<Builder> parser(options, doc, max_values);
  bj::error_code ec;
  const std::size_t used =
      parser.write_some(false, text.data(), text.size(), ec);
  if (ec || used != text.size() || !parser.done()) return std::nullopt;
  return doc;
}

JsonDocument::Children JsonDocument::Value::children() const {
  const bool container = IsArray() || IsObject();
  return Children(doc_, container ? index_ + 1 : node().end, node().end);
}

std::optional<JsonDocument::Value> JsonDocument::Value::Find(
    std::string_view key) const {
  if (!IsObject()) return std::nullopt;
  for (const Value member : children()) {
    if (member.key() == key) return member;
  }
  return std::nullopt;
}

JsonValue JsonDocument::Value::ToJsonValue() const {
  switch (kind()) {
    case JsonKind::kNull:
      return JsonValue::Null();
    case JsonKind::kFalse:
      return JsonValue::Bool(false);
    case JsonKind::kTrue:
      return JsonValue::Bool(true);
    case JsonKind::kNumber:
      return JsonValue::Number(std::string(text()));
    case JsonKind::kString:
      return JsonValue::String(std::string(text()));
    case JsonKind::kArray: {
      JsonValue array = JsonValue::Array();
      array.elements().reserve(size());
      for (const Value element : children()) array.Add(element.ToJsonValue());
      return array;
    }
    case JsonKind::kObject: {
      JsonValue object = JsonValue::Object();
      object.members().reserve(size());
      for (const Value member : children()) {
        object.AddPair(std::string(member.key()), member.ToJsonValue());
      }
      return object;
    }
  }
  return JsonValue::Null();
}

}  // namespace norvessa
