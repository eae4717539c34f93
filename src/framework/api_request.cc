#include "framework/api_request.h"

#include <utility>

#include "framework/charset.h"
#include "framework/url_decode.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

// Calls `piece` for every non-empty stretch of `text` between separators.
template <typename Fn>
void ForEachPiece(std::string_view text, char separator, Fn piece) {
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) piece(text.substr(start, end - start));
    start = end + 1;
  }
}

}  // namespace

std::string ApiRequest::Body() const {
  return DecodeText(raw_.body,
                    CharsetFromContentType(raw_.Header("Content-Type")));
}

ApiRequest& ApiRequest::Body(std::optional<JsonDocument> document) {
  body_ = std::move(document);
  body_parsed_ = true;
  return *this;
}

const ApiDictionary& ApiRequest::Query() {
  if (query_) return *query_;
  query_.emplace();
  // Each piece is decoded as a whole before it is split at its first "=",
  // so an escaped "=" in a key splits too.
  ForEachPiece(raw_.query, '&', [this](std::string_view piece) {
    const std::string decoded = UrlDecode(piece);
    const std::size_t eq = decoded.find('=');
    if (eq == std::string::npos) {
      query_->Add(std::string(), decoded);
    } else {
      query_->Add(decoded.substr(0, eq), decoded.substr(eq + 1));
    }
  });
  return *query_;
}

const ApiDictionary& ApiRequest::ContentFields() {
  if (content_fields_) return *content_fields_;
  content_fields_.emplace();
  // Only url-encoded forms are parsed; a multipart body gives no fields.
  if (!StartsWithIgnoreCase(raw_.Header("Content-Type"),
                            "application/x-www-form-urlencoded")) {
    return *content_fields_;
  }
  ForEachPiece(raw_.body, '&', [this](std::string_view piece) {
    const std::size_t eq = piece.find('=');
    std::string_view key = piece.substr(0, eq);
    std::string_view value = eq == std::string_view::npos
                                 ? std::string_view()
                                 : piece.substr(eq + 1);
    content_fields_->AddOrSetValue(AsciiLower(UrlDecode(key)),
                                   UrlDecode(value));
  });
  return *content_fields_;
}

const ApiDictionary& ApiRequest::Cookie() {
  if (cookie_) return *cookie_;
  cookie_.emplace();
  for (const auto& [name, value] : raw_.headers) {
    if (!EqualsIgnoreCase(name, "Cookie")) continue;
    ForEachPiece(value, ';', [this](std::string_view field) {
      field = TrimBlanks(field);
      if (field.empty()) return;
      const std::size_t eq = field.find('=');
      std::string_view key = field.substr(0, eq);
      std::string_view val;
      if (eq != std::string_view::npos) {
        val = field.substr(eq + 1);
        val = val.substr(0, val.find('='));
      }
      cookie_->Add(std::string(key), std::string(val));
    });
  }
  return *cookie_;
}

}  // namespace norvessa
