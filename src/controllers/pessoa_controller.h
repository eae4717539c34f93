#ifndef NORVESSA_CONTROLLERS_PESSOA_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_PESSOA_CONTROLLER_H_

#include <functional>

#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Persons: active customers with their address of kind 'N', paged or
// filtered, the residents and one resident by registration number.
class PessoaController {
 public:
  explicit PessoaController(ConnectionPool& conexao) : conexao_(conexao) {}

  // POST "/clientes", GET "/moradores", GET "/moradores/:registroaux".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Clientes(ApiRequest& req, ApiResponse& res,
                const std::function<void()>& next);
  void Moradores(ApiRequest& req, ApiResponse& res,
                 const std::function<void()>& next);
  void MoradorId(ApiRequest& req, ApiResponse& res,
                 const std::function<void()>& next);

 private:
  ConnectionPool& conexao_;
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PESSOA_CONTROLLER_H_
