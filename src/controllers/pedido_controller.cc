#include "controllers/pedido_controller.h"

#include <charconv>
#include <memory>
#include <optional>
#include <string>
#include <system_error>

#include "controllers/controller_support.h"
#include "controllers/pedido_tables.h"
#include "controllers/produto_controller.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
#include "json/json_document.h"
#include "serialize/dataset_error.h"
#include "serialize/dataset_export.h"
#include "serialize/mem_table.h"
#include "serialize/regional.h"

namespace norvessa {
namespace {

// The service writes its date literals month first.
std::string MonthDayYear(DateTime date) {
  return FormatDateTimePattern("mm/dd/yyyy", date);
}

// Orders issued after this day are picked and checked.
constexpr const char* kCutOff = "01/06/2021";

// The first lines of the order list.
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

// The text of a JSON value as the item fields read it: a string's content,
// a number as written.
std::string ValueText(const JsonDocument::Value& v) {
  switch (v.kind()) {
    case JsonKind::kString:
    case JsonKind::kNumber:
      return std::string(v.text());
    case JsonKind::kTrue:
      return "true";
    case JsonKind::kFalse:
      return "false";
    default:
      return {};
  }
}

// An item key, exact case; a missing one fails the order.
std::string ItemText(const JsonDocument::Value& item, std::string_view key) {
  const auto v = item.Find(key);
  if (!v) {
    throw DatabaseError("Item key '" + std::string(key) + "' not found");
  }
  return ValueText(*v);
}

double ItemNumber(const JsonDocument::Value& item, std::string_view key) {
  const std::string text = ItemText(item, key);
  const auto number = TryParseFloat(text);
  if (!number) throw ConvertError(NotAValidFloat(text));
  return *number;
}

// Stores the items of the body under the order, on the order's unit of
// work. The body the JSON body middleware parsed is read again as it is;
// another body is parsed here from its text.
void SalvarItensPedido(UnitOfWork& uow, std::int64_t id_pedido,
                       const ApiRequest& req) {
  std::optional<JsonDocument> parsed_here;
  const JsonDocument* body = req.BodyObject();
  if (!req.BodyParsed()) {
    parsed_here = JsonDocument::Parse(req.Body());
    body = parsed_here ? &*parsed_here : nullptr;
  }
  std::optional<JsonDocument::Value> itens;
  if (body != nullptr && body->Root().IsObject()) {
    itens = body->Root().Find("itens");
  }
  if (!itens || !itens->IsArray()) {
    throw DatabaseError("The order has no \"itens\" array");
  }
  std::int64_t n = 0;
  for (const JsonDocument::Value item : itens->children()) {
    if (!item.IsObject()) throw DatabaseError("An item is not an object");
    ++n;
    const std::string id_text = ItemText(item, "idproduto");
    const auto id_produto = TryParseInteger(id_text, INT32_MIN, INT32_MAX);
    if (!id_produto) throw ConvertError(NotAValidInteger(id_text));
    std::string unmed = ItemText(item, "unmed");
    if (unmed.empty()) {
      unmed = ProdutoController::UnidadeMedida(
          uow, static_cast<std::int32_t>(*id_produto));
    }
    Query qry(uow);
    qry.SQL()
        .Add(
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
    qry.ParamByName("IdEmpresa").SetAsString(ItemText(item, "idempresa"));
    qry.ParamByName("IdUsuario").SetAsString(ItemText(item, "idusuario"));
    qry.ParamByName("Situacao").SetAsInteger(1);
    qry.ParamByName("IdPedido").SetAsInteger(id_pedido);
    qry.ParamByName("NumDocEstoque").SetAsInteger(0);
    qry.ParamByName("NumItem").SetAsInteger(n);
    qry.ParamByName("IdProduto").SetAsInteger(*id_produto);
    qry.ParamByName("NumCodBarrasUsado")
        .SetAsString(ItemText(item, "numcodbarrasusado"));
    qry.ParamByName("UnMed").SetAsString(unmed);
    qry.ParamByName("DescricaoItem")
        .SetAsString(ItemText(item, "descricaoitem"));
    qry.ParamByName("Quantidade").SetAsFloat(ItemNumber(item, "quantidade"));
    qry.ParamByName("VlUnitario").SetAsFloat(ItemNumber(item, "vlunitario"));
    qry.ParamByName("VlTotal").SetAsFloat(ItemNumber(item, "vltotal"));
    qry.ParamByName("PcDesconto").SetAsFloat(0);
    qry.ParamByName("PcAcrescimo").SetAsFloat(0);
    qry.ExecSQL();
  }
}

}  // namespace

void PedidoController::Registry(ApiCore& api, ConnectionPool& conexao) {
  auto c = std::make_shared<PedidoController>(conexao);
  using Handler = void (PedidoController::*)(ApiRequest&, ApiResponse&,
                                             const std::function<void()>&);
  auto bind = [c](Handler h) {
    return [c, h](ApiRequest& req, ApiResponse& res,
                  const std::function<void()>& next) {
      ((*c).*h)(req, res, next);
    };
  };
  api.Post("/pedidos", bind(&PedidoController::Pedidos));
  api.Get("/pedidos/separacao", bind(&PedidoController::PedidosSeparacao));
  api.Post("/pedidos/separados", bind(&PedidoController::PedidosSeparados));
  api.Get("/pedidos/conferencia", bind(&PedidoController::PedidosConferencia));
  api.Post("/pedidos/conferidos", bind(&PedidoController::PedidosConferidos));
  api.Get("/pedidos/:idpedido", bind(&PedidoController::PedidoId));
  api.Post("/pedidos/novo", bind(&PedidoController::PedidoNovo));
}

void PedidoController::Pedidos(ApiRequest& req, ApiResponse& res,
                               const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  const bool limite_registros = FieldIsFilled(body, "inicio");
  const bool tem_pesquisa = FieldIsFilled(body, "perinicial");
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    AddOrderListLines(qry.SQL());
    qry.SQL().Add("and PI.Situacao = 1");
    if (limite_registros) {
      if (tem_pesquisa) {
        const DateTime inicial = body.FieldByName("perinicial").AsDateTime();
        const DateTime final_ = body.FieldByName("perfinal").AsDateTime();
        qry.SQL().Add("and P.DtEmissao >= " +
                      Quoted(MonthDayYear(inicial.DatePart())));
        qry.SQL().Add("and P.DtEmissao <= " +
                      Quoted(MonthDayYear(final_.DatePart()) + " 23:59:59"));
      }
      const std::string status = body.FieldByName("status").AsString();
      if (status == "Outros") {
        for (const char* excluded : {"Aberto", "Cancelado", "Entregue"}) {
          qry.SQL().Add("and P.Status <> " + Quoted(excluded));
        }
      } else {
        qry.SQL().Add("and P.Status = " + Quoted(status));
      }
      qry.SQL().Add("order by P.IdPedido");
      qry.SQL().Add(PagingLine(body.FieldByName("inicio").AsInteger(),
                               body.FieldByName("quantidadereg").AsInteger()));
    }
    qry.Open();
    if (!qry.IsEmpty()) {
      res.SendJsonText(ToJSONArrayText(qry));
    } else {
      res.Send(ResultArray(kResult, kNenhumRegistro)).Status(400);
    }
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro)).Status(404);
  }
}

