#include "framework/router_tree.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "framework/api_core.h"
#include "framework/api_exception.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {
namespace {

struct Outcome {
  int status;
  std::string body;
  std::string params;  // "name=value;" per captured parameter
};

Outcome Dispatch(const ApiCore& core, std::string method, std::string path) {
  RawRequest raw;
  raw.method = std::move(method);
  raw.raw_path = std::move(path);
  RawResponse out;
  ApiRequest req(raw);
  ApiResponse res(out);
  core.Execute(req, res);
  std::string params;
  for (const auto& [k, v] : req.Params()) params += k + "=" + v + ";";
  return {out.status_code, out.content.value_or(""), params};
}

// A handler that answers with its own name.
ApiCallback Named(std::string name) {
  return [name](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
    res.Send(name);
  };
}

// The service's routes, in registration order.
class ServiceRoutesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    core_.Get("/usuarios", Named("usuarios"))
        .Post("/autenticacao", Named("autenticacao"))
        .Get("/permissoes/:idusuario", Named("permissoes"))
        .Post("/clientes", Named("clientes"))
        .Get("/moradores", Named("moradores"))
        .Get("/moradores/:registroaux", Named("morador"))
        .Post("/grupos", Named("grupos"))
        .Post("/grupoid", Named("grupoid"))
        .Get("/produtos/:idproduto", Named("grupo-produto"))
        .Get("/produtoslike/:produto", Named("grupo-produtoslike"))
        .Post("/cidades", Named("cidades"))
        .Post("/estados", Named("estados"))
        .Post("/produtos", Named("produtos"))
        .Post("/produtos-grupo", Named("produtos-grupo"))
        .Get("/produtos/:idproduto", Named("produto"))
        .Get("/produtoslike/:produto", Named("produtoslike"))
        .Post("/pedidos", Named("pedidos"))
        .Get("/pedidos/separacao", Named("separacao"))
        .Post("/pedidos/separados", Named("separados"))
        .Get("/pedidos/conferencia", Named("conferencia"))
        .Post("/pedidos/conferidos", Named("conferidos"))
        .Get("/pedidos/:idpedido", Named("pedido"))
        .Post("/pedidos/novo", Named("novo"));
  }
  ApiCore core_;
};

TEST_F(ServiceRoutesTest, AnswersEachRequestAsDesigned) {
  struct Case {
    const char* method;
    const char* path;
    int status;
    const char* body;
    const char* params;
  };
  const Case cases[] = {
      {"GET", "/usuarios", 200, "usuarios", ""},
      {"GET", "/usuarios/", 200, "usuarios", ""},
      {"GET", "//usuarios//", 200, "usuarios", ""},
      {"POST", "/autenticacao", 200, "autenticacao", ""},
      {"GET", "/permissoes/7", 200, "permissoes", "idusuario=7;"},
      {"GET", "/clientes/1/x", 404, "Not Found", ""},
      {"GET", "/", 404, "Not Found", ""},
      {"GET", "", 404, "Not Found", ""},
      {"GET", "/produtos", 405, "Method Not Allowed", ""},
      {"GET", "/pedidos/novo", 405, "Method Not Allowed", ""},
      {"POST", "/usuarios", 405, "Method Not Allowed", ""},
      {"POST", "/produtos/5", 404, "Not Found", ""},
      {"GET", "/pedidos/separacao", 200, "separacao", ""},
      {"GET", "/pedidos/123", 200, "pedido", "idpedido=123;"},
      {"POST", "/pedidos/novo", 200, "novo", ""},
      {"GET", "/Usuarios", 404, "Not Found", ""},
      {"OPTIONS", "/usuarios", 405, "Method Not Allowed", ""},
      {"HEAD", "/usuarios", 405, "Method Not Allowed", ""},
      {"get", "/usuarios", 405, "Method Not Allowed", ""},
      {"GET", "/produtos//7", 200, "produto", "idproduto=7;"},
      {"GET", "/produtoslike/caf%C3%A9", 200, "produtoslike",
       "produto=caf\xC3\xA9;"},
      {"GET", "/produtoslike/a+b", 200, "produtoslike", "produto=a b;"},
      {"GET", "/produtoslike/100%%", 200, "produtoslike", "produto=100%;"},
      {"GET", "/pedidos/1/2/3", 404, "Not Found", ""},
      {"GET", "/moradores/0", 200, "morador", "registroaux=0;"},
      {"DELETE", "/pedidos/5", 404, "Not Found", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path);
    const Outcome o = Dispatch(core_, c.method, c.path);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.body, c.body);
    EXPECT_EQ(o.params, c.params);
  }
}

