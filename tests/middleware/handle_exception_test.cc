#include "middleware/handle_exception.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "framework/api_core.h"
#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "middleware/json_body.h"

namespace norvessa {
namespace {

using Next = std::function<void()>;

RawResponse Exchange(std::function<void(ApiResponse&)> handler) {
  ApiCore core;
  core.Use(JsonBody()).Use(HandleException);
  core.Get("/x",
           [&](ApiRequest&, ApiResponse& res, const Next&) { handler(res); });
  RawRequest raw;
  raw.method = "GET";
  raw.raw_path = "/x";
  RawResponse out;
  DispatchRequest(core, raw, out);
  return out;
}

TEST(HandleExceptionTest, TurnsErrorsIntoTheErrorObject) {
  struct Case {
    const char* name;
    std::function<void(ApiResponse&)> handler;
    int status;
    const char* body;
  };
  const Case cases[] = {
      {"general error",
       [](ApiResponse&) { throw std::runtime_error("boom \"x\""); }, 500,
       R"({"error":"boom \"x\""})"},
      {"ApiException with only a text",
       [](ApiResponse&) { throw ApiException("campo ausente"); }, 400,
       R"({"error":"campo ausente"})"},
      {"ApiException with every field",
       [](ApiResponse&) {
         throw ApiException("e", HTTPStatus::kNotFound, "T\xC3\xADtulo",
                            "Pedido", 7, MessageType::kWarning);
       },
       404,
       R"({"error":"e","title":"T\u00EDtulo","unit":"Pedido","code":7,"type":"Warning"})"},
      {"blank title and unit are left out, surrounding blanks kept",
       [](ApiResponse&) {
         throw ApiException("e", HTTPStatus::kConflict, " \t ", " u ", -3,
                            MessageType::kError);
       },
       409, R"({"error":"e","unit":" u ","code":-3,"type":"Error"})"},
      {"empty error text",
       [](ApiResponse&) {
         throw ApiException("", HTTPStatus::kBadRequest, "", "", 0,
                            MessageType::kInformation);
       },
       400, R"({"error":"","type":"Information"})"},
      {"nothing raised leaves the answer alone",
       [](ApiResponse& res) { res.Send("fine").Status(201); }, 201, "fine"},
      {"interruption passes through with what the chain set",
       [](ApiResponse& res) {
         res.Send("partial").Status(206);
         throw ApiCallbackInterrupted();
       },
       206, "partial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const RawResponse out = Exchange(c.handler);
    EXPECT_EQ(out.status_code, c.status);
    EXPECT_EQ(out.content.value_or(""), c.body);
  }
}

TEST(HandleExceptionTest, ErrorObjectsAreJsonAnswers) {
  const RawResponse out =
      Exchange([](ApiResponse&) { throw std::runtime_error("x"); });
  EXPECT_EQ(out.content_type, "application/json; charset=UTF-8");
}

TEST(HandleExceptionTest, ExceptionsOutsideTheStandardHierarchyPassOn) {
  const RawResponse out = Exchange([](ApiResponse&) { throw 42; });
  EXPECT_EQ(out.status_code, 500);
  EXPECT_EQ(out.content_type, "text/html; charset=utf-8");
}

TEST(HandleExceptionTest, SendErrorStoresTheObjectThenTheStatus) {
  RawResponse raw;
  ApiResponse res(raw);
  SendError(res, JsonValue::Object(), 418);
  EXPECT_EQ(res.Status(), 418);
  ASSERT_NE(res.Content(), nullptr);
  EXPECT_TRUE(res.Content()->IsObject());
}

}  // namespace
}  // namespace norvessa
