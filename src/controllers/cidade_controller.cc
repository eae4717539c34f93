#include "controllers/cidade_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"

namespace norvessa {

void CidadeController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<CidadeController>(conexao);
  BindRoutes(api, {{MethodType::kPost, "/cidades",
                    BindHandler(c, &CidadeController::Cidades)},
                   {MethodType::kPost, "/estados",
                    BindHandler(c, &CidadeController::Estados)}});
}

void CidadeController::Cidades(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  RunHandler(conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
             {.body = &body,
              .admit =
                  [&] {
                    return RequireFilled(body, "iduf", res, "Sem Estado!",
                                         "Sem Estado!");
                  },
              .sql =
                  [&](SqlLines& sql) {
                    sql.Add("select IdCidade, Cidade from Cidade")
                        .Add("where Situacao = 1");
                    AddComparedLine(sql, "and IdUf = ",
                                    body.FieldByName("iduf").AsString());
                    sql.Add("order by Cidade");
                  }});
}

void CidadeController::Estados(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  RunHandler(conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
             {.body = &body, .sql = [](SqlLines& sql) {
                sql.Add("select IdUf, Uf, UfNome from Uf")
                    .Add("where Situacao = 1")
                    .Add("order by Uf");
              }});
}

}  // namespace norvessa
