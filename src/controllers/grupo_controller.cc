#include "controllers/grupo_controller.h"

#include <cstdint>
#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
#include "serialize/mem_table.h"

namespace norvessa {

void GrupoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  auto c = std::make_shared<GrupoController>(conexao);
  api.Post("/grupos", [c](ApiRequest& req, ApiResponse& res,
                          const std::function<void()>& next) {
    c->Grupos(req, res, next);
  });
  api.Post("/grupoid", [c](ApiRequest& req, ApiResponse& res,
                           const std::function<void()>& next) {
    c->GrupoId(req, res, next);
  });
  // The products resource registers these two routes again and its
  // handler, which runs after this one, gives the answer; so this one runs
  // no query of its own.
  const ApiCallback answered_by_products = [](ApiRequest&, ApiResponse&,
                                              const std::function<void()>&) {};
  api.Get("/produtos/:idproduto", answered_by_products);
  api.Get("/produtoslike/:produto", answered_by_products);
}

void GrupoController::Grupos(ApiRequest& req, ApiResponse& res,
                             const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  std::int32_t inicio = 0;
  std::int32_t quantidade = 100;
  // A failed read keeps that value and every later one at its default.
  try {
    inicio = body.FieldByName("inicio").AsInteger();
    quantidade = body.FieldByName("quantidadereg").AsInteger();
  } catch (...) {
  }
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL().Add("select IdGrupo, Grupo from Grupo").Add("where Situacao = 1");
    const std::string grupo = body.FieldByName("grupo").AsString();
    if (!grupo.empty() && grupo != "Todos") {
      qry.SQL().Add(LikeFilterLine("Grupo", grupo));
    }
    qry.SQL().Add("order by Grupo").Add(PagingLine(inicio, quantidade));
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void GrupoController::GrupoId(ApiRequest& req, ApiResponse& res,
                              const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select IdGrupo from Grupo")
        .Add("where Situacao = 1")
        .Add("and Grupo = " + Quoted(body.FieldByName("grupo").AsString()));
    qry.Open();
    AnswerRow(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

}  // namespace norvessa
