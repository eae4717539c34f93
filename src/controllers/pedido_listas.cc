#include "controllers/pedido_listas.h"

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#include "controllers/controller_support.h"
#include "controllers/pedido_tables.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"
#include "serialize/mem_table.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

// A number as SQL Server reads a numeric literal: plain decimal digits
// with "." (no exponent, no group separators), the shortest text that
// reads back as the same number. "1e3" gives 1000, "1,5" and "1.50" give
// 1.5.
std::string PlainDecimal(double value) {
  // The longest fixed text of a double (5e-324) is under 330 characters.
  char buf[512];
  const auto [end, ec] =
      std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  if (ec != std::errc()) throw ConvertError(NotAValidFloat(FormatFloat(value)));
  return std::string(buf, end);
}

// The rows, in order and item order, as the orders with their items
// nested: an order's row comes with its first item.
void AnswerNested(OrderStage stage, Query& qry, ApiResponse& res) {
  const bool picking = stage == OrderStage::kPicking;
  PedidoTables tables;
  if (picking) {
    tables.InitializaMasterDetail();
  } else {
    tables.InitializaMasterDetailConferencia();
  }
  MemTable& orders = tables.mt_pedido();
  MemTable& items =
      picking ? tables.mt_pedido_itens() : tables.mt_pedido_itens_conferencia();
  // Fields are found once; each follows its cursor.
  const Field& q_id = qry.FieldByName("IdPedido");
  const Field& q_emissao = qry.FieldByName("DtEmissao");
  const Field& q_entrega = qry.FieldByName("DtEntrega");
  const Field& q_cliente = qry.FieldByName("Cliente");
  const Field& q_total = qry.FieldByName("VlTotalPedido");
  const Field& q_item = qry.FieldByName("IdPedidoItem");
  const Field& q_referencia = qry.FieldByName("Referencia");
  const Field& q_descricao = qry.FieldByName("DescricaoItem");
  const Field& q_quantidade = qry.FieldByName("Quantidade");
  const Field& q_separacao = qry.FieldByName("QuantSeparacao");
  const Field* q_conferida =
      picking ? nullptr : &qry.FieldByName("QuantConferida");
  Field& o_id = orders.FieldByName("IdPedido");
  Field& o_emissao = orders.FieldByName("DtEmissao");
  Field& o_entrega = orders.FieldByName("DtEntrega");
  Field& o_cliente = orders.FieldByName("Cliente");
  Field& o_total = orders.FieldByName("VlTotalPedido");
  Field& i_pedido = items.FieldByName("IdPedido");
  Field& i_item = items.FieldByName("IdPedidoItem");
  Field& i_referencia = items.FieldByName("Referencia");
  Field& i_descricao = items.FieldByName("DescricaoItem");
  Field& i_quantidade = items.FieldByName("Quantidade");
  Field& i_separacao =
      items.FieldByName(picking ? "QuantSeparacao" : "QuantSeparada");
  Field* i_conferida = picking ? nullptr : &items.FieldByName("QuantConferida");
  std::optional<std::int32_t> current;
  while (!qry.Eof()) {
    const std::int32_t id = q_id.AsInteger();
    if (current != id) {
      orders.Append();
      o_id.SetAsInteger(id);
      // Day/month/year texts; an order without a delivery date fails here.
      o_emissao.SetAsDateTime(q_emissao.AsDateTime());
      o_entrega.SetAsDateTime(q_entrega.AsDateTime());
      o_cliente.SetAsString(q_cliente.AsString());
      o_total.SetAsFloat(q_total.AsFloat());
      orders.Post();
      current = id;
    }
    items.Append();
    i_pedido.SetAsInteger(id);
    i_item.SetAsInteger(q_item.AsInteger());
    i_referencia.SetAsString(q_referencia.AsString());
    i_descricao.SetAsString(q_descricao.AsString());
    i_quantidade.SetAsFloat(q_quantidade.AsFloat());
    i_separacao.SetAsFloat(q_separacao.AsFloat());
    if (i_conferida != nullptr) {
      i_conferida->SetAsFloat(q_conferida->AsFloat());
    }
    items.Post();
    qry.Next();
  }
  res.SendJsonText(ToJSONArrayText(orders));
}

}  // namespace

void WaitingList(OrderStage stage, ConnectionPool& pool, ApiRequest& req,
                 ApiResponse& res) {
  RunHandler(
      pool, req, res, ResultArray(kErroExcept, kNenhumRegistro), 404,
      {.sql = [stage](SqlLines& sql) { AddWaitingListLines(sql, stage); },
       .answer =
           [&](Query& qry) {
             if (qry.IsEmpty()) {
               AnswerRows(qry, res, 400);
             } else {
               AnswerNested(stage, qry, res);
             }
           }});
}

void RecordQuantity(OrderStage stage, ConnectionPool& pool, ApiRequest& req,
                    ApiResponse& res) {
  const bool picking = stage == OrderStage::kPicking;
  const std::string failure =
      picking ? "Nenhum Pedido Separado!" : "Nenhum Pedido Conferido!";
  MemTable body;
  std::string id_pedido;
  std::string id_item;
  std::string quantity;
  const std::string column = picking ? "QtdEntregue" : "QtdConferida";
  RunHandler(
      pool, req, res, ResultObject(kErroExcept, failure), 404,
      {.body = &body,
       .admit =
           [&] {
             try {
               if (body.FieldByName("idpedido").AsInteger() == 0) {
                 res.Send(ResultObject(kResult, failure)).Status(400);
                 return false;
               }
             } catch (...) {
               res.Send(ResultObject(kErroExcept, failure)).Status(404);
               return false;
             }
             return true;
           },
       .prepare =
           [&] {
             id_pedido = body.FieldByName("idpedido").AsString();
             id_item = body.FieldByName("idpedidoitem").AsString();
             const std::string text =
                 body.FieldByName(picking ? "quantseparacao" : "quantconferida")
                     .AsString();
             // Read before any statement runs, so that a value that is not a
             // number changes nothing, and written back as the plain decimal
             // that SQL Server converts to the column's numeric type ("1e3"
             // it would not).
             const auto number = TryParseFloat(text);
             if (!number) throw InputError(NotAValidFloat(text));
             quantity = Quoted(PlainDecimal(*number));
           },
       .work =
           [&](UnitOfWork& uow) {
             Query qry(uow);
             // The addition, the item read back and the cap stand or fall
             // together. The database refuses a result beyond the column's
             // range; one below zero is read back and undone, the item's row
             // locked by the addition until the end, so that no other
             // request changes it in between.
             uow.Begin();
             AddQuantityUpdateLines(qry.SQL(), column, quantity, id_pedido,
                                    id_item);
             qry.ExecSQL();
             qry.SQL().Clear();
             AddQuantityReadLines(qry.SQL(), column, id_pedido, id_item);
             qry.Open();
             if (qry.IsEmpty()) {
               uow.Rollback();
               res.Send(ResultObject(kResult, "Pedido Não Localizado!"))
                   .Status(400);
               return;
             }
             if (qry.FieldByName(column).AsFloat() < 0) {
               throw InputError(column + " would fall below zero");
             }
             qry.Close();
             qry.SQL().Clear();
             AddQuantityCapLines(qry.SQL(), stage, id_pedido, id_item);
             qry.ExecSQL();
             uow.Commit();
             res.Send(ResultObject(kResult, "OK"));
           }});
}

}  // namespace norvessa
