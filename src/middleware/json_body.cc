#include "middleware/json_body.h"

#include <mutex>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/method_type.h"
#include "json/json_document.h"
#include "text/utf8.h"

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
  if (!response.HasContent()) return;
  // A content object given as its text is written already.
  response.WriteContent();
  response.RawWebResponse().content_type =
      "application/json; charset=" + JsonBodyCharset();
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
    // Parsed once, here: the handlers load this document. The body bytes
    // are read in place unless they must be made valid UTF-8 first, as
    // Body() does.
    const std::string& bytes = request.RawWebRequest().body;
    request.Body(IsValidUtf8(bytes) ? JsonDocument::Parse(bytes)
                                    : JsonDocument::Parse(request.Body()));
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
