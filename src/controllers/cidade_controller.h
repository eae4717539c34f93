#ifndef NORVESSA_CONTROLLERS_CIDADE_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_CIDADE_CONTROLLER_H_

#include <functional>

#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Cities and states: the active states, and the active cities of a state.
class CidadeController {
 public:
  explicit CidadeController(ConnectionPool& conexao) : conexao_(conexao) {}

  // POST "/cidades", then POST "/estados".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Cidades(ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next);
  void Estados(ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next);

 private:
  ConnectionPool& conexao_;
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_CIDADE_CONTROLLER_H_
