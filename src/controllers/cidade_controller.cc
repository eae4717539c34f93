#include "controllers/cidade_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/result_message.h"
#include "db/query.h"
#include "db/unit_of_work.h"
#include "serialize/mem_table.h"

namespace norvessa {
void CidadeController::Registry(ApiCore& api, ConnectionPool& conexao) {
  auto controller = std::make_shared<CidadeController>(conexao);
  api.Post("/cidades", [controller](ApiRequest& req, ApiResponse& res,
                                    const std::function<void()>& next) {
    controller->Cidades(req, res, next);
  });
  api.Post("/estados", [controller](ApiRequest& req, ApiResponse& res,
                                    const std::function<void()>& next) {
    controller->Estados(req, res, next);
  });
}

void CidadeController::Cidades(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  // A body that fails to load leaves the handler: the exception middleware
  // answers it.
  LoadBody(req, body);
  try {
    if (body.FieldByName("iduf").AsString().empty()) {
      res.Send(ResultObject(kResult, "Sem Estado!")).Status(401);
      return;
    }
  } catch (...) {
    res.Send(ResultObject(kErroExcept, "Sem Estado!")).Status(404);
    return;
  }
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select IdCidade, Cidade from Cidade")
        .Add("where Situacao = 1")
        .Add("and IdUf = " + Quoted(body.FieldByName("iduf").AsString()))
        .Add("order by Cidade");
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void CidadeController::Estados(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add("select IdUf, Uf, UfNome from Uf")
        .Add("where Situacao = 1")
        .Add("order by Uf");
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

}  // namespace norvessa
