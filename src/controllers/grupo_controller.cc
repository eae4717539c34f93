#include "controllers/grupo_controller.h"

#include <cstdint>
#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"

namespace norvessa {

void GrupoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<GrupoController>(conexao);
  // The products resource registers the last two routes again and its
  // handler, which runs after this one, gives the answer; so this one runs
  // no query of its own.
  const ApiCallback answered_by_products = [](ApiRequest&, ApiResponse&,
                                              const std::function<void()>&) {};
  BindRoutes(
      api,
      {{MethodType::kPost, "/grupos", BindHandler(c, &GrupoController::Grupos)},
       {MethodType::kPost, "/grupoid",
        BindHandler(c, &GrupoController::GrupoId)},
       {MethodType::kGet, "/produtos/:idproduto", answered_by_products},
       {MethodType::kGet, "/produtoslike/:produto", answered_by_products}});
}

void GrupoController::Grupos(ApiRequest& req, ApiResponse& res,
                             const std::function<void()>&) {
  MemTable body;
  std::int32_t inicio = 0;
  std::int32_t quantidade = 100;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.body = &body,
       .prepare =
           [&] {
             // A failed read keeps that value and every later one at its
             // default.
             try {
               inicio = body.FieldByName("inicio").AsInteger();
               quantidade = body.FieldByName("quantidadereg").AsInteger();
             } catch (...) {
             }
           },
       .sql =
           [&](SqlLines& sql) {
             sql.Add("select IdGrupo, Grupo from Grupo")
                 .Add("where Situacao = 1");
             const std::string grupo = body.FieldByName("grupo").AsString();
             if (!grupo.empty() && grupo != "Todos") {
               sql.Add(LikeFilterLine("Grupo", grupo));
             }
             sql.Add("order by Grupo");
             AddPagingLine(sql, inicio, quantidade);
           }});
}

void GrupoController::GrupoId(ApiRequest& req, ApiResponse& res,
                              const std::function<void()>&) {
  MemTable body;
  RunHandler(conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
             {.body = &body,
              .sql =
                  [&](SqlLines& sql) {
                    sql.Add("select IdGrupo from Grupo")
                        .Add("where Situacao = 1")
                        .Add("and Grupo = " +
                             Quoted(body.FieldByName("grupo").AsString()));
                  },
              .shape = RowsShape::kFirstRow});
}

}  // namespace norvessa
