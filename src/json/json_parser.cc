#include "json/json_parser.h"

#include <boost/json/basic_parser.hpp>
#include <boost/json/basic_parser_impl.hpp>
#include <string>
#include <utility>
#include <vector>

namespace norvessa {
namespace {

namespace bj = boost::json;

// Builds JsonValues from the parser's events. Containers in progress sit on
// a stack; each object level remembers the key of the value being read.
class Builder {
 public:
  static constexpr std::size_t max_array_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_object_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);
  static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);

  bool on_document_begin(bj::error_code&) { return true; }
  bool on_document_end(bj::error_code&) { return true; }

  bool on_array_begin(bj::error_code&) {
    stack_.push_back(Level{JsonValue::Array(), {}});
    return true;
  }
  bool on_array_end(std::size_t, bj::error_code&) { return Close(); }
  bool on_object_begin(bj::error_code&) {
    stack_.push_back(Level{JsonValue::Object(), {}});
    return true;
  }
  bool on_object_end(std::size_t, bj::error_code&) { return Close(); }

  bool on_key_part(bj::string_view s, std::size_t, bj::error_code&) {
    pending_.append(s.data(), s.size());
    return true;
  }
  bool on_key(bj::string_view s, std::size_t, bj::error_code&) {
    pending_.append(s.data(), s.size());
    stack_.back().key = std::move(pending_);
    pending_.clear();
    return true;
  }
  bool on_string_part(bj::string_view s, std::size_t, bj::error_code&) {
    pending_.append(s.data(), s.size());
    return true;
  }
  bool on_string(bj::string_view s, std::size_t, bj::error_code&) {
    pending_.append(s.data(), s.size());
    Put(JsonValue::String(TakePending()));
    return true;
  }
  bool on_number_part(bj::string_view s, bj::error_code&) {
    pending_.append(s.data(), s.size());
    return true;
  }
  bool on_int64(std::int64_t, bj::string_view s, bj::error_code&) {
    return OnNumber(s);
  }
  bool on_uint64(std::uint64_t, bj::string_view s, bj::error_code&) {
    return OnNumber(s);
  }
  bool on_double(double, bj::string_view s, bj::error_code&) {
    return OnNumber(s);
  }
  bool on_bool(bool b, bj::error_code&) {
    Put(JsonValue::Bool(b));
    return true;
  }
  bool on_null(bj::error_code&) {
    Put(JsonValue::Null());
    return true;
  }
  bool on_comment_part(bj::string_view, bj::error_code&) { return true; }
  bool on_comment(bj::string_view, bj::error_code&) { return true; }

  JsonValue TakeResult() { return std::move(result_); }

 private:
  struct Level {
    JsonValue value;
    std::string key;
  };

  std::string TakePending() {
    std::string s = std::move(pending_);
    pending_.clear();
    return s;
  }

  bool OnNumber(bj::string_view s) {
    pending_.append(s.data(), s.size());
    Put(JsonValue::Number(TakePending()));
    return true;
  }

  void Put(JsonValue v) {
    if (stack_.empty()) {
      result_ = std::move(v);
      return;
    }
    Level& top = stack_.back();
    if (top.value.IsArray()) {
      top.value.Add(std::move(v));
    } else {
      top.value.AddPair(std::move(top.key), std::move(v));
      top.key.clear();
    }
  }

  bool Close() {
    JsonValue done = std::move(stack_.back().value);
    stack_.pop_back();
    Put(std::move(done));
    return true;
  }

  std::vector<Level> stack_;
  std::string pending_;
  JsonValue result_;
};

}  // namespace

std::optional<JsonValue> ParseJson(std::string_view text) {
  bj::parse_options options;
  options.max_depth = kMaxJsonDepth;
  bj::basic_parser<Builder> parser(options);
  bj::error_code ec;
  const std::size_t used =
      parser.write_some(false, text.data(), text.size(), ec);
  if (ec || used != text.size() || !parser.done()) return std::nullopt;
  return parser.handler().TakeResult();
}

}  // namespace norvessa
