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
#include "text/date_text.h"
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

// The orders and their items, in order and item order, as the statement
// gives them: an order's row comes with each of its items. One order at a
// time is held in the tables, its JSON object written out when the next
// begins, so the answer's text is all that grows. Empty when there are no
// rows.
std::string NestedOrdersText(OrderStage stage, Query& qry,
                             AnswerSizeHint& hint) {
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

  // The query's fields, found once the statement has described them.
  struct Columns {
    const Field* id;
    const Field* emissao;
    const Field* entrega;
    const Field* cliente;
    const Field* total;
    const Field* item;
    const Field* referencia;
    const Field* descricao;
    const Field* quantidade;
    const Field* separacao;
    const Field* conferida;
  } q{};
  std::string out;
  std::optional<std::int32_t> current;
  auto flush = [&] {
    if (!current) return;
    out.push_back(out.empty() ? '[' : ',');
    AppendJSONObjectText(out, orders);
    orders.EmptyDataSet();
    items.EmptyDataSet();
  };
  // The day of a date; an order without one fails the list.
  auto day = [](const Field& field) {
    if (field.IsNull()) throw ConvertError(NotAValidDateTime(""));
    return field.AsDateTime().DatePart();
  };
  qry.OpenEach(
      [&] {
        // A fresh start on another connection drops what was read.
        out.clear();
        // The last answer's size and a little more: the text is rarely
        // moved while it grows.
        const std::size_t last = hint.load(std::memory_order_relaxed);
        if (last > 0) out.reserve(last + last / 64);
        current.reset();
        orders.EmptyDataSet();
        items.EmptyDataSet();
        q = {&qry.FieldByName("IdPedido"),
             &qry.FieldByName("DtEmissao"),
             &qry.FieldByName("DtEntrega"),
             &qry.FieldByName("Cliente"),
             &qry.FieldByName("VlTotalPedido"),
             &qry.FieldByName("IdPedidoItem"),
             &qry.FieldByName("Referencia"),
             &qry.FieldByName("DescricaoItem"),
             &qry.FieldByName("Quantidade"),
             &qry.FieldByName("QuantSeparacao"),
             picking ? nullptr : &qry.FieldByName("QuantConferida")};
      },
      [&] {
        const std::int32_t id = q.id->AsInteger();
        if (current != id) {
          flush();
          orders.Append();
          o_id.SetAsInteger(id);
          o_emissao.SetAsDateTime(day(*q.emissao));
          o_entrega.SetAsDateTime(day(*q.entrega));
          o_cliente.SetAsString(q.cliente->AsString());
          o_total.SetAsFloat(q.total->AsFloat());
          orders.Post();
          current = id;
        }
        items.Append();
        i_pedido.SetAsInteger(id);
        i_item.SetAsInteger(q.item->AsInteger());
        i_referencia.SetAsString(q.referencia->AsString());
        i_descricao.SetAsString(q.descricao->AsString());
        i_quantidade.SetAsFloat(q.quantidade->AsFloat());
        i_separacao.SetAsFloat(q.separacao->AsFloat());
        if (i_conferida != nullptr) {
          i_conferida->SetAsFloat(q.conferida->AsFloat());
        }
        items.Post();
      });
  flush();
  if (!out.empty()) out.push_back(']');
  hint.store(out.size(), std::memory_order_relaxed);
  return out;
}

}  // namespace

void WaitingList(OrderStage stage, ConnectionPool& pool, AnswerSizeHint& hint,
                 ApiRequest& req, ApiResponse& res) {
  RunHandler(pool, req, res, ResultArray(kErroExcept, kNenhumRegistro), 404,
             {.work = [&](UnitOfWork& uow) {
               Query qry(uow);
               AddWaitingListLines(qry.SQL(), stage);
               // Read whole, and the statement let go of, before the answer
               // goes.
               std::string text = NestedOrdersText(stage, qry, hint);
               if (text.empty()) {
                 res.Send(ResultArray(kResult, kNenhumRegistro)).Status(400);
               } else {
                 res.SendJsonText(std::move(text));
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
