// Route-tree dispatch in process: the service's route table, one request
// per iteration, no sockets.

#include <benchmark/benchmark.h>

#include <string>

#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"
#include "framework/dispatch_bridge.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"

namespace norvessa {
namespace {

using Next = std::function<void()>;

void Answer(ApiRequest&, ApiResponse& res, const Next&) { res.Send("ok"); }

void RegisterServiceRoutes(ApiCore& core) {
  core.Get("/usuarios", Answer)
      .Post("/autenticacao", Answer)
      .Get("/permissoes/:idusuario", Answer)
      .Post("/clientes", Answer)
      .Get("/moradores", Answer)
      .Get("/moradores/:registroaux", Answer)
      .Post("/grupos", Answer)
      .Post("/grupoid", Answer)
      .Get("/produtos/:idproduto", Answer)
      .Get("/produtoslike/:produto", Answer)
      .Post("/cidades", Answer)
      .Post("/estados", Answer)
      .Post("/produtos", Answer)
      .Post("/produtos-grupo", Answer)
      .Get("/produtos/:idproduto", Answer)
      .Get("/produtoslike/:produto", Answer)
      .Post("/pedidos", Answer)
      .Get("/pedidos/separacao", Answer)
      .Post("/pedidos/separados", Answer)
      .Get("/pedidos/conferencia", Answer)
      .Post("/pedidos/conferidos", Answer)
      .Get("/pedidos/:idpedido", Answer)
      .Post("/pedidos/novo", Answer);
}

void Dispatch(benchmark::State& state, const ApiCore& core, const char* method,
              const char* path) {
  RawRequest raw;
  raw.method = method;
  raw.raw_path = path;
  for (auto _ : state) {
    RawResponse out;
    ApiRequest req(raw);
    ApiResponse res(out);
    core.Execute(req, res);
    benchmark::DoNotOptimize(out.content);
  }
}

void BM_RouteLiteral(benchmark::State& state) {
  ApiCore core;
  RegisterServiceRoutes(core);
  Dispatch(state, core, "GET", "/pedidos/separacao");
}
BENCHMARK(BM_RouteLiteral);

void BM_RouteParameter(benchmark::State& state) {
  ApiCore core;
  RegisterServiceRoutes(core);
  Dispatch(state, core, "GET", "/produtos/526");  // two handlers run
}
BENCHMARK(BM_RouteParameter);

void BM_RouteNotFound(benchmark::State& state) {
  ApiCore core;
  RegisterServiceRoutes(core);
  Dispatch(state, core, "GET", "/clientes/1/x");
}
BENCHMARK(BM_RouteNotFound);

void BM_RouteWithMiddleware(benchmark::State& state) {
  ApiCore core;
  core.Use(JsonBody()).Use(HandleException);
  RegisterServiceRoutes(core);
  Dispatch(state, core, "GET", "/pedidos/4999");
}
BENCHMARK(BM_RouteWithMiddleware);

}  // namespace
}  // namespace norvessa

BENCHMARK_MAIN();
