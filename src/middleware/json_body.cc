#include "middleware/json_body.h"

#include <mutex>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/method_type.h"
#include "json/json_parser.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

// One charset for the whole process: set while middleware is registered,
// read by every request afterwards.
std::mutex& CharsetMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string& CharsetValue() {
  static std::string value = "UTF-8";
  return value;
}

void WriteContent(ApiResponse& response) {
  const JsonValue* content = response.Content();
  if (content == nullptr) return;
  RawResponse& raw = response.RawWebResponse();
  raw.content = ToJsonText(*content);
  raw.content_type = "application/json; charset=" + JsonBodyCharset();
  response.MarkContentWritten();
}

}  // namespace

ApiCallback JsonBody() { return JsonBody("UTF-8"); }

ApiCallback JsonBody(std::string_view charset) {
  {
    std::lock_guard lock(CharsetMutex());
    CharsetValue() = std::string(charset);
  }
  return JsonBodyMiddleware;
}

std::string JsonBodyCharset() {
  std::lock_guard lock(CharsetMutex());
  return CharsetValue();
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
