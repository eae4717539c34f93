#include "controllers/produto_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/produto_sql.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"
#include "serialize/regional.h"

namespace norvessa {

void ProdutoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  auto c = std::make_shared<ProdutoController>(conexao);
  api.Post("/produtos", [c](ApiRequest& req, ApiResponse& res,
                            const std::function<void()>& next) {
    c->Produtos(req, res, next);
  });
  api.Get("/produtos/:idproduto", [c](ApiRequest& req, ApiResponse& res,
                                      const std::function<void()>& next) {
    c->ProdutoId(req, res, next);
  });
  api.Get("/produtoslike/:produto", [c](ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>& next) {
    c->Produto(req, res, next);
  });
  api.Post("/produtos-grupo", [c](ApiRequest& req, ApiResponse& res,
                                  const std::function<void()>& next) {
    c->ProdutoIdGrupo(req, res, next);
  });
}

void ProdutoController::Produtos(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  const bool limite_registros = FieldIsFilled(body, "inicio");
  const bool tem_pesquisa = FieldIsFilled(body, "nomeproduto");
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddProductListLines(qry.SQL());
    if (limite_registros) {
      if (tem_pesquisa) {
        qry.SQL().Add(LikeFilterLine(
            "P.Produto", body.FieldByName("nomeproduto").AsString()));
      }
      qry.SQL().Add("order by P.Produto");
      qry.SQL().Add(PagingLine(body.FieldByName("inicio").AsInteger(),
                               body.FieldByName("quantidadereg").AsInteger()));
    } else {
      const std::string produto = body.FieldByName("produto").AsString();
      if (!produto.empty() && produto != "Todos") {
        qry.SQL().Add(LikeFilterLine("P.Produto", produto));
      }
      qry.SQL().Add("order by P.Produto");
    }
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void ProdutoController::ProdutoId(ApiRequest& req, ApiResponse& res,
                                  const std::function<void()>&) {
  try {
    const std::string id = Int32Text(req.Params().Value("idproduto"));
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddProductDetailLines(qry.SQL());
    qry.SQL().Add("and P.IdProduto = " + id);
    qry.Open();
    AnswerRow(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void ProdutoController::Produto(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddProductDetailLines(qry.SQL());
    qry.SQL()
        .Add(LikeFilterLine("P.Produto", req.Params().Value("produto")))
        .Add("order by P.Produto");
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

void ProdutoController::ProdutoIdGrupo(ApiRequest& req, ApiResponse& res,
                                       const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  const bool tem_pesquisa = FieldIsFilled(body, "nomeproduto");
  try {
    if (body.FieldByName("idgrupo").AsString().empty()) {
      res.Send(ResultObject(kResult, "Sem Grupo!")).Status(401);
      return;
    }
  } catch (...) {
    res.Send(ResultObject(kErroExcept, "Sem Grupo!")).Status(404);
    return;
  }
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddProductListLines(qry.SQL());
    qry.SQL().Add("and P.IdGrupo = " +
                  Quoted(body.FieldByName("idgrupo").AsString()));
    if (tem_pesquisa) {
      qry.SQL().Add(LikeFilterLine("P.Produto",
                                   body.FieldByName("nomeproduto").AsString()));
    }
    qry.SQL().Add("order by P.Produto");
    qry.SQL().Add(PagingLine(body.FieldByName("inicio").AsInteger(),
                             body.FieldByName("quantidadereg").AsInteger()));
    qry.Open();
    AnswerRows(qry, res);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro));
  }
}

std::string ProdutoController::UnidadeMedida(UnitOfWork& uow,
                                             std::int32_t id_produto) {
  std::string result = "UN";
  Query qry(uow);
  qry.SQL()
      .Add("select Upper(UnMed) as UnMed from UnMed UM")
      .Add("join Produto P on (P.IdUnMed = UM.IdUnMed)")
      .Add("where IdProduto = " + FormatInteger(id_produto));
  qry.Open();
  if (!qry.IsEmpty()) result = qry.FieldByName("UnMed").AsString();
  return result;
}

}  // namespace norvessa
