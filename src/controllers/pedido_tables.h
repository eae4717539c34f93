#ifndef NORVESSA_CONTROLLERS_PEDIDO_TABLES_H_
#define NORVESSA_CONTROLLERS_PEDIDO_TABLES_H_

#include "serialize/mem_table.h"

namespace norvessa {

// The order module's three in-memory tables: the orders, and their picking
// and checking items as details of the orders. Each picking or checking
// request builds its own, so concurrent requests never mix their rows.
class PedidoTables {
 public:
  PedidoTables();

  // Opens and empties the three tables and makes the picking items a
  // detail of the orders.
  void InitializaMasterDetail();
  // The same for the checking items.
  void InitializaMasterDetailConferencia();

  MemTable& mt_pedido() { return mt_pedido_; }
  MemTable& mt_pedido_itens() { return mt_pedido_itens_; }
  MemTable& mt_pedido_itens_conferencia() {
    return mt_pedido_itens_conferencia_;
  }

 private:
  void OpenEmpty();
  static void Link(MemTable& detail, MemTable& master);

  // The master first: the details let go of it before it goes.
  MemTable mt_pedido_{"mtPedido"};
  MemTable mt_pedido_itens_{"mtPedidoItens"};
  MemTable mt_pedido_itens_conferencia_{"mtPedidoItensConferencia"};
};

}  // namespace norvessa

#endif  // NORVESSA_CONTROLLERS_PEDIDO_TABLES_H_
