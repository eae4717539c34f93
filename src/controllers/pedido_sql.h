#ifndef NORVESSA_CONTROLLERS_PEDIDO_SQL_H_
#define NORVESSA_CONTROLLERS_PEDIDO_SQL_H_

#include <string>

#include "db/query.h"
#include "text/date_time.h"

namespace norvessa {

// The two stages an order's items go through after it is issued.
enum class OrderStage { kPicking, kChecking };

// The first lines of the order list.
void AddOrderListLines(SqlLines& sql);

// The issue dates from the first day to the end of the last one.
void AddOrderPeriodLines(SqlLines& sql, DateTime inicial, DateTime final_);

// The orders of one status; "Outros" is every status but "Aberto",
// "Cancelado" and "Entregue".
void AddOrderStatusLines(SqlLines& sql, const std::string& status);

// The orders waiting at the stage joined to all their active items, in
// order and item order: one statement with a fixed text.
void AddWaitingListLines(SqlLines& sql, OrderStage stage);

// The three statements that record a quantity of one item: the addition
// to `column`, the item read back, and the cap at the quantity before it.
// The quantity comes quoted; the keys come as the client sent them, bound
// when they are integers (AddComparedLine).
void AddQuantityUpdateLines(SqlLines& sql, const std::string& column,
                            const std::string& quantity,
                            const std::string& id_pedido,
                            const std::string& id_item);
void AddQuantityReadLines(SqlLines& sql, const std::string& column,
                          const std::string& id_pedido,
                          const std::string& id_item);
void AddQuantityCapLines(SqlLines& sql, OrderStage stage,
                         const std::string& id_pedido,
                         const std::string& id_item);

// One order with its items, but for its key.
void AddOrderDetailLines(SqlLines& sql);

// The inserts of an order and of one of its items, with named parameters.
void AddOrderInsertLines(SqlLines& sql);
void AddItemInsertLines(SqlLines& sql);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_SQL_H_
