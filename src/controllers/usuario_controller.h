#ifndef NORVESSA_CONTROLLERS_USUARIO_CONTROLLER_H_
#define NORVESSA_CONTROLLERS_USUARIO_CONTROLLER_H_

#include <functional>

#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Users: the active users, the login check and a user's permissions.
class UsuarioController {
 public:
  explicit UsuarioController(ConnectionPool& conexao) : conexao_(conexao) {}

  // GET "/usuarios", POST "/autenticacao", GET "/permissoes/:idusuario".
  static void Registry(ApiCore& api, ConnectionPool& conexao);

  void Usuarios(ApiRequest& req, ApiResponse& res,
                const std::function<void()>& next);
  void Autenticacao(ApiRequest& req, ApiResponse& res,
                    const std::function<void()>& next);
  void Permissoes(ApiRequest& req, ApiResponse& res,
                  const std::function<void()>& next);

 private:
  ConnectionPool& conexao_;
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_USUARIO_CONTROLLER_H_