TEST_F(ServiceRoutesTest, MalformedEscapesInAParameterFail) {
  struct Case {
    const char* path;
    const char* message;
  };
  const Case cases[] = {
      {"/produtoslike/a%G1",
       "Invalid URL encoded character (G1) at position 1"},
      {"/produtoslike/ab%4",
       "Error decoding URL style (%XX) encoded string at position 2"},
      {"/produtoslike/%",
       "Error decoding URL style (%XX) encoded string at position 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      Dispatch(core_, "GET", c.path);
      ADD_FAILURE() << "no error";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(RouterTreeTest, EveryHandlerOfADuplicatedRouteRunsInOrder) {
  ApiCore core;
  std::vector<std::string> trace;
  core.Get("/produtos/:idproduto",
           [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
             trace.push_back("grupos");
             res.Send("grupos").Status(201);
           });
  core.Get("produtos/:idproduto/",
           [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
             trace.push_back("produtos");
             res.Send("produtos");
           });
  const Outcome o = Dispatch(core, "GET", "/produtos/7");
  EXPECT_EQ(trace, (std::vector<std::string>{"grupos", "produtos"}));
  EXPECT_EQ(o.body, "produtos");
  EXPECT_EQ(o.status, 201);  // the later handler set no status
}

TEST(RouterTreeTest, AHandlerThatCallsNextDoesNotRunTheNextTwice) {
  ApiCore core;
  std::vector<std::string> trace;
  core.Get("/x",
           {[&](ApiRequest&, ApiResponse&, const std::function<void()>& next) {
              trace.push_back("first>");
              next();
              trace.push_back("<first");
            },
            [&](ApiRequest&, ApiResponse&, const std::function<void()>&) {
              trace.push_back("second");
            }});
  Dispatch(core, "GET", "/x");
  EXPECT_EQ(trace, (std::vector<std::string>{"first>", "second", "<first"}));
}

TEST(RouterTreeTest, MiddlewareRunsForEveryRequestAndCannotStopTheChain) {
  ApiCore core;
  std::vector<std::string> trace;
  core.Use([&](ApiRequest&, ApiResponse&, const std::function<void()>& next) {
    trace.push_back("a>");
    next();
    trace.push_back("<a");
  });
  core.Use([&](ApiRequest&, ApiResponse&, const std::function<void()>&) {
    trace.push_back("b (no next)");
  });
  core.Get("/x", [&](ApiRequest&, ApiResponse&, const std::function<void()>&) {
    trace.push_back("handler");
  });
  Dispatch(core, "GET", "/x");
  EXPECT_EQ(trace,
            (std::vector<std::string>{"a>", "b (no next)", "handler", "<a"}));
  trace.clear();
  const Outcome o = Dispatch(core, "GET", "/nowhere");
  EXPECT_EQ(trace, (std::vector<std::string>{"a>", "b (no next)", "<a"}));
  EXPECT_EQ(o.status, 404);
}

TEST(RouterTreeTest, HandlerErrorsSetTheRouterAnswerBeforeTheyGoOn) {
  struct Case {
    const char* name;
    std::function<void()> raise;
    int status;
    const char* body;
  };
  const Case cases[] = {
      {"general error", [] { throw std::runtime_error("boom"); }, 500,
       "Internal Application Error"},
      {"ApiException", [] { throw ApiException("x"); }, 200, "before"},
      {"ApiCallbackInterrupted", [] { throw ApiCallbackInterrupted(); }, 200,
       "before"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ApiCore core;
    core.Get("/x",
             [&](ApiRequest&, ApiResponse& res, const std::function<void()>&) {
               res.Send("before");
               c.raise();
             });
    RawRequest raw;
    raw.method = "GET";
    raw.raw_path = "/x";
    RawResponse out;
    ApiRequest req(raw);
    ApiResponse res(out);
    EXPECT_ANY_THROW(core.Execute(req, res));
    EXPECT_EQ(out.status_code, c.status);
    EXPECT_EQ(out.content.value_or(""), c.body);
  }
}

TEST(RouterTreeTest, LiteralSegmentsWinAndParametersNeedAMatchingTail) {
  ApiCore core;
  core.Get("/a/:id/b", Named("param-b"));
  core.Get("/a/lit", Named("lit"));
  core.Get("/a/:other/c", Named("other-c"));
  const struct {
    const char* path;
    int status;
    const char* body;
    const char* params;
  } cases[] = {
      {"/a/1/b", 200, "param-b", "id=1;"},
      {"/a/1/c", 200, "other-c", "other=1;"},
      {"/a/lit", 200, "lit", ""},
      // The literal child is tried alone even though :id/b would match.
      {"/a/lit/b", 404, "Not Found", ""},
      {"/a/1", 404, "Not Found", ""},
      // A segment that spells a parameter's name is a value like any other.
      {"/a/:other/b", 200, "param-b", "id=:other;"},
      {"/a/:id/c", 200, "other-c", "other=:id;"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const Outcome o = Dispatch(core, "GET", c.path);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.body, c.body);
    EXPECT_EQ(o.params, c.params);
  }
}

TEST(RouterTreeTest, QueueKeepsTheFirstPieceAndDropsLaterEmptyOnes) {
  const struct {
    const char* path;
    std::vector<std::string_view> segments;
  } cases[] = {
      {"/usuarios/", {"", "usuarios"}},
      {"/produtos//5", {"", "produtos", "5"}},
      {"usuarios", {"usuarios"}},
      {"", {""}},
      {"/", {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(GetQueuePath(c.path).segments, c.segments);
  }
}

}  // namespace
}  // namespace norvessa
