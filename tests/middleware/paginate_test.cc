#include "middleware/paginate.h"

#include <gtest/gtest.h>

#include <string>

#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "json/json_text.h"
#include "middleware/json_body.h"

namespace norvessa {
namespace {

JsonValue Rows(int n) {
  JsonValue rows = JsonValue::Array();
  for (int i = 1; i <= n; ++i) rows.Add(JsonValue::Number(i));
  return rows;
}

std::string Numbers(int from, int to) {
  std::string s;
  for (int i = from; i <= to; ++i)
    s += (i > from ? "," : "") + std::to_string(i);
  return s;
}

RawResponse Exchange(const std::string& paginate, const std::string& query,
                     JsonValue content, int status = 200) {
  ApiCore core;
  core.Use(Paginate()).Use(JsonBody());
  core.Get("/x",
           [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
             res.Send(content).Status(status);
           });
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/x";
  raw.query = query;
  if (!paginate.empty()) raw.headers.emplace_back("X-Paginate", paginate);
  RawResponse out;
  DispatchRequest(core, raw, out);
  return out;
}

TEST(PaginateTest, PagesByTheDesignsArithmetic) {
  struct Case {
    const char* paginate;
    const char* query;
    int rows;
    std::string body;  // "" means: unchanged
  };
  const Case cases[] = {
      {"", "", 60, ""},
      {"True", "", 60, ""},
      {"1", "", 60, ""},
      {"true", "", 60,
       R"({"docs":[)" + Numbers(1, 25) +
           R"(],"total":60,"limit":25,"page":1,"pages":3})"},
      {"true", "page=3", 60,
       R"({"docs":[)" + Numbers(51, 60) +
           R"(],"total":60,"limit":25,"page":3,"pages":3})"},
      {"true", "page=4", 60,
       R"({"docs":[],"total":60,"limit":25,"page":4,"pages":3})"},
      {"true", "limit=60", 60,
       R"({"docs":[)" + Numbers(1, 60) +
           R"(],"total":60,"limit":60,"page":1,"pages":1})"},
      {"true", "limit=7&page=9", 60,
       R"({"docs":[57,58,59,60],"total":60,"limit":7,"page":9,"pages":9})"},
      {"true", "", 0, R"({"docs":[],"total":0,"limit":25,"page":1,"pages":0})"},
      {"true", "limit=-7", 60,
       R"({"docs":[],"total":60,"limit":-7,"page":1,"pages":-7})"},
      {"true", "limit=0", 60, ""},
      {"true", "limit=abc", 60, ""},
      {"true", "page=0", 60, ""},
      {"true", "page=-1", 60, ""},
      {"true", "limit=99999999999", 60, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.paginate) + " ?" + c.query);
    const RawResponse out = Exchange(c.paginate, c.query, Rows(c.rows), 201);
    if (c.body.empty()) {
      EXPECT_EQ(*out.content, ToJsonText(Rows(c.rows)));
      EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
    } else {
      EXPECT_EQ(*out.content, c.body);
      EXPECT_EQ(out.content_type, "application/json");
    }
    EXPECT_EQ(out.status_code, 201);
  }
}

TEST(PaginateTest, ResultArraysArePagedAndObjectsAreNot) {
  const JsonValue result =
      JsonValue::Array()
          .Add(JsonValue::String("Result"))
          .Add(JsonValue::String("Nenhum Registro Encontrado!"));
  EXPECT_EQ(
      *Exchange("true", "", result).content,
      R"({"docs":["Result","Nenhum Registro Encontrado!"],"total":2,"limit":25,"page":1,"pages":1})");
  const JsonValue object =
      JsonValue::Object().AddPair("Result", JsonValue::String("Sem Estado!"));
  EXPECT_EQ(*Exchange("true", "", object).content,
            R"({"Result":"Sem Estado!"})");
}

TEST(PaginateTest, AMalformedQueryFailsTheRequest) {
  for (const char* query : {"page=1&page=2", "limit=%zz"}) {
    const RawResponse out = Exchange("true", query, Rows(3));
    EXPECT_EQ(out.status_code, 500) << query;
    EXPECT_EQ(out.content_type, "text/html; charset=utf-8") << query;
  }
}

}  // namespace
}  // namespace norvessa
