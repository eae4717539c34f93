#ifndef NORVESSA_CONTROLLERS_PRODUTO_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_PRODUTO_CONTROLLER_H_

#include <cstdint>
#include <functional>
#include <string>

#include "db/connection_pool.h"
#include "db/unit_of_work.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Products: the list with prices, stock, sizes and colours (paged or
// filtered), one product by key, products by name, a group's products.
class ProdutoController {
 public:
  explicit ProdutoController(ConnectionPool& conexao) : conexao_(conexao) {}

  // POST "/produtos", GET "/produtos/:idproduto",
  // GET "/produtoslike/:produto", POST "/produtos-grupo".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Produtos(ApiRequest& req, ApiResponse& res,
                const std::function<void()>& next);
  void ProdutoId(ApiRequest& req, ApiResponse& res,
                 const std::function<void()>& next);
  void Produto(ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next);
  void ProdutoIdGrupo(ApiRequest& req, ApiResponse& res,
                      const std::function<void()>& next);

  // The product's unit of measure in upper case, "UN" when the product is
  // not found, on the caller's unit of work. Failures go to the caller.
  static std::string UnidadeMedida(UnitOfWork& uow, std::int32_t id_produto);

 private:
  ConnectionPool& conexao_;
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PRODUTO_CONTROLLER_H_
