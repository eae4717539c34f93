#include "framework/api_response.h"

#include <utility>

#include "json/json_parser.h"
#include "json/json_text.h"

namespace norvessa {

ApiResponse::ApiResponse(RawResponse& raw) : raw_(raw) {
  raw_.status_code = ToInteger(HTTPStatus::kOK);
}

JsonValue& ApiResponse::ReadObject(JsonText& written) {
  if (!written.object) {
    std::optional<JsonValue> value =
        raw_.content ? ParseJson(*raw_.content) : std::nullopt;
    written.object = value ? std::move(*value) : JsonValue::Null();
  }
  return *written.object;
}

ApiResponse& ApiResponse::Send(std::string text) {
  // The content object outlives the text it was given as.
  if (auto* written = std::get_if<JsonText>(&body_)) {
    JsonValue object = std::move(ReadObject(*written));
    body_ = std::move(object);
  }
  raw_.content = std::move(text);
  return *this;
}

ApiResponse& ApiResponse::Send(JsonValue object) {
  body_ = std::move(object);
  return *this;
}

ApiResponse& ApiResponse::SendJsonText(std::string json_text) {
  raw_.content = std::move(json_text);
  body_ = JsonText{};
  return *this;
}

const JsonValue* ApiResponse::Content() {
  if (auto* object = std::get_if<JsonValue>(&body_)) return object;
  if (auto* written = std::get_if<JsonText>(&body_)) {
    return &ReadObject(*written);
  }
  return nullptr;
}

std::optional<JsonValue> ApiResponse::TakeContent() {
  std::optional<JsonValue> out;
  if (auto* object = std::get_if<JsonValue>(&body_)) {
    out = std::move(*object);
  } else if (auto* written = std::get_if<JsonText>(&body_)) {
    out = std::move(ReadObject(*written));
  }
  body_ = Text{};
  return out;
}

void ApiResponse::WriteContent() {
  auto* object = std::get_if<JsonValue>(&body_);
  if (object == nullptr) return;
  raw_.content = ToJsonText(*object);
  body_ = JsonText{std::move(*object)};
}

std::string ApiResponse::ReleaseJsonText() {
  std::string text;
  if (auto* object = std::get_if<JsonValue>(&body_)) {
    text = ToJsonText(*object);
  } else if (std::holds_alternative<JsonText>(body_) && raw_.content) {
    text = std::move(*raw_.content);
    raw_.content = std::string();
  }
  body_ = Text{};
  return text;
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
  if (object) {
    body_ = std::move(*object);
  } else {
    body_ = Text{};
  }
  return *this;
}

}  // namespace norvessa
