#ifndef NORVESSA_FRAMEWORK_RAW_HTTP_H_
#define NORVESSA_FRAMEWORK_RAW_HTTP_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace norvessa {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The first header of that name, matched without regard to case, or "".
std::string_view FindHeader(const HeaderList& headers, std::string_view name);

// One request as the transport read it off the wire.
struct RawRequest {
  std::string method;     // upper-cased, after the POST override headers
  std::string version;    // "HTTP/1.1"
  std::string raw_path;   // the target up to the first "?", undecoded
  std::string query;      // the text after the first "?", undecoded
  std::string path_info;  // raw_path percent-decoded
  HeaderList headers;     // in arrival order
  std::string body;       // the raw body bytes
  std::string remote_addr;
  // The client the allow-list judged, when a listed proxy forwarded the
  // request (the right-most address it added that is no proxy); else "".
  std::string forwarded_client;
  std::uint16_t remote_port = 0;
  std::uint16_t local_port = 0;

  std::string_view Header(std::string_view name) const {
    return FindHeader(headers, name);
  }
};

// One response as the transport will write it.
struct RawResponse {
  int status_code = 200;
  // The body as text (UTF-8 inside the service); written in the charset
  // that the content type names. Unset means no text was ever given.
  std::optional<std::string> content;
  // Binary body bytes; when present they are written as they are, in place
  // of the text.
  std::optional<std::string> content_stream;
  std::string content_type;
  std::string content_encoding;
  std::string server;
  std::string allow;
  std::string location;
  std::string realm;
  std::string title;
  std::string content_version;
  HeaderList custom_headers;

  // -1 until a body is set.
  std::int64_t ContentLength() const;
};

}  // namespace norvessa

#endif  // NORVESSA_FRAMEWORK_RAW_HTTP_H_