void PedidoController::WaitingList(Stage stage, ApiRequest& req,
                                   ApiResponse& res) {
  const bool picking = stage == Stage::kPicking;
  try {
    UnitOfWork uow(conexao_);
    Query qry(uow);
    // One statement with a fixed text: the waiting orders joined to all
    // their active items. Orders and items are read together, so no order
    // loses its items to a change made between two reads, and the server
    // keeps one plan for every request.
    qry.SQL()
        .Add(
            "select P.IdPedido, CONVERT(Varchar(10), P.DtEmissao, 103) as "
            "DtEmissao,")
        .Add(
            "CONVERT(Varchar(10), P.DtSaidaInicial, 103) as DtEntrega, "
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
    qry.Open();
    if (qry.IsEmpty()) {
      res.Send(ResultArray(kResult, kNenhumRegistro)).Status(400);
      return;
    }
    PedidoTables tables;
    if (picking) {
      tables.InitializaMasterDetail();
    } else {
      tables.InitializaMasterDetailConferencia();
    }
    MemTable& orders = tables.mt_pedido();
    MemTable& items = picking ? tables.mt_pedido_itens()
                              : tables.mt_pedido_itens_conferencia();
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
    Field* i_conferida =
        picking ? nullptr : &items.FieldByName("QuantConferida");
    // Rows leave in order and item order: an order's row comes with its
    // first item.
    std::optional<std::int32_t> current;
    while (!qry.Eof()) {
      const std::int32_t id = q_id.AsInteger();
      if (current != id) {
        orders.Append();
        o_id.SetAsInteger(id);
        // Day/month/year texts; an order without a delivery date fails
        // here.
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
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultArray(kErroExcept, kNenhumRegistro)).Status(404);
  }
}

void PedidoController::PedidosSeparacao(ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>&) {
  WaitingList(Stage::kPicking, req, res);
}

void PedidoController::PedidosConferencia(ApiRequest& req, ApiResponse& res,
                                          const std::function<void()>&) {
  WaitingList(Stage::kChecking, req, res);
}

void PedidoController::RecordQuantity(Stage stage, ApiRequest& req,
                                      ApiResponse& res) {
  const bool picking = stage == Stage::kPicking;
  const std::string failure =
      picking ? "Nenhum Pedido Separado!" : "Nenhum Pedido Conferido!";
  MemTable body;
  LoadBody(req, body);
  try {
    if (body.FieldByName("idpedido").AsInteger() == 0) {
      res.Send(ResultObject(kResult, failure)).Status(400);
      return;
    }
  } catch (...) {
    res.Send(ResultObject(kErroExcept, failure)).Status(404);
    return;
  }
  try {
    const std::string id_pedido =
        Quoted(body.FieldByName("idpedido").AsString());
    const std::string id_item =
        Quoted(body.FieldByName("idpedidoitem").AsString());
    const std::string text =
        body.FieldByName(picking ? "quantseparacao" : "quantconferida")
            .AsString();
    // Read before any statement runs, so that a value that is not a number
    // changes nothing, and written back as the plain decimal that SQL
    // Server converts to the column's numeric type ("1e3" it would not).
    const auto number = TryParseFloat(text);
    if (!number) throw ConvertError(NotAValidFloat(text));
    const std::string quantity = PlainDecimal(*number);
    const std::string column = picking ? "QtdEntregue" : "QtdConferida";

    UnitOfWork uow(conexao_);
    Query qry(uow);
    // The addition, the item read back and the cap stand or fall together.
    // The database refuses a result beyond the column's range; one below
    // zero is read back and undone, the item's row locked by the addition
    // until the end, so that no other request changes it in between.
    uow.Begin();
    qry.SQL()
        .Add("update PedidoItem set " + column + " = " + column + " + " +
             Quoted(quantity))
        .Add("where IdPedido = " + id_pedido)
        .Add("and IdPedidoItem = " + id_item);
    qry.ExecSQL();
    qry.SQL().Clear();
    qry.SQL()
        .Add("select IdPedido, " + column + " from PedidoItem")
        .Add("where IdPedido = " + id_pedido)
        .Add("and IdPedidoItem = " + id_item);
    qry.Open();
    if (qry.IsEmpty()) {
      uow.Rollback();
      res.Send(ResultObject(kResult, "Pedido Não Localizado!")).Status(400);
      return;
    }
    if (qry.FieldByName(column).AsFloat() < 0) {
      throw DatabaseError(column + " would fall below zero");
    }
    qry.Close();
    qry.SQL().Clear();
    qry.SQL()
        .Add(picking ? "update PedidoItem set QtdEntregue = Quantidade"
                     : "update PedidoItem set QtdConferida = QtdEntregue")
        .Add("where IdPedido = " + id_pedido)
        .Add("and IdPedidoItem = " + id_item)
        .Add(picking ? "and QtdEntregue > Quantidade"
                     : "and QtdConferida > QtdEntregue");
    qry.ExecSQL();
    uow.Commit();
    res.Send(ResultObject(kResult, "OK"));
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultObject(kErroExcept, failure)).Status(404);
  }
}

void PedidoController::PedidosSeparados(ApiRequest& req, ApiResponse& res,
                                        const std::function<void()>&) {
  RecordQuantity(Stage::kPicking, req, res);
}

void PedidoController::PedidosConferidos(ApiRequest& req, ApiResponse& res,
                                         const std::function<void()>&) {
  RecordQuantity(Stage::kChecking, req, res);
}

void PedidoController::PedidoId(ApiRequest& req, ApiResponse& res,
                                const std::function<void()>&) {
  try {
    const std::string id = Int32Text(req.Params().Value("idpedido"));
    UnitOfWork uow(conexao_);
    Query qry(uow);
    qry.SQL()
        .Add(
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
        .Add("and PI.Situacao = 1")
        .Add("and P.IdPedido = " + id);
    qry.Open();
    AnswerRow(qry, res, 400);
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultObject(kErroExcept, kNenhumRegistro)).Status(404);
  }
}

void PedidoController::PedidoNovo(ApiRequest& req, ApiResponse& res,
                                  const std::function<void()>&) {
  MemTable body;
  LoadBody(req, body);
  try {
    // One unit of work and one transaction: the order and all its items
    // are stored together or not at all, under the key of this very
    // insert.
    UnitOfWork uow(conexao_);
    uow.Begin();
    Query qry(uow);
    qry.SQL()
        .Add(
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
    auto with_time_of_day = [](DateTime date) {
      return DateTime::FromMilliseconds(
          date.DatePart().milliseconds() +
          DateTime::Now().TimePart().milliseconds());
    };
    qry.ParamByName("IdEmpresa")
        .SetAsString(body.FieldByName("IdEmpresa").AsString());
    qry.ParamByName("IdUsuario")
        .SetAsString(body.FieldByName("IdUsuario").AsString());
    qry.ParamByName("Situacao").SetAsInteger(1);
    qry.ParamByName("Status").SetAsString("Aberto");
    qry.ParamByName("Origem").SetAsString("APP");
    qry.ParamByName("DtEmissao")
        .SetAsDateTime(body.FieldByName("DtEmissao").AsDateTime());
    qry.ParamByName("DtSaidaInicial")
        .SetAsDateTime(
            with_time_of_day(body.FieldByName("DtSaidaInicial").AsDateTime()));
    qry.ParamByName("DtSaidaFinal")
        .SetAsDateTime(
            with_time_of_day(body.FieldByName("DtSaidaFinal").AsDateTime()));
    qry.ParamByName("IdFiscalMovimento").SetAsInteger(0);
    qry.ParamByName("NumPedido").SetAsString("");
    qry.ParamByName("IdCliente")
        .SetAsInteger(body.FieldByName("IdCliente").AsInteger());
    qry.ParamByName("IdVendedor").SetAsInteger(0);
    qry.ParamByName("PcAcrescimo").SetAsFloat(0);
    qry.ParamByName("PcDesconto").SetAsFloat(0);
    qry.ParamByName("VlTotalPedido")
        .SetAsFloat(body.FieldByName("VlTotalPedido").AsFloat());
    qry.ParamByName("Observacao")
        .SetAsString(body.FieldByName("Observacao").AsString());
    const std::int64_t id_pedido = qry.ExecInsert();
    SalvarItensPedido(uow, id_pedido, req);
    uow.Commit();
    res.Send(ResultObject(kResult, FormatInteger(id_pedido)));
  } catch (...) {
    LogGuardedFailure(req);
    res.Send(ResultObject(kErroExcept, "Erro no Pedido!")).Status(404);
  }
}

}  // namespace norvessa
