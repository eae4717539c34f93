#ifndef NORVESSA_CONTROLLERS_PRODUTO_SQL_H_
#define NORVESSA_CONTROLLERS_PRODUTO_SQL_H_

#include "db/query.h"

namespace norvessa {

// The 27 lines of the product list: prices, stock, sizes, colours and
// payment-condition prices, one row per combination.
void AddProductListLines(SqlLines& sql);

// The 16 lines of the product detail: every column of Produto and the
// names and values around it.
void AddProductDetailLines(SqlLines& sql);

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PRODUTO_SQL_H_
