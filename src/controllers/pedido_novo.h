#ifndef NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_
#define NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_

#include <cstdint>

#include "db/connection_pool.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// Order creation: the order of the body and all its "itens" stored in one
// transaction; {"Result":"<new key>"}.
void SalvarPedido(ConnectionPool& pool, ApiRequest& req, ApiResponse& res);

// Orders stored, and order requests that stored nothing, since the start.
struct OrderCounts {
  std::uint64_t created = 0;
  std::uint64_t failed = 0;
};
OrderCounts OrderCounters();

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_NOVO_H_
