#include "controllers/pedido_sql.h"

#include "controllers/controller_support.h"
#include "text/date_text.h"

namespace norvessa {
namespace {

// The service writes its date literals month first.
std::string MonthDayYear(DateTime date) {
  return FormatDateTimePattern("mm/dd/yyyy", date);
}

// Orders issued after this day are picked and checked.
constexpr const char* kCutOff = "01/06/2021";

}  // namespace

void AddOrderListLines(SqlLines& sql) {
  sql.Add(
         "select Distinct P.IdPedido, CONVERT(Varchar(10), P.DtEmissao, 103) "
         "as DtEmissao,")
      .Add(
          "CONVERT(Varchar(10), P.DtSaidaInicial, 103) as DtEntrega, "
          "C.Pessoa as Cliente,")
      .Add("P.VlTotalPedido, P.Status from Pedido P")
      .Add("join Pessoa C on (C.IdPessoa = P.IdCliente)")
      .Add("join PedidoItem PI on (PI.IdPedido = P.IdPedido)")
      .Add("where P.Situacao = 1");
}

void AddOrderPeriodLines(SqlLines& sql, DateTime inicial, DateTime final_) {
  sql.Add("and P.DtEmissao >= " + Quoted(MonthDayYear(inicial.DatePart())));
  sql.Add("and P.DtEmissao <= " +
          Quoted(MonthDayYear(final_.DatePart()) + " 23:59:59"));
}

void AddOrderStatusLines(SqlLines& sql, const std::string& status) {
  if (status == "Outros") {
    for (const char* excluded : {"Aberto", "Cancelado", "Entregue"}) {
      sql.Add("and P.Status <> " + Quoted(excluded));
    }
  } else {
    sql.Add("and P.Status = " + Quoted(status));
  }
}

void AddWaitingListLines(SqlLines& sql, OrderStage stage) {
  const bool picking = stage == OrderStage::kPicking;
  // Orders and items are read together, so no order loses its items to a
  // change made between two reads, and the server keeps one plan for every
  // request.
  // The dates come as they are stored, and each order's are turned into
  // days once, not once per item row.
  sql.Add(
         "select P.IdPedido, P.DtEmissao, P.DtSaidaInicial as DtEntrega, "
         "C.Pessoa as Cliente,")
      .Add(
          "P.VlTotalPedido, PI.IdPedidoItem, PI.NumCodBarrasUsado as "
          "Referencia, PI.DescricaoItem,")
      .Add(picking ? "PI.Quantidade, PI.QtdEntregue as QuantSeparacao from "
                     "Pedido P"
                   : "PI.Quantidade, PI.QtdEntregue as QuantSeparacao, "
                     "PI.QtdConferida as QuantConferida from Pedido P")
      .Add("join Pessoa C on (C.IdPessoa = P.IdCliente)")
      .Add("join PedidoItem PI on (PI.IdPedido = P.IdPedido)")
      .Add("where P.Situacao = 1")
      .Add("and P.DtEmissao > " +
           Quoted(MonthDayYear(*TryParseRegionalDateTime(kCutOff))))
      .Add("and PI.Situacao = 1")
      .Add("and exists (select 1 from PedidoItem PE")
      .Add("where PE.IdPedido = P.IdPedido")
      .Add("and PE.Situacao = 1")
      .Add(picking ? "and (PE.QtdEntregue < PE.Quantidade))"
                   : "and (PE.QtdConferida < PE.QtdEntregue))")
      .Add("order by P.IdPedido, PI.IdPedidoItem");
}

namespace {

// "where IdPedido = ?" and "and IdPedidoItem = ?".
void AddItemKeyLines(SqlLines& sql, const std::string& id_pedido,
                     const std::string& id_item) {
  AddComparedLine(sql, "where IdPedido = ", id_pedido);
  AddComparedLine(sql, "and IdPedidoItem = ", id_item);
}

}  // namespace

void AddQuantityUpdateLines(SqlLines& sql, const std::string& column,
                            const std::string& quantity,
                            const std::string& id_pedido,
                            const std::string& id_item) {
  sql.Add("update PedidoItem set " + column + " = " + column + " + " +
          quantity);
  AddItemKeyLines(sql, id_pedido, id_item);
}

void AddQuantityReadLines(SqlLines& sql, const std::string& column,
                          const std::string& id_pedido,
                          const std::string& id_item) {
  sql.Add("select IdPedido, " + column + " from PedidoItem");
  AddItemKeyLines(sql, id_pedido, id_item);
}

void AddQuantityCapLines(SqlLines& sql, OrderStage stage,
                         const std::string& id_pedido,
                         const std::string& id_item) {
  const bool picking = stage == OrderStage::kPicking;
  sql.Add(picking ? "update PedidoItem set QtdEntregue = Quantidade"
                  : "update PedidoItem set QtdConferida = QtdEntregue");
  AddItemKeyLines(sql, id_pedido, id_item);
  sql.Add(picking ? "and QtdEntregue > Quantidade"
                  : "and QtdConferida > QtdEntregue");
}

void AddOrderDetailLines(SqlLines& sql) {
  sql.Add(
         "select P.IdPedido, CONVERT(Varchar(10), P.DtEmissao, 103) as "
         "DtEmissao,")
      .Add(
          "CONVERT(Varchar(10), P.DtSaidaInicial, 103) as DtEntrega, "
          "C.Pessoa as Cliente,")
      .Add(
          "P.VlTotalPedido, PI.IdPedidoItem, PI.NumCodBarrasUsado, "
          "PI.DescricaoItem,")
      .Add("PI.Quantidade, PI.QtdEntregue, PI.QtdConferida from Pedido P")
      .Add("join Pessoa C on (C.IdPessoa = P.IdCliente)")
      .Add("join PedidoItem PI on (PI.IdPedido = P.IdPedido)")
      .Add("where P.Situacao = 1")
      .Add("and PI.Situacao = 1");
}

void AddOrderInsertLines(SqlLines& sql) {
  sql.Add(
         "Insert Into Pedido(IdEmpresa, IdUsuario, Situacao, Status, "
         "Origem, DtEmissao, DtSaidaInicial, DtSaidaFinal, "
         "IdFiscalMovimento,")
      .Add(
          "NumPedido, IdCliente, IdVendedor, PcAcrescimo, PcDesconto, "
          "VlTotalPedido, Observacao) ")
      .Add(
          "Values (:IdEmpresa, :IdUsuario, :Situacao, :Status, :Origem, "
          ":DtEmissao, :DtSaidaInicial, :DtSaidaFinal, :IdFiscalMovimento,")
      .Add(
          ":NumPedido, :IdCliente, :IdVendedor, :PcAcrescimo, :PcDesconto, "
          ":VlTotalPedido, :Observacao)");
}

void AddItemInsertLines(SqlLines& sql) {
  sql.Add(
         "Insert Into PedidoItem(IdEmpresa, IdUsuario, Situacao, IdPedido, "
         "NumDocEstoque, NumItem,")
      .Add(
          "IdProduto, NumCodBarrasUsado, UnMed, DescricaoItem, Quantidade, "
          "VlUnitario, VlTotal, PcDesconto, PcAcrescimo) ")
      .Add(
          "Values (:IdEmpresa, :IdUsuario, :Situacao, :IdPedido, "
          ":NumDocEstoque, :NumItem,")
      .Add(
          ":IdProduto, :NumCodBarrasUsado, :UnMed, :DescricaoItem, "
          ":Quantidade, :VlUnitario, :VlTotal, :PcDesconto, :PcAcrescimo)");
}

}  // namespace norvessa
