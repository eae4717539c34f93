#include "controllers/pedido_tables.h"

namespace norvessa {

PedidoTables::PedidoTables() {
  mt_pedido_.AddFieldDef("IdPedido", FieldType::kInteger);
  mt_pedido_.AddFieldDef("Cliente", FieldType::kString, 70);
  mt_pedido_.AddFieldDef("DtEmissao", FieldType::kDate);
  mt_pedido_.AddFieldDef("DtEntrega", FieldType::kDate);
  mt_pedido_.AddFieldDef("VlTotalPedido", FieldType::kFloat);

  mt_pedido_itens_.AddFieldDef("IdPedido", FieldType::kInteger);
  mt_pedido_itens_.AddFieldDef("IdPedidoItem", FieldType::kInteger);
  mt_pedido_itens_.AddFieldDef("Referencia", FieldType::kString, 20);
  mt_pedido_itens_.AddFieldDef("DescricaoItem", FieldType::kString, 100);
  mt_pedido_itens_.AddFieldDef("Quantidade", FieldType::kFloat);
  mt_pedido_itens_.AddFieldDef("QuantSeparacao", FieldType::kFloat);

  mt_pedido_itens_conferencia_.AddFieldDef("IdPedido", FieldType::kInteger);
  mt_pedido_itens_conferencia_.AddFieldDef("IdPedidoItem", FieldType::kInteger);
  mt_pedido_itens_conferencia_.AddFieldDef("Referencia", FieldType::kString,
                                           20);
  mt_pedido_itens_conferencia_.AddFieldDef("DescricaoItem", FieldType::kString,
                                           100);
  mt_pedido_itens_conferencia_.AddFieldDef("Quantidade", FieldType::kFloat);
  mt_pedido_itens_conferencia_.AddFieldDef("QuantSeparada", FieldType::kFloat);
  mt_pedido_itens_conferencia_.AddFieldDef("QuantConferida", FieldType::kFloat);

  // Picking items carry no order key in answers.
  mt_pedido_itens_.Open();
  mt_pedido_itens_.FieldByName("IdPedido").SetVisible(false);
}

void PedidoTables::OpenEmpty() {
  for (MemTable* t :
       {&mt_pedido_, &mt_pedido_itens_, &mt_pedido_itens_conferencia_}) {
    t->Open();
    t->EmptyDataSet();
  }
}

void PedidoTables::Link(MemTable& detail, MemTable& master) {
  detail.SetMasterSource(&master);
  detail.SetMasterFields("IdPedido");
  detail.SetDetailFields("IdPedido");
  detail.SetIndexFieldNames("IdPedido");
}

void PedidoTables::InitializaMasterDetail() {
  OpenEmpty();
  Link(mt_pedido_itens_, mt_pedido_);
}

void PedidoTables::InitializaMasterDetailConferencia() {
  OpenEmpty();
  Link(mt_pedido_itens_conferencia_, mt_pedido_);
}

}  // namespace norvessa
