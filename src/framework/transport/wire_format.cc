#include "framework/transport/wire_format.h"

#include <string_view>
#include <utility>

#include "framework/charset.h"
#include "framework/http_status.h"
#include "framework/url_decode.h"
#include "text/ascii.h"

namespace norvessa::transport {
namespace {

constexpr std::string_view kDefaultContentType = "text/html; charset=utf-8";

// The method overrides apply to POST only, the first one present winning.
constexpr std::string_view kOverrideHeaders[] = {
    "X-HTTP-Method-Override", "X-HTTP-Method", "X-METHOD-OVERRIDE"};

bool IsTokenChar(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
      (c >= 'A' && c <= 'Z')) {
    return true;
  }
  return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// A header name must be a token: anything else (a line break, a colon, a
// blank) would end the name early or start a header of its own.
bool IsToken(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

}  // namespace

RawRequest ToRawRequest(const boost::beast::http::request_header<>& header,
                        std::string body) {
  RawRequest raw;
  raw.method = AsciiUpper(std::string_view(header.method_string()));
  raw.version = "HTTP/" + std::to_string(header.version() / 10) + "." +
                std::to_string(header.version() % 10);
  const std::string_view target = header.target();
  const std::size_t q = target.find('?');
  raw.raw_path = std::string(target.substr(0, q));
  if (q != std::string_view::npos) {
    raw.query = std::string(target.substr(q + 1));
  }
  raw.path_info = DecodePathLenient(raw.raw_path);
  for (const auto& field : header) {
    raw.headers.emplace_back(std::string(field.name_string()),
                             std::string(field.value()));
  }
  if (raw.method == "POST") {
    for (std::string_view name : kOverrideHeaders) {
      const std::string_view value = raw.Header(name);
      if (!value.empty()) {
        raw.method = AsciiUpper(TrimBlanks(value));
        break;
      }
    }
  }
  raw.body = std::move(body);
  return raw;
}

std::string Serialize(RawResponse& raw, bool head_request) {
  int code = raw.status_code;
  if (code < 100 || code > 999) {
    code = ToInteger(HTTPStatus::kInternalServerError);
  }
  const bool bodiless_status = code < 200 || code == 204 || code == 304;
  const std::string_view reason = ReasonPhrase(code);

  std::string body;
  if (raw.content_stream) {
    body = std::move(*raw.content_stream);
  } else if (raw.content) {
    body = EncodeText(*raw.content, CharsetFromContentType(raw.content_type));
  }
  if (body.empty() && !head_request && !bodiless_status) {
    body = "<HTML><BODY><B>" + std::to_string(code) + " " +
           std::string(reason) + "</B></BODY></HTML>";
  }
  std::string content_type = std::move(raw.content_type);
  if (!body.empty() && content_type.empty()) {
    content_type = std::string(kDefaultContentType);
  }

  std::string out;
  out.reserve(body.size() + 256);
  out += "HTTP/1.1 ";
  out += std::to_string(code);
  out += ' ';
  out += reason;
  out += "\r\n";
  const auto header = [&out](std::string_view name, std::string_view value) {
    if (value.empty()) return;
    out += name;
    out += ": ";
    // A line break inside a value would start a header of its own.
    for (char c : value) out += (c == '\r' || c == '\n') ? ' ' : c;
    out += "\r\n";
  };
  header("Content-Type", content_type);
  header("Content-Encoding", raw.content_encoding);
  header("Server", raw.server);
  header("Allow", raw.allow);
  header("Location", raw.location);
  header("Content-Version", raw.content_version);
  for (const auto& [name, value] : raw.custom_headers) {
    if (IsToken(name)) header(name, value);
  }
  header("Connection", "close");
  if (!bodiless_status || code == 304) {
    header("Content-Length", std::to_string(body.size()));
  }
  out += "\r\n";
  if (!bodiless_status && !head_request) out += body;
  return out;
}

}  // namespace norvessa::transport
