#include "middleware/json_body.h"

#include <mutex>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/method_type.h"
#include "json/json_parser.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

// The content type follows the one charset of the process; it is set while
// middleware is registered and read by every request afterwards.
std::mutex& ContentTypeMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& ContentTypeValue() {
  static std::string value = "application/json; charset=UTF-8";
  return value;
}

std::string JsonContentType() {
  std::lock_guard lock(ContentTypeMutex());
  return ContentTypeValue();
}

void WriteContent(ApiResponse& response) {
  const JsonValue* content = response.Content();
  if (content == nullptr) return;
  RawResponse& raw = response.RawWebResponse();
  raw.content = ToJsonText(*content);
  raw.content_type = JsonContentType();
}

}  // namespace

ApiCallback JsonBody() { return JsonBody("UTF-8"); }

ApiCallback JsonBody(std::string_view charset) {
  {
    std::lock_guard lock(ContentTypeMutex());
    ContentTypeValue() = "application/json; charset=" + std::string(charset);
  }
  return JsonBodyMiddleware;
}

std::string JsonBodyCharset() {
  const std::string type = JsonContentType();
  return type.substr(type.find('=') + 1);
}

void JsonBodyMiddleware(ApiRequest& request, ApiResponse& response,
                        const std::function<void()>& next) {
  const MethodType method = request.MethodType();
  if ((method == MethodType::kPut || method == MethodType::kPost ||
       method == MethodType::kPatch) &&
      request.Headers("Content-Type") == "application/json") {
    request.Body(ParseJson(request.Body()));
  }
  try {
    next();
  } catch (...) {
    WriteContent(response);
    throw;
  }
  WriteContent(response);
}

}  // namespace norvessa
