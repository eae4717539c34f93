#include "controllers/pedido_controller.h"

#include <memory>
#include <string>

#include "controllers/controller_support.h"
#include "controllers/pedido_listas.h"
#include "controllers/pedido_novo.h"
#include "controllers/pedido_sql.h"
#include "controllers/result_message.h"
#include "serialize/mem_table.h"

namespace norvessa {

void PedidoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  const auto c = std::make_shared<PedidoController>(conexao);
  BindRoutes(api, {{MethodType::kPost, "/pedidos",
                    BindHandler(c, &PedidoController::Pedidos)},
                   {MethodType::kGet, "/pedidos/separacao",
                    BindHandler(c, &PedidoController::PedidosSeparacao)},
                   {MethodType::kPost, "/pedidos/separados",
                    BindHandler(c, &PedidoController::PedidosSeparados)},
                   {MethodType::kGet, "/pedidos/conferencia",
                    BindHandler(c, &PedidoController::PedidosConferencia)},
                   {MethodType::kPost, "/pedidos/conferidos",
                    BindHandler(c, &PedidoController::PedidosConferidos)},
                   {MethodType::kGet, "/pedidos/:idpedido",
                    BindHandler(c, &PedidoController::PedidoId)},
                   {MethodType::kPost, "/pedidos/novo",
                    BindHandler(c, &PedidoController::PedidoNovo)}});
}

void PedidoController::Pedidos(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  RunHandler(
      conexao_, req, res, ResultArray(kErroExcept, kNenhumRegistro), 404,
      {.body = &body,
       .sql =
           [&](SqlLines& sql) {
             AddOrderListLines(sql);
             sql.Add("and PI.Situacao = 1");
             if (!FieldIsFilled(body, "inicio")) return;
             if (FieldIsFilled(body, "perinicial")) {
               const DateTime inicial =
                   body.FieldByName("perinicial").AsDateTime();
               const DateTime final_ =
                   body.FieldByName("perfinal").AsDateTime();
               AddOrderPeriodLines(sql, inicial, final_);
             }
             AddOrderStatusLines(sql, body.FieldByName("status").AsString());
             sql.Add("order by P.IdPedido");
             AddPagingLine(sql, body.FieldByName("inicio").AsInteger(),
                           body.FieldByName("quantidadereg").AsInteger());
           },
       .empty_status = 400});
}

void PedidoController::PedidosSeparacao(ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>&) {
  WaitingList(OrderStage::kPicking, conexao_, picking_size_, req, res);
}

void PedidoController::PedidosConferencia(ApiRequest& req, ApiResponse& res,
                                          const std::function<void()>&) {
  WaitingList(OrderStage::kChecking, conexao_, checking_size_, req, res);
}

void PedidoController::PedidosSeparados(ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>&) {
  RecordQuantity(OrderStage::kPicking, conexao_, req, res);
}

void PedidoController::PedidosConferidos(ApiRequest& req, ApiResponse& res,
                                         const std::function<void()>&) {
  RecordQuantity(OrderStage::kChecking, conexao_, req, res);
}

void PedidoController::PedidoId(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  std::int32_t id = 0;
  RunHandler(
      conexao_, req, res, ResultObject(kErroExcept, kNenhumRegistro), 404,
      {.prepare = [&] { id = Int32Value(req.Params().Value("idpedido")); },
       .sql =
           [&](SqlLines& sql) {
             AddOrderDetailLines(sql);
             sql.Add("and P.IdPedido = ?", {std::int64_t{id}});
           },
       .shape = RowsShape::kFirstRow,
       .empty_status = 400});
}

void PedidoController::PedidoNovo(ApiRequest& req, ApiResponse& res,
                                  const std::function<void()>&) {
  SalvarPedido(conexao_, req, res);
}

}  // namespace norvessa
