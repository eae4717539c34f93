#ifndef NORVESSA_CONTROLLERS_PEDIDO_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_PEDIDO_CONTROLLER_H_

#include <functional>

#include "controllers/pedido_listas.h"
#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Sales orders: the list by period and status, the orders waiting to be
// picked or checked with their items nested, recording picked and checked
// quantities, one order by key, and creating an order with its items.
class PedidoController {
 public:
  explicit PedidoController(ConnectionPool& conexao) : conexao_(conexao) {}

  // POST "/pedidos", GET "/pedidos/separacao", POST "/pedidos/separados",
  // GET "/pedidos/conferencia", POST "/pedidos/conferidos",
  // GET "/pedidos/:idpedido", POST "/pedidos/novo".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Pedidos(ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next);
  void PedidosSeparacao(ApiRequest& req, ApiResponse& res,
                        const std::function<void()>& next);
  void PedidosSeparados(ApiRequest& req, ApiResponse& res,
                        const std::function<void()>& next);
  void PedidosConferencia(ApiRequest& req, ApiResponse& res,
                          const std::function<void()>& next);
  void PedidosConferidos(ApiRequest& req, ApiResponse& res,
                         const std::function<void()>& next);
  void PedidoId(ApiRequest& req, ApiResponse& res,
                const std::function<void()>& next);
  void PedidoNovo(ApiRequest& req, ApiResponse& res,
                  const std::function<void()>& next);

 private:
  ConnectionPool& conexao_;
  AnswerSizeHint picking_size_{0};
  AnswerSizeHint checking_size_{0};
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_CONTROLLER_H_
