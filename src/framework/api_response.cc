#include "framework/api_response.h"

#include <utility>

namespace norvessa {

ApiResponse::ApiResponse(RawResponse& raw) : raw_(raw) {
  raw_.status_code = ToInteger(HTTPStatus::kOK);
}

ApiResponse& ApiResponse::Send(std::string text) {
  ++generation_;
  raw_.content = std::move(text);
  return *this;
}

ApiResponse& ApiResponse::Send(JsonValue object) {
  ++generation_;
  content_ = std::move(object);
  return *this;
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
  return *this;
}

std::optional<JsonValue> ApiResponse::TakeContent() {
  ++generation_;
  std::optional<JsonValue> out = std::move(content_);
  content_.reset();
  return out;
}

}  // namespace norvessa
