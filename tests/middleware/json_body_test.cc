#include "middleware/json_body.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "framework/api_core.h"
#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

using Next = std::function<void()>;

// What the handler saw of the request body.
struct Seen {
  bool ran = false;
  std::optional<std::string> object;  // JSON text of the body object
  std::string text;
};

RawResponse Exchange(const std::string& method, const std::string& type,
                     const std::string& body, Seen& seen,
                     const ApiCallback& answer = {}) {
  ApiCore core;
  core.Use(JsonBody());
  core.RegisterRoute(MethodTypeFromToken(method), "/x",
                     [&](ApiRequest& req, ApiResponse& res, const Next& next) {
                       seen.ran = true;
                       if (const JsonDocument* o = req.BodyObject()) {
                         seen.object = ToJsonText(o->Root().ToJsonValue());
                       }
                       seen.text = req.Body();
                       if (answer) answer(req, res, next);
                     });
  RawRequest raw;
  raw.method = method;
  raw.raw_path = "/x";
  if (!type.empty()) raw.headers.emplace_back("Content-Type", type);
  raw.body = body;
  RawResponse out;
  DispatchRequest(core, raw, out);
  return out;
}

TEST(JsonBodyTest, ParsesOnlyJsonBodiesOfPutPostAndPatch) {
  struct Case {
    const char* method;
    const char* type;
    const char* body;
    std::optional<std::string> object;
  };
  const Case cases[] = {
      {"POST", "application/json", R"({"iduf":"35","v":1.50})",
       R"({"iduf":"35","v":1.50})"},
      {"PUT", "application/json", "[1]", "[1]"},
      {"PATCH", "application/json", "null", "null"},
      {"POST", "application/json", "{bad", std::nullopt},
      {"POST", "application/json; charset=utf-8", "{}", std::nullopt},
      {"POST", "Application/JSON", "{}", std::nullopt},
      {"POST", "text/plain", "{}", std::nullopt},
      {"GET", "application/json", "{}", std::nullopt},
      {"DELETE", "application/json", "{}", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.type + " " + c.body);
    Seen seen;
    Exchange(c.method, c.type, c.body, seen);
    EXPECT_TRUE(seen.ran);
    EXPECT_EQ(seen.object, c.object);
    EXPECT_EQ(seen.text, c.body);  // the text is there either way
  }
}

TEST(JsonBodyTest, WritesContentObjectsAsJsonText) {
  Seen seen;
  const RawResponse out = Exchange(
      "GET", "", "", seen, [](ApiRequest&, ApiResponse& res, const Next&) {
        res.Send(JsonValue::Array()
                     .Add(JsonValue::String("caf\xC3\xA9"))
                     .Add(JsonValue::String("a/b")));
      });
  EXPECT_EQ(out.content, R"(["caf\u00E9","a\/b"])");
  EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
  EXPECT_EQ(out.status_code, 200);
}

// Rows exported straight to text: the text is the answer, with the JSON
// content type, and the object behind it is read only when asked for.
TEST(JsonBodyTest, ContentGivenAsTextIsWrittenAsIs) {
  Seen seen;
  RawResponse out = Exchange(
      "GET", "", "", seen, [](ApiRequest&, ApiResponse& res, const Next&) {
        res.SendJsonText(R"([{"a":1.50,"b":"S\u00E3o"}])");
        EXPECT_TRUE(res.HasContent());
        EXPECT_TRUE(res.ContentWritten());
      });
  EXPECT_EQ(out.content, R"([{"a":1.50,"b":"S\u00E3o"}])");
  EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");

  RawResponse raw;
  ApiResponse res(raw);
  res.SendJsonText(R"({"a":[1.50,true,null]})");
  ASSERT_NE(res.Content(), nullptr);
  EXPECT_EQ(ToJsonText(*res.Content()), R"({"a":[1.50,true,null]})");
  EXPECT_TRUE(res.ContentWritten());
  // A text sent afterwards replaces the raw content, not the object.
  res.Send("plain");
  EXPECT_FALSE(res.ContentWritten());
  ASSERT_NE(res.Content(), nullptr);
  EXPECT_EQ(ToJsonText(*res.Content()), R"({"a":[1.50,true,null]})");
  // A new object replaces the text.
  res.SendJsonText("[1]");
  res.Send(JsonValue::Array());
  EXPECT_FALSE(res.ContentWritten());
  EXPECT_EQ(ToJsonText(*res.Content()), "[]");
  // Read before it was ever asked for, the text still becomes the object.
  res.SendJsonText("[2]");
  res.Send("plain");
  EXPECT_EQ(ToJsonText(*res.TakeContent()), "[2]");
  EXPECT_FALSE(res.HasContent());
}

TEST(JsonBodyTest, LeavesTextAnswersAlone) {
  Seen seen;
  const RawResponse out = Exchange(
      "GET", "", "", seen, [](ApiRequest&, ApiResponse& res, const Next&) {
        res.Send("plain").ContentType("text/plain");
      });
  EXPECT_EQ(out.content, "plain");
  EXPECT_EQ(out.content_type, "text/plain");
}

TEST(JsonBodyTest, WritesTheObjectEvenWhenAnInterruptionPassesThrough) {
  Seen seen;
  const RawResponse out = Exchange(
      "GET", "", "", seen, [](ApiRequest&, ApiResponse& res, const Next&) {
        res.Send(JsonValue::Object().AddPair("a", JsonValue::Number(1)))
            .Status(202);
        throw ApiCallbackInterrupted();
      });
  EXPECT_EQ(out.content, R"({"a":1})");
  EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
  EXPECT_EQ(out.status_code, 202);
}

TEST(JsonBodyTest, TheCharsetIsOneForTheWholeProcess) {
  const ApiCallback first = JsonBody();
  JsonBody("ISO-8859-1");
  EXPECT_EQ(JsonBodyCharset(), "ISO-8859-1");
  Seen seen;
  const RawResponse out = Exchange(
      "GET", "", "", seen, [](ApiRequest&, ApiResponse& res, const Next&) {
        res.Send(JsonValue::Null());
      });
  // Exchange registered JsonBody() again, which sets UTF-8 for everyone.
  EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
  EXPECT_EQ(out.content, "null");
  JsonBody("ISO-8859-1");
  ApiCore core;
  core.Use(first).Get("/", [](ApiRequest&, ApiResponse& res, const Next&) {
    res.Send(JsonValue::Bool(true));
  });
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/";
  RawResponse again;
  DispatchRequest(core, raw, again);
  EXPECT_EQ(again.content_type, "application/json; charset=ISO-8859-1");
  JsonBody();
}

}  // namespace
}  // namespace norvessa
