#include "controllers/pedido_novo.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "controllers/controller_support.h"
#include "controllers/pedido_sql.h"
#include "controllers/produto_controller.h"
#include "controllers/result_message.h"
#include "db/unit_of_work.h"
#include "json/json_document.h"
#include "serialize/dataset_error.h"
#include "serialize/mem_table.h"
#include "text/number_text.h"

namespace norvessa {
namespace {

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
    throw InputError("Item key '" + std::string(key) + "' not found");
  }
  return ValueText(*v);
}

double ItemNumber(const JsonDocument::Value& item, std::string_view key) {
  const std::string text = ItemText(item, key);
  const auto number = TryParseFloat(text);
  if (!number) throw InputError(NotAValidFloat(text));
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
    throw InputError("The order has no \"itens\" array");
  }
  std::int64_t n = 0;
  for (const JsonDocument::Value item : itens->children()) {
    if (!item.IsObject()) throw InputError("An item is not an object");
    ++n;
    const std::string id_text = ItemText(item, "idproduto");
    const auto id_produto = TryParseInteger(id_text, INT32_MIN, INT32_MAX);
    if (!id_produto) throw InputError(NotAValidInteger(id_text));
    std::string unmed = ItemText(item, "unmed");
    if (unmed.empty()) {
      unmed = ProdutoController::UnidadeMedida(
          uow, static_cast<std::int32_t>(*id_produto));
    }
    Query qry(uow);
    AddItemInsertLines(qry.SQL());
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

// The order's values from the body, into the insert's parameters.
void SetOrderParams(Query& qry, const MemTable& body) {
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
}

std::atomic<std::uint64_t> orders_created{0};
std::atomic<std::uint64_t> orders_failed{0};

}  // namespace

OrderCounts OrderCounters() {
  return {orders_created.load(std::memory_order_relaxed),
          orders_failed.load(std::memory_order_relaxed)};
}

void SalvarPedido(ConnectionPool& pool, ApiRequest& req, ApiResponse& res) {
  MemTable body;
  bool created = false;
  // Whatever way the request ends without the commit, it is a failed order.
  struct Outcome {
    const bool& created;
    ~Outcome() {
      (created ? orders_created : orders_failed)
          .fetch_add(1, std::memory_order_relaxed);
    }
  } outcome{created};
  RunHandler(pool, req, res, ResultObject(kErroExcept, "Erro no Pedido!"), 404,
             {.body = &body, .work = [&](UnitOfWork& uow) {
                // One unit of work and one transaction: the order and all its
                // items are stored together or not at all, under the key of
                // this very insert.
                uow.Begin();
                Query qry(uow);
                AddOrderInsertLines(qry.SQL());
                SetOrderParams(qry, body);
                const std::int64_t id_pedido = qry.ExecInsert();
                SalvarItensPedido(uow, id_pedido, req);
                uow.Commit();
                created = true;
                res.Send(ResultObject(kResult, FormatInteger(id_pedido)));
              }});
}

}  // namespace norvessa
