#ifndef NORVESSA_CONTROLLERS_PEDIDO_LISTAS_H_
#define NORVESSA_CONTROLLERS_PEDIDO_LISTAS_H_

#include <atomic>
#include <cstddef>

#include "controllers/pedido_sql.h"
#include "db/connection_pool.h"
#include "framework/api_request.h"
#include "framework/api_response.h"

namespace norvessa {

// The picking and checking lists of the orders resource.

// The size of the list's last answer, so that the next one's text is
// given its room at once rather than grown by doubling (which holds the
// old and the new room at once, up to three times the answer).
using AnswerSizeHint = std::atomic<std::size_t>;

// The orders waiting at the stage, each with its active items nested; 400
// when there are none.
void WaitingList(OrderStage stage, ConnectionPool& pool, AnswerSizeHint& hint,
                 ApiRequest& req, ApiResponse& res);

// Adds the body's picked or checked quantity to one item, capped at the
// quantity of the stage before; {"Result":"OK"}.
void RecordQuantity(OrderStage stage, ConnectionPool& pool, ApiRequest& req,
                    ApiResponse& res);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_LISTAS_H_
