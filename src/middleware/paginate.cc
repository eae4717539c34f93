#include "middleware/paginate.h"

#include <charconv>
#include <cstdint>
#include <optional>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "text/ascii.h"

namespace norvessa {
namespace {

// A 32-bit decimal integer, blanks around it allowed.
std::optional<std::int64_t> ParseInt32(std::string_view text) {
  text = TrimBlanks(text);
  if (text.size() > 1 && text.front() == '+' && text[1] != '-') {
    text.remove_prefix(1);
  }
  std::int32_t value = 0;
  const auto [ptr, ec] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || ptr != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The paged object, or nothing when the figures do not allow one.
std::optional<JsonValue> PageOf(const JsonValue& content,
                                const std::string& limit_text,
                                const std::string& page_text) {
  if (!content.IsArray()) return std::nullopt;
  const auto limit = ParseInt32(limit_text);
  const auto page = ParseInt32(page_text);
  if (!limit || !page || *limit == 0) return std::nullopt;
  const auto count = static_cast<std::int64_t>(content.size());
  // Cut toward zero, plus one on a remainder.
  const std::int64_t pages = count / *limit + (count % *limit != 0 ? 1 : 0);
  const std::int64_t first = (*page - 1) * *limit;
  const std::int64_t last = *page * *limit - 1;
  JsonValue docs = JsonValue::Array();
  if (first <= last) {
    if (first < 0) return std::nullopt;
    for (std::int64_t i = first; i <= last && i < count; ++i) {
      docs.Add(content.elements()[static_cast<std::size_t>(i)]);
    }
  }
  JsonValue paged = JsonValue::Object();
  paged.AddPair("docs", std::move(docs))
      .AddPair("total", JsonValue::Number(count))
      .AddPair("limit", JsonValue::Number(*limit))
      .AddPair("page", JsonValue::Number(*page))
      .AddPair("pages", JsonValue::Number(pages));
  return paged;
}

void PageTheAnswer(ApiRequest& request, ApiResponse& response) {
  if (request.Headers("X-Paginate") != "true") return;
  // Outside the silent guard: a malformed query fails the request.
  const ApiDictionary& query = request.Query();
  const std::string* limit = query.Find("limit");
  const std::string* page = query.Find("page");
  const JsonValue* content = response.Content();
  if (content == nullptr) return;
  std::optional<JsonValue> paged;
  try {
    paged = PageOf(*content, limit ? *limit : "25", page ? *page : "1");
  } catch (...) {
    return;
  }
  if (!paged) return;
  response.Send(std::move(*paged)).WriteContent();
  response.RawWebResponse().content_type = "application/json";
}

}  // namespace

ApiCallback Paginate() { return PaginateMiddleware; }

void PaginateMiddleware(ApiRequest& request, ApiResponse& response,
                        const std::function<void()>& next) {
  try {
    next();
  } catch (...) {
    PageTheAnswer(request, response);
    throw;
  }
  PageTheAnswer(request, response);
}

}  // namespace norvessa
