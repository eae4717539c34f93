#include "framework/api_request.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "framework/api_exception.h"
#include "framework/api_response.h"
#include "framework/http_status.h"
#include "framework/mime_types.h"
#include "json/json_text.h"

namespace norvessa {
namespace {

std::map<std::string, std::string> AsMap(const ApiDictionary& d) {
  return {d.begin(), d.end()};
}

TEST(ApiRequestTest, QueryIsSplitDecodedAndKeyed) {
  struct Case {
    const char* query;
    std::map<std::string, std::string> pairs;
  };
  const Case cases[] = {
      {"limit=10&page=2", {{"limit", "10"}, {"page", "2"}}},
      {"a=b=c", {{"a", "b=c"}}},
      {"x", {{"", "x"}}},
      {"&&a=1&", {{"a", "1"}}},
      {"q=caf%C3%A9+latte", {{"q", "caf\xC3\xA9 latte"}}},
      {"a%3Db=c", {{"a", "b=c"}}},  // decoded before it is split
      {"p=100%%", {{"p", "100%"}}},
      {" a = 1 ", {{" a ", " 1 "}}},  // nothing is trimmed
      {"", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    RawRequest raw;
    raw.query = c.query;
    ApiRequest req(raw);
    EXPECT_EQ(AsMap(req.Query()), c.pairs);
  }
}

TEST(ApiRequestTest, QueryErrorsKeepWhatWasBuiltBefore) {
  struct Case {
    const char* query;
    const char* message;
    std::map<std::string, std::string> kept;
  };
  const Case cases[] = {
      {"a=1&a=2", "Duplicates not allowed", {{"a", "1"}}},
      {"a=1&b=%G1",
       "Invalid URL encoded character (G1) at position 2",
       {{"a", "1"}}},
      {"b=%4",
       "Error decoding URL style (%XX) encoded string at position 2",
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    RawRequest raw;
    raw.query = c.query;
    ApiRequest req(raw);
    try {
      req.Query();
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
    EXPECT_EQ(AsMap(req.Query()), c.kept);  // no error the second time
  }
}

TEST(ApiRequestTest, BodyTextFollowsTheCharsetRules) {
  struct Case {
    const char* content_type;
    std::string body;
    std::string text;
  };
  const Case cases[] = {
      {"application/json", "{\"n\":\"caf\xC3\xA9\"}",
       "{\"n\":\"caf\xC3\xA9\"}"},
      {"", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"text/plain; charset=ISO-8859-1", "caf\xE9", "caf\xC3\xA9"},
      {"text/plain; charset=ansi", "\x80", "\xE2\x82\xAC"},
      {"text/plain; charset=windows-1252", "caf\xC3\xA9", "caf\xC3\xA9"},
      {"text/plain; charset=us-ascii", "caf\xE9", "caf?"},
      // Without "charset" the names mean nothing.
      {"text/iso-8859-1", "caf\xE9", "caf\xEF\xBF\xBD"},
      {"application/json",
       "a\xFF"
       "b",
       "a\xEF\xBF\xBD"
       "b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content_type);
    RawRequest raw;
    if (*c.content_type)
      raw.headers.emplace_back("Content-Type", c.content_type);
    raw.body = c.body;
    ApiRequest req(raw);
    EXPECT_EQ(req.Body(), c.text);
  }
}

TEST(ApiRequestTest, HeadersCookiesAndFormFields) {
  RawRequest raw;
  raw.method = "POST";
  raw.headers = {{"X-Paginate", "true"},
                 {"x-paginate", "false"},
                 {"Cookie", "a=1; b=2=3;; c"},
                 {"Content-Type", "Application/X-WWW-Form-Urlencoded"}};
  raw.body = "Nome=Jo%C3%A3o+Silva&nome=Maria&x";
  ApiRequest req(raw);

  EXPECT_EQ(req.Headers("x-PAGINATE"), "true");  // the first one wins
  EXPECT_EQ(req.Headers("X-Missing"), "");
  EXPECT_EQ(req.MethodType(), MethodType::kPost);
  EXPECT_EQ(AsMap(req.Cookie()), (std::map<std::string, std::string>{
                                     {"a", "1"}, {"b", "2"}, {"c", ""}}));
  EXPECT_EQ(AsMap(req.ContentFields()),
            (std::map<std::string, std::string>{{"nome", "Maria"}, {"x", ""}}));

  RawRequest multipart;
  multipart.headers = {{"Content-Type", "multipart/form-data; boundary=x"}};
  multipart.body = "a=1";
  ApiRequest mreq(multipart);
  EXPECT_TRUE(mreq.ContentFields().empty());
}

TEST(ApiRequestTest, MethodTypeComesFromTheExactToken) {
  const std::pair<const char*, MethodType> cases[] = {
      {"GET", MethodType::kGet},       {"PUT", MethodType::kPut},
      {"POST", MethodType::kPost},     {"HEAD", MethodType::kHead},
      {"DELETE", MethodType::kDelete}, {"PATCH", MethodType::kPatch},
      {"OPTIONS", MethodType::kAny},   {"get", MethodType::kAny},
  };
  for (const auto& [token, type] : cases) {
    RawRequest raw;
    raw.method = token;
    EXPECT_EQ(ApiRequest(raw).MethodType(), type) << token;
  }
}

TEST(ApiResponseTest, StartsAt200AndKeepsTextObjectAndStatusApart) {
  RawResponse raw;
  raw.status_code = 0;
  ApiResponse res(raw);
  EXPECT_EQ(res.Status(), 200);
  EXPECT_EQ(res.Content(), nullptr);
  EXPECT_FALSE(raw.content.has_value());
  EXPECT_EQ(raw.ContentLength(), -1);
  EXPECT_EQ(raw.content_type, "");

  res.Send("one").Send("two");
  EXPECT_EQ(raw.content, "two");
  res.Send(JsonValue::Array()).Status(HTTPStatus::kCreated);
  ASSERT_NE(res.Content(), nullptr);
  EXPECT_TRUE(res.Content()->IsArray());
  EXPECT_EQ(res.Status(), 201);
  EXPECT_EQ(raw.content, "two");
}

// An object is rendered once, when first needed as text; one given as its
// text is parsed once, when first needed as an object, and never rendered.
TEST(ApiResponseTest, TheBodyIsRenderedOrParsedOnce) {
  RawResponse raw;
  ApiResponse res(raw);
  res.Send("Internal Application Error");
  res.Send(JsonValue::Array().Add(JsonValue::String("caf\xC3\xA9")));
  EXPECT_FALSE(res.ContentWritten());
  EXPECT_EQ(raw.content, "Internal Application Error");
  res.WriteContent();
  EXPECT_TRUE(res.ContentWritten());
  EXPECT_EQ(raw.content, R"(["caf\u00E9"])");
  raw.content = "untouched";  // a second write must not render again
  res.WriteContent();
  EXPECT_EQ(raw.content, "untouched");
  ASSERT_NE(res.Content(), nullptr);
  EXPECT_TRUE(res.Content()->IsArray());

  // Written as given (1.50 stays 1.50), read once, still written.
  res.SendJsonText(R"({"v":1.50,"s":"S\u00E3o"})");
  const JsonValue* object = res.Content();
  ASSERT_NE(object, nullptr);
  EXPECT_EQ(res.Content(), object);
  EXPECT_EQ(ToJsonText(*object), R"({"v":1.50,"s":"S\u00E3o"})");
  EXPECT_TRUE(res.ContentWritten());
  res.WriteContent();
  EXPECT_EQ(raw.content, R"({"v":1.50,"s":"S\u00E3o"})");

  // A text sent afterwards replaces the raw text, not the object, which
  // is written again on request.
  res.Send("plain");
  EXPECT_EQ(raw.content, "plain");
  EXPECT_FALSE(res.ContentWritten());
  res.WriteContent();
  EXPECT_EQ(raw.content, R"({"v":1.50,"s":"S\u00E3o"})");
}

// The text leaves for the content stream without a copy being rendered
// again: taken from the raw content when written there, else made now.
TEST(ApiResponseTest, ReleasingTheJsonTextLeavesNoContent) {
  struct Case {
    const char* name;
    std::function<void(ApiResponse&)> send;
    std::string text;
    std::optional<std::string> raw_after;
  };
  const Case cases[] = {
      {"given as text", [](ApiResponse& res) { res.SendJsonText("[1.50]"); },
       "[1.50]", ""},
      {"written object",
       [](ApiResponse& res) {
         res.Send(JsonValue::Array().Add(JsonValue::Bool(true)));
         res.WriteContent();
       },
       "[true]", ""},
      {"object not written",
       [](ApiResponse& res) { res.Send("before").Send(JsonValue::Null()); },
       "null", "before"},
      {"object sent over its text",
       [](ApiResponse& res) { res.SendJsonText("[1]").Send("after"); }, "[1]",
       "after"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawResponse raw;
    ApiResponse res(raw);
    c.send(res);
    EXPECT_EQ(res.ReleaseJsonText(), c.text);
    EXPECT_EQ(raw.content, c.raw_after);
    EXPECT_FALSE(res.HasContent());
    EXPECT_EQ(res.Content(), nullptr);
  }
}

TEST(CommonsTest, EnumerationsMatchTheirCodesAndTexts) {
  EXPECT_EQ(ToInteger(HTTPStatus::kImateapot), 418);
  EXPECT_EQ(ToInteger(HTTPStatus::kNetworkConnectTimeoutError), 599);
  EXPECT_EQ(sizeof(HTTPStatus), 2u);
  EXPECT_EQ(ToString(MimeTypes::kApplicationJSON), "application/json");
  EXPECT_EQ(ToString(MimeTypes::kImageGIF), "image/gif");
  EXPECT_EQ(ToString(MessageType::kWarning), "Warning");

  const ApiException plain("only text");
  EXPECT_STREQ(plain.what(), "");
  EXPECT_EQ(plain.error(), "only text");
  EXPECT_EQ(plain.status(), HTTPStatus::kBadRequest);
  EXPECT_EQ(plain.code(), 0);
  EXPECT_EQ(plain.type(), MessageType::kDefault);
}

}  // namespace
}  // namespace norvessa
