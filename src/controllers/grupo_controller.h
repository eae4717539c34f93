#ifndef NORVESSA_CONTROLLERS_GRUPO_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_GRUPO_CONTROLLER_H_

#include <functional>

#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Product groups: a page of active groups with an optional name filter,
// and a group's key by its exact name. It also registers the two product
// lookups that the products resource answers.
class GrupoController {
 public:
  explicit GrupoController(ConnectionPool& conexao) : conexao_(conexao) {}

  // POST "/grupos", POST "/grupoid", GET "/produtos/:idproduto",
  // GET "/produtoslike/:produto".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Grupos(ApiRequest& req, ApiResponse& res,
              const std::function<void()>& next);
  void GrupoId(ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next);

 private:
  ConnectionPool& conexao_;
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_GRUPO_CONTROLLER_H_
