#include "controllers/produto_controller.h"

#include <memory>

#include "controllers/controller_support.h"
#include "controllers/produto_sql.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"
#include "text/number_text.h"

namespace norvessa {

void ProdutoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<ProdutoController>(conexao);
  BindRoutes(api, {{MethodType::kPost, "/produtos",
                    BindHandler(c, &ProdutoController::Produtos)},
                   {MethodType::kGet, "/produtos/:idproduto",
                    BindHandler(c, &ProdutoController::ProdutoId)},
                   {MethodType::kGet, "/produtoslike/:produto",
                    BindHandler(c, &ProdutoController::Produto)},
                   {MethodType::kPost, "/produtos-grupo",
                    BindHandler(c, &ProdutoController::ProdutoIdGrupo)}});
}

void ProdutoController::Produtos(ApiRequest& req, ApiResponse& res,
                                 const std::function<void()>&) {
  MemTable body;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.body = &body, .sql = [&](SqlLines& sql) {
         AddProductListLines(sql);
         if (FieldIsFilled(body, "inicio")) {
           if (FieldIsFilled(body, "nomeproduto")) {
             sql.Add(LikeFilterLine(
                 "P.Produto", body.FieldByName("nomeproduto").AsString()));
           }
           sql.Add("order by P.Produto");
           AddPagingLine(sql, body.FieldByName("inicio").AsInteger(),
                         body.FieldByName("quantidadereg").AsInteger());
         } else {
           const std::string produto = body.FieldByName("produto").AsString();
           if (!produto.empty() && produto != "Todos") {
             sql.Add(LikeFilterLine("P.Produto", produto));
           }
           sql.Add("order by P.Produto");
         }
       }});
}

void ProdutoController::ProdutoId(ApiRequest& req, ApiResponse& res,
                                  const std::function<void()>&) {
  std::int32_t id = 0;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.prepare = [&] { id = Int32Value(req.Params().Value("idproduto")); },
       .sql =
           [&](SqlLines& sql) {
             AddProductDetailLines(sql);
             sql.Add("and P.IdProduto = ?", {std::int64_t{id}});
           },
       .shape = RowsShape::kFirstRow});
}

void ProdutoController::Produto(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.sql = [&](SqlLines& sql) {
        AddProductDetailLines(sql);
        sql.Add(LikeFilterLine("P.Produto", req.Params().Value("produto")))
            .Add("order by P.Produto");
      }});
}

void ProdutoController::ProdutoIdGrupo(ApiRequest& req, ApiResponse& res,
                                       const std::function<void()>&) {
  MemTable body;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 200,
      {.body = &body,
       .admit =
           [&] {
             return RequireFilled(body, "idgrupo", res, "Sem Grupo!",
                                  "Sem Grupo!");
           },
       .sql =
           [&](SqlLines& sql) {
             AddProductListLines(sql);
             AddComparedLine(sql, "and P.IdGrupo = ",
                             body.FieldByName("idgrupo").AsString());
             if (FieldIsFilled(body, "nomeproduto")) {
               sql.Add(LikeFilterLine(
                   "P.Produto", body.FieldByName("nomeproduto").AsString()));
             }
             sql.Add("order by P.Produto");
             AddPagingLine(sql, body.FieldByName("inicio").AsInteger(),
                           body.FieldByName("quantidadereg").AsInteger());
           }});
}

std::string ProdutoController::UnidadeMedida(UnitOfWork& uow,
                                             std::int32_t id_produto) {
  std::string result = "UN";
  Query qry(uow);
  qry.SQL()
      .Add("select Upper(UnMed) as UnMed from UnMed UM")
      .Add("join Produto P on (P.IdUnMed = UM.IdUnMed)")
      .Add("where IdProduto = ?", {std::int64_t{id_produto}});
  qry.Open();
  if (!qry.IsEmpty()) result = qry.FieldByName("UnMed").AsString();
  return result;
}

}  // namespace norvessa
