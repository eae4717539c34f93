#include "framework/raw_http.h"

#include "text/ascii.h"

namespace norvessa {

std::string_view FindHeader(const HeaderList& headers, std::string_view name) {
  for (const auto& [key, value] : headers) {
    if (EqualsIgnoreCase(key, name)) {
      return value;
    }
  }
  return {};
}

std::int64_t RawResponse::ContentLength() const {
  if (content_stream) return static_cast<std::int64_t>(content_stream->size());
  if (content) return static_cast<std::int64_t>(content->size());
  return -1;
}

}  // namespace norvessa
