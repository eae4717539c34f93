#include "framework/dispatch_bridge.h"

#include <chrono>
#include <exception>

#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/error_log.h"
#include "framework/http_status.h"

namespace norvessa {
namespace {

void AppendHtmlEscaped(std::string& out, std::string_view s) {
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
}

// The message of the exception being handled.
std::string CurrentMessage() {
  try {
    throw;
  } catch (const ApiException& e) {
    return e.error();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace

std::string ErrorPage(std::string_view message, std::string_view path) {
  std::string page =
      "<!DOCTYPE html>\n"
      "<html lang=\"en\">\n"
      "<head>\n"
      "<meta charset=\"utf-8\">\n"
      "<title>Error 500: Internal Server Error</title>\n"
      "<style>\n"
      "body{margin:0;min-height:100vh;display:flex;align-items:center;"
      "justify-content:center;background:#F5F5F5;font-family:sans-serif;"
      "text-align:center}\n"
      "h1{font-size:6em;margin:0}\n"
      ".message{color:#9e9e9e}\n"
      ".path{color:#bdbdbd;font-size:0.8em}\n"
      "</style>\n"
      "</head>\n"
      "<body>\n"
      "<div>\n"
      "<h1>5\xF0\x9F\x94\xA5\xF0\x9F\x99\x80</h1>\n"
      "<p>\xF0\x9F\x92\xA5 Internal Server Error \xF0\x9F\x92\xA5</p>\n"
      "<p class=\"message\">";
  AppendHtmlEscaped(page, message);
  page += "</p>\n<p class=\"path\">";
  AppendHtmlEscaped(page, path);
  page += "</p>\n</div>\n</body>\n</html>\n";
  return page;
}

void DispatchRequest(const ApiCore& core, const RawRequest& raw_request,
                     RawResponse& raw_response, RequestMetrics* metrics) {
  const auto start = std::chrono::steady_clock::now();
  if (metrics != nullptr) metrics->in_chain.fetch_add(1);
  ApiRequest request(raw_request);
  ApiResponse response(raw_response);
  try {
    try {
      core.Execute(request, response);
    } catch (const ApiCallbackInterrupted&) {
      // Ends the exchange quietly, with the response as the chain left it.
    }
  } catch (...) {
    const std::string message = CurrentMessage();
    LogCause(raw_request.method, raw_request.raw_path, message);
    raw_response.content_stream.reset();
    raw_response.content_encoding.clear();
    raw_response.content = ErrorPage(message, raw_request.path_info);
    raw_response.content_type = "text/html; charset=utf-8";
    raw_response.status_code = ToInteger(HTTPStatus::kInternalServerError);
  }
  if (metrics != nullptr) {
    metrics->Record(request.RoutePattern(), raw_request.method,
                    raw_response.status_code,
                    std::chrono::steady_clock::now() - start);
    metrics->in_chain.fetch_sub(1);
  }
}

}  // namespace norvessa
