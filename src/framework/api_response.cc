#include "framework/api_response.h"

#include <utility>

#include "json/json_parser.h"

namespace norvessa {

ApiResponse::ApiResponse(RawResponse& raw) : raw_(raw) {
  raw_.status_code = ToInteger(HTTPStatus::kOK);
}

ApiResponse& ApiResponse::Send(std::string text) {
  // The content object outlives its text.
  ReadContentText();
  ++generation_;
  raw_.content = std::move(text);
  return *this;
}

ApiResponse& ApiResponse::Send(JsonValue object) {
  ++generation_;
  content_ = std::move(object);
  content_is_text_ = false;
  return *this;
}

ApiResponse& ApiResponse::SendJsonText(std::string json_text) {
  ++generation_;
  content_.reset();
  content_is_text_ = true;
  raw_.content = std::move(json_text);
  written_ = generation_;
  return *this;
}

void ApiResponse::ReadContentText() const {
  if (!content_is_text_) return;
  content_is_text_ = false;
  std::optional<JsonValue> value =
      raw_.content ? ParseJson(*raw_.content) : std::nullopt;
  content_ = value ? std::move(*value) : JsonValue::Null();
}

JsonValue* ApiResponse::Content() {
  ReadContentText();
  return content_ ? &*content_ : nullptr;
}

const JsonValue* ApiResponse::Content() const {
  ReadContentText();
  return content_ ? &*content_ : nullptr;
}

ApiResponse& ApiResponse::Status(HTTPStatus status) {
  raw_.status_code = ToInteger(status);
  return *this;
}

ApiResponse& ApiResponse::Status(int status) {
  raw_.status_code = status;
  return *this;
}

ApiResponse& ApiResponse::ContentType(std::string content_type) {
  raw_.content_type = std::move(content_type);
  return *this;
}

ApiResponse& ApiResponse::Content(std::optional<JsonValue> object) {
  ++generation_;
  content_ = std::move(object);
  content_is_text_ = false;
  return *this;
}

std::optional<JsonValue> ApiResponse::TakeContent() {
  ReadContentText();
  ++generation_;
  std::optional<JsonValue> out = std::move(content_);
  content_.reset();
  return out;
}

}  // namespace norvessa
