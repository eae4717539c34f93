#ifndef NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_
#define NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_

#include "db/connection_pool.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Order creation: the order of the body and all its "itens" stored in one
// transaction; {"Result":"<new key>"}.
void SalvarPedido(ConnectionPool& pool, ApiRequest& req, ApiResponse& res);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_
