// The middleware chain over real sockets: order of action and final bytes.

#include <gtest/gtest.h>

#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/api_request.h"
#include "framework/api_response.h"
#include "middleware/api_logger_manager.h"
#include "middleware/compression.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "middleware/paginate.h"
#include "support/http_client.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

using Next = std::function<void()>;

class Trace {
 public:
  void Add(std::string step) {
    std::lock_guard lock(mutex_);
    steps_.push_back(std::move(step));
  }
  std::vector<std::string> Take() {
    std::lock_guard lock(mutex_);
    return std::exchange(steps_, {});
  }
  // Wraps a middleware so that entering and leaving it are recorded.
  ApiCallback Around(std::string name, ApiCallback inner) {
    return [this, name, inner](ApiRequest& req, ApiResponse& res,
                               const Next& next) {
      Add(name + ">");
      try {
        inner(req, res, next);
      } catch (...) {
        Add("<" + name + " (raised)");
        throw;
      }
      Add("<" + name);
    };
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> steps_;
};

TEST(MiddlewareChainTest, RunsInRegistrationOrderAndAnswersJson) {
  Trace trace;
  testing::TestServer server;
  const ApiCallback pass = [](ApiRequest&, ApiResponse&, const Next& next) {
    next();
  };
  server.api()
      .Use(trace.Around("outer", pass))
      .Use(trace.Around("json", JsonBody()))
      .Use(trace.Around(
          "errors", [](ApiRequest& req, ApiResponse& res,
                       const Next& next) { HandleException(req, res, next); }))
      .Use(trace.Around("inner", pass))
      .Post("/cidades", [&](ApiRequest& req, ApiResponse& res, const Next&) {
        trace.Add("handler");
        const JsonDocument* body = req.BodyObject();
        if (body == nullptr || !body->Root().Find("iduf")) {
          throw std::runtime_error("sem iduf");
        }
        res.Send(JsonValue::Array().Add(
            JsonValue::Object()
                .AddPair("idcidade", JsonValue::Number(1))
                .AddPair("cidade", JsonValue::String("S\xC3\xA3o Paulo"))));
      });
  server.Start();

  const auto ok = testing::Request(server.port(), "POST", "/cidades",
                                   {{"Content-Type", "application/json"}},
                                   R"({"iduf":"35"})");
  EXPECT_EQ(trace.Take(), (std::vector<std::string>{
                              "outer>", "json>", "errors>", "inner>", "handler",
                              "<inner", "<errors", "<json", "<outer"}));
  EXPECT_EQ(ok.status, 200);
  EXPECT_EQ(ok.Header("Content-Type"), "application/json; charset=UTF-8");
  EXPECT_EQ(ok.body, R"([{"idcidade":1,"cidade":"S\u00E3o Paulo"}])");

  const auto failed =
      testing::Request(server.port(), "POST", "/cidades",
                       {{"Content-Type", "application/json"}}, "{bad");
  EXPECT_EQ(trace.Take(),
            (std::vector<std::string>{"outer>", "json>", "errors>", "inner>",
                                      "handler", "<inner (raised)", "<errors",
                                      "<json", "<outer"}));
  EXPECT_EQ(failed.status, 500);
  EXPECT_EQ(failed.Header("Content-Type"), "application/json; charset=UTF-8");
  EXPECT_EQ(failed.body, R"({"error":"sem iduf"})");

  // The router's own answers pass through the same middleware.
  const auto missing = testing::Request(server.port(), "GET", "/nada");
  EXPECT_EQ(trace.Take(),
            (std::vector<std::string>{"outer>", "json>", "errors>", "inner>",
                                      "<inner", "<errors", "<json", "<outer"}));
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "Not Found");
}

TEST(MiddlewareChainTest, TheServiceOrderOverTheWire) {
  Trace trace;
  ApiLoggerManager logger;
  testing::TestServer server;
  server.api()
      .Use(trace.Around("gzip", Compression(1024)))
      .Use(trace.Around("page", Paginate()))
      .Use(trace.Around("json", JsonBody()))
      .Use(trace.Around(
          "errors", [](ApiRequest& req, ApiResponse& res,
                       const Next& next) { HandleException(req, res, next); }))
      .Use(trace.Around("log", logger.Callback()))
      .Get("/rows", [&](ApiRequest&, ApiResponse& res, const Next&) {
        trace.Add("handler");
        JsonValue rows = JsonValue::Array();
        for (int i = 0; i < 400; ++i) {
          rows.Add(JsonValue::Object().AddPair("id", JsonValue::Number(i)));
        }
        res.Send(std::move(rows));
      });
  server.Start();

  const auto r = testing::Request(
      server.port(), "GET", "/rows?limit=2&page=3",
      {{"X-Paginate", "true"}, {"Accept-Encoding", "identity"}});
  EXPECT_EQ(trace.Take(),
            (std::vector<std::string>{"gzip>", "page>", "json>", "errors>",
                                      "log>", "handler", "<log", "<errors",
                                      "<json", "<page", "<gzip"}));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.Header("Content-Type"), "application/json");
  EXPECT_EQ(
      r.body,
      R"({"docs":[{"id":4},{"id":5}],"total":400,"limit":2,"page":3,"pages":200})");

  // Unpaged, the 400 rows are large enough to be compressed.
  const auto big = testing::Request(server.port(), "GET", "/rows",
                                    {{"Accept-Encoding", "gzip"}});
  EXPECT_EQ(big.Header("Content-Encoding"), "gzip");
  EXPECT_EQ(big.Header("Content-Type"), "application/json; charset=UTF-8");
}

TEST(MiddlewareChainTest, AParameterWithABadEscapeBecomesAJsonError) {
  testing::TestServer server;
  server.api()
      .Use(JsonBody())
      .Use([](ApiRequest& req, ApiResponse& res, const Next& next) {
        HandleException(req, res, next);
      })
      .Get("/produtoslike/:produto",
           [](ApiRequest&, ApiResponse& res, const Next&) { res.Send("x"); });
  server.Start();
  const auto r = testing::Request(server.port(), "GET", "/produtoslike/a%zz");
  EXPECT_EQ(r.status, 500);
  EXPECT_EQ(r.body,
            R"({"error":"Invalid URL encoded character (zz) at position 1"})");
}

}  // namespace
}  // namespace norvessa
