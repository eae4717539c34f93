#include "app/openapi.h"

#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/version.h"
#include "controllers/result_message.h"
#include "framework/dispatch_bridge.h"
#include "framework/method_type.h"
#include "json/json_value.h"

namespace norvessa {
namespace {

// ---------------------------------------------------------------------------
// Building JSON values tersely.

using Pairs = std::initializer_list<std::pair<std::string_view, JsonValue>>;

JsonValue Text(std::string_view text) {
  return JsonValue::String(std::string(text));
}

JsonValue Object(Pairs pairs) {
  JsonValue object = JsonValue::Object();
  for (const auto& [key, value] : pairs)
    object.AddPair(std::string(key), value);
  return object;
}

JsonValue Texts(std::initializer_list<std::string_view> texts) {
  JsonValue array = JsonValue::Array();
  for (std::string_view text : texts) array.Add(Text(text));
  return array;
}

JsonValue Ref(std::string_view section, std::string_view name) {
  return Object({{"$ref", Text("#/components/" + std::string(section) + "/" +
                               std::string(name))}});
}

// ---------------------------------------------------------------------------
// The text: two blanks per level, UTF-8 kept as it is, arrays of plain
// values on one line.

void AppendString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04X",
                        static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

bool IsContainer(const JsonValue& value) {
  return value.IsArray() || value.IsObject();
}

void AppendValue(std::string& out, const JsonValue& value, int depth) {
  const std::string indent(2 * (depth + 1), ' ');
  switch (value.kind()) {
    case JsonKind::kNull:
      out += "null";
      return;
    case JsonKind::kFalse:
      out += "false";
      return;
    case JsonKind::kTrue:
      out += "true";
      return;
    case JsonKind::kNumber:
      out += value.text();
      return;
    case JsonKind::kString:
      if (value.IsNullString()) {
        out += "null";
      } else {
        AppendString(out, value.text());
      }
      return;
    case JsonKind::kArray: {
      if (value.size() == 0) {
        out += "[]";
        return;
      }
      bool flat = true;
      for (const JsonValue& element : value.elements()) {
        flat = flat && !IsContainer(element);
      }
      out += flat ? "[" : "[\n";
      bool first = true;
      for (const JsonValue& element : value.elements()) {
        if (!first) out += flat ? ", " : ",\n";
        first = false;
        if (!flat) out += indent;
        AppendValue(out, element, depth + 1);
      }
      if (!flat) out += "\n" + std::string(2 * depth, ' ');
      out += "]";
      return;
    }
    case JsonKind::kObject: {
      if (value.size() == 0) {
        out += "{}";
        return;
      }
      out += "{\n";
      bool first = true;
      for (const JsonMember& member : value.members()) {
        if (!first) out += ",\n";
        first = false;
        out += indent;
        AppendString(out, member.key);
        out += ": ";
        AppendValue(out, member.value, depth + 1);
      }
      out += "\n" + std::string(2 * depth, ' ') + "}";
      return;
    }
  }
}

// A message as the client reads it, on one line, its letters unescaped.
std::string CompactText(const JsonValue& value) {
  std::string out;
  if (value.IsObject()) {
    out += "{";
    for (const JsonMember& member : value.members()) {
      if (out.size() > 1) out += ",";
      AppendString(out, member.key);
      out += ":";
      AppendString(out, member.value.text());
    }
    return out + "}";
  }
  out += "[";
  for (const JsonValue& element : value.elements()) {
    if (out.size() > 1) out += ",";
    AppendString(out, element.text());
  }
  return out + "]";
}

// ---------------------------------------------------------------------------
// Answer rows: every key the export writes, null values included, so every
// key is required; only the keys are never null.

enum class Col {
  kKey,            // integer, never null
  kInteger,        // integer or null
  kNumber,         // number or null
  kText,           // string or null
  kDate,           // "yyyy-mm-dd"
  kDateTime,       // "yyyy-mm-dd hh:nn:ss.zzz"
  kDayMonthYear,   // "dd/mm/yyyy", a text column of the SQL
  kPickingItems,   // the nested picking items
  kCheckingItems,  // the nested checking items
};

struct Column {
  std::string_view name;
  Col type;
};

struct RowSchema {
  std::string_view name;
  std::string_view description;
  std::vector<Column> columns;
  // Keys beyond the listed ones may follow (every column of a table).
  bool open = false;
};

JsonValue ColumnSchema(Col type) {
  const JsonValue yes = JsonValue::Bool(true);
  switch (type) {
    case Col::kKey:
      return Object({{"type", Text("integer")}});
    case Col::kInteger:
      return Object({{"type", Text("integer")}, {"nullable", yes}});
    case Col::kNumber:
      return Object({{"type", Text("number")}, {"nullable", yes}});
    case Col::kText:
      return Object({{"type", Text("string")}, {"nullable", yes}});
    case Col::kDate:
      return Object({{"type", Text("string")},
                     {"nullable", yes},
                     {"description", Text("yyyy-mm-dd")},
                     {"example", Text("2026-11-19")}});
    case Col::kDateTime:
      return Object({{"type", Text("string")},
                     {"nullable", yes},
                     {"description", Text("yyyy-mm-dd hh:nn:ss.zzz")},
                     {"example", Text("2026-11-19 00:00:00.000")}});
    case Col::kDayMonthYear:
      return Object({{"type", Text("string")},
                     {"nullable", yes},
                     {"description", Text("dd/mm/yyyy (SQL style 103)")},
                     {"example", Text("19/11/2026")}});
    case Col::kPickingItems:
      return Object({{"type", Text("array")},
                     {"items", Ref("schemas", "ItemSeparacao")},
                     {"description",
                      Text("All the order's active items, by idpedidoitem, "
                           "the fully picked ones included.")}});
    case Col::kCheckingItems:
      return Object({{"type", Text("array")},
                     {"items", Ref("schemas", "ItemConferencia")},
                     {"description",
                      Text("All the order's active items, by idpedidoitem, "
                           "the fully checked ones included.")}});
  }
  return JsonValue::Object();
}

const std::vector<RowSchema>& RowSchemas() {
  using C = Col;
  static const std::vector<RowSchema> schemas = {
      {"Usuario",
       "An active user. The password is sent: the apps check it themselves.",
       {{"idempresa", C::kInteger},
        {"idusuario", C::kKey},
        {"usuario", C::kText},
        {"senha", C::kText}}},
      {"Permissao",
       "A user's permissions on one protected object (1: granted).",
       {{"idempresa", C::kInteger},
        {"idusuario", C::kKey},
        {"usuario", C::kText},
        {"senha", C::kText},
        {"acesso", C::kText},
        {"acessar", C::kInteger},
        {"incluir", C::kInteger},
        {"alterar", C::kInteger},
        {"visualizar", C::kInteger}}},
      {"Cliente",
       "An active customer with one address of kind 'N' (a customer with "
       "several such addresses comes once per address).",
       {{"idpessoa", C::kKey},
        {"cliente", C::kText},
        {"cpfcnpj", C::kText},
        {"telefone", C::kText},
        {"fax", C::kText},
        {"celular", C::kText},
        {"rua", C::kText},
        {"numero", C::kText},
        {"bairro", C::kText},
        {"complemento", C::kText},
        {"cep", C::kText},
        {"cidade", C::kText},
        {"uf", C::kText},
        {"codmunicipio", C::kInteger},
        {"email", C::kText}}},
      {"Morador",
       "A customer row with its last collection and its registration "
       "(\"0\" when it has none).",
       {{"idpessoa", C::kKey},
        {"cliente", C::kText},
        {"cpfcnpj", C::kText},
        {"telefone", C::kText},
        {"fax", C::kText},
        {"celular", C::kText},
        {"rua", C::kText},
        {"numero", C::kText},
        {"bairro", C::kText},
        {"complemento", C::kText},
        {"cep", C::kText},
        {"cidade", C::kText},
        {"uf", C::kText},
        {"codmunicipio", C::kInteger},
        {"email", C::kText},
        {"ultimacoleta", C::kInteger},
        {"registroaux", C::kText}}},
      {"Grupo",
       "An active product group.",
       {{"idgrupo", C::kKey}, {"grupo", C::kText}}},
      {"GrupoId", "A group's key.", {{"idgrupo", C::kKey}}},
      {"Cidade",
       "An active city of the state.",
       {{"idcidade", C::kKey}, {"cidade", C::kText}}},
      {"Estado",
       "An active state.",
       {{"iduf", C::kKey}, {"uf", C::kText}, {"ufnome", C::kText}}},
      {"ProdutoLista",
       "One combination of an active product's grade, size and colour and "
       "payment-condition rows (a product comes once per combination); "
       "qtdestoque is the stock less the reservations.",
       {{"idproduto", C::kKey},
        {"produto", C::kText},
        {"referencia", C::kText},
        {"unmed", C::kText},
        {"grupo", C::kText},
        {"subgrupo", C::kText},
        {"linha", C::kText},
        {"sublinha", C::kText},
        {"marca", C::kText},
        {"ncmcodigo", C::kText},
        {"cfop", C::kText},
        {"tributacao", C::kText},
        {"codbarras", C::kText},
        {"local", C::kText},
        {"qtdestoque", C::kNumber},
        {"vlcompra", C::kNumber},
        {"vlcompracompra", C::kNumber},
        {"vlvenda", C::kNumber},
        {"vlpromocao", C::kNumber},
        {"vlvendaminimo", C::kNumber},
        {"pcmargemlucro", C::kNumber},
        {"pcdespesas", C::kNumber},
        {"dtiniciopromocao", C::kDateTime},
        {"dtfinalpromocao", C::kDateTime},
        {"idgradetamanhocores", C::kInteger},
        {"tamanho", C::kText},
        {"cor", C::kText},
        {"codbarrastam", C::kText},
        {"quantidade", C::kNumber},
        {"condicaopagamento", C::kText},
        {"vlvendacondicao", C::kNumber},
        {"tamanhounico", C::kText},
        {"corunica", C::kText}}},
      {"ProdutoDetalhe",
       "An active product: every column of the ERP's Produto table (keys "
       "lower-cased: idproduto, produto, referencia, idgrupo, ...), then "
       "the names and values around it.",
       {{"idproduto", C::kKey},
        {"produto", C::kText},
        {"grupo", C::kText},
        {"unmed", C::kText},
        {"subgrupo", C::kText},
        {"linha", C::kText},
        {"sublinha", C::kText},
        {"marca", C::kText},
        {"ncmcodigo", C::kText},
        {"cfop", C::kText},
        {"tributacao", C::kText},
        {"numcodbarra1", C::kText},
        {"local", C::kText},
        {"vlcompra", C::kNumber},
        {"vlcompracompra", C::kNumber},
        {"vlvenda", C::kNumber},
        {"vlpromocao", C::kNumber},
        {"vlvendaminimo", C::kNumber},
        {"pcmargemlucro", C::kNumber},
        {"pcdespesas", C::kNumber},
        {"dtiniciopromocao", C::kDateTime},
        {"dtfinalpromocao", C::kDateTime}},
       true},
      {"PedidoLista",
       "An active order with at least one active item.",
       {{"idpedido", C::kKey},
        {"dtemissao", C::kDayMonthYear},
        {"dtentrega", C::kDayMonthYear},
        {"cliente", C::kText},
        {"vltotalpedido", C::kNumber},
        {"status", C::kText}}},
      {"PedidoSeparacao",
       "An order waiting to be picked (issued after 01/06/2021, an active "
       "item not fully picked), its items nested.",
       {{"idpedido", C::kKey},
        {"cliente", C::kText},
        {"dtemissao", C::kDate},
        {"dtentrega", C::kDate},
        {"vltotalpedido", C::kNumber},
        {"pedidoitens", C::kPickingItems}}},
      {"ItemSeparacao",
       "An item to pick.",
       {{"idpedidoitem", C::kKey},
        {"referencia", C::kText},
        {"descricaoitem", C::kText},
        {"quantidade", C::kNumber},
        {"quantseparacao", C::kNumber}}},
      {"PedidoConferencia",
       "An order waiting to be checked (issued after 01/06/2021, an active "
       "item checked less than picked), its items nested.",
       {{"idpedido", C::kKey},
        {"cliente", C::kText},
        {"dtemissao", C::kDate},
        {"dtentrega", C::kDate},
        {"vltotalpedido", C::kNumber},
        {"pedidoitensconferencia", C::kCheckingItems}}},
      {"ItemConferencia",
       "An item to check.",
       {{"idpedido", C::kKey},
        {"idpedidoitem", C::kKey},
        {"referencia", C::kText},
        {"descricaoitem", C::kText},
        {"quantidade", C::kNumber},
        {"quantseparada", C::kNumber},
        {"quantconferida", C::kNumber}}},
      {"PedidoDetalhe",
       "An active order with one of its active items (whichever the "
       "database returns first).",
       {{"idpedido", C::kKey},
        {"dtemissao", C::kDayMonthYear},
        {"dtentrega", C::kDayMonthYear},
        {"cliente", C::kText},
        {"vltotalpedido", C::kNumber},
        {"idpedidoitem", C::kKey},
        {"numcodbarrasusado", C::kText},
        {"descricaoitem", C::kText},
        {"quantidade", C::kNumber},
        {"qtdentregue", C::kNumber},
        {"qtdconferida", C::kNumber}}},
  };
  return schemas;
}

JsonValue RowSchemaJson(const RowSchema& row) {
  JsonValue properties = JsonValue::Object();
  JsonValue required = JsonValue::Array();
  for (const Column& column : row.columns) {
    properties.AddPair(std::string(column.name), ColumnSchema(column.type));
    required.Add(Text(column.name));
  }
  return Object({{"type", Text("object")},
                 {"description", Text(row.description)},
                 {"required", required},
                 {"properties", properties},
                 {"additionalProperties", JsonValue::Bool(row.open)}});
}

// ---------------------------------------------------------------------------
// Request bodies: the fields a handler reads, and the forms it accepts.

enum class In {
  kText,     // a string; a JSON number is read as its digits
  kInteger,  // a JSON number or a text of decimal digits
  kNumber,   // a JSON number or a text with "." or "," as decimal separator
  kDate,     // a text d/m/yyyy, a time allowed after it
  kItems,    // the order's items
};

struct BodyField {
  std::string_view name;
  In kind;
  std::string_view description;
  // Needed for the route's success answer; without it the route answers
  // one of its messages.
  bool required = false;
};

constexpr std::string_view kDateForm =
    "A text, day first: d/m/yyyy (one or two digits for day and month; a "
    "two-digit year is 20yy below 50, else 19yy), optionally followed by a "
    "blank and a time h:nn[:ss[.zzz]]. A JSON number is not a date.";
constexpr std::string_view kNumberForm =
    "A JSON number, or a text with \".\" or \",\" as the one decimal "
    "separator (\"1,5\", \"1.5\"; an exponent is allowed, thousands "
    "separators are not).";
constexpr std::string_view kIntegerForm =
    "A JSON number or a text of decimal digits (an optional sign, blanks "
    "around it).";

JsonValue FieldSchema(const BodyField& field) {
  auto described = [&](JsonValue schema, std::string_view form) {
    std::string text(field.description);
    if (!form.empty()) text += (text.empty() ? "" : " ") + std::string(form);
    schema.AddPair("description", Text(text));
    return schema;
  };
  switch (field.kind) {
    case In::kText:
      return described(Object({{"type", Text("string")}}), {});
    case In::kInteger:
      return described(
          Object({{"oneOf", JsonValue::Array()
                                .Add(Object({{"type", Text("integer")}}))
                                .Add(Object({{"type", Text("string")},
                                             {"example", Text("12")}}))}}),
          kIntegerForm);
    case In::kNumber:
      return described(
          Object({{"oneOf", JsonValue::Array()
                                .Add(Object({{"type", Text("number")}}))
                                .Add(Object({{"type", Text("string")},
                                             {"example", Text("150,75")}}))}}),
          kNumberForm);
    case In::kDate:
      return described(
          Object({{"type", Text("string")}, {"example", Text("31/03/2024")}}),
          kDateForm);
    case In::kItems:
      return described(Object({{"type", Text("array")},
                               {"items", Ref("schemas", "PedidoNovoItem")}}),
                       {});
  }
  return JsonValue::Object();
}

JsonValue BodySchema(const std::vector<BodyField>& fields,
                     std::string_view description) {
  JsonValue properties = JsonValue::Object();
  JsonValue required = JsonValue::Array();
  for (const BodyField& field : fields) {
    properties.AddPair(std::string(field.name), FieldSchema(field));
    if (field.required) required.Add(Text(field.name));
  }
  JsonValue schema = Object({{"type", Text("object")}});
  if (!description.empty()) schema.AddPair("description", Text(description));
  if (required.size() > 0) schema.AddPair("required", required);
  schema.AddPair("properties", properties);
  return schema;
}

// ---------------------------------------------------------------------------
// Answers.

enum class Shape {
  kRows,          // an array of rows
  kRow,           // one row as an object
  kPairMessage,   // {"<key>":"<text>"}
  kArrayMessage,  // ["<key>","<text>"]
  kKeyInResult,   // {"Result":"<digits>"}
};

struct Answer {
  int status;
  Shape shape;
  std::string_view when;
  // The row schema, or the message's key.
  std::string_view name;
  // The message's text, or an example of the key.
  std::string_view text = {};
};

Answer Rows(int status, std::string_view schema, std::string_view when) {
  return {status, Shape::kRows, when, schema};
}
Answer Row(int status, std::string_view schema, std::string_view when) {
  return {status, Shape::kRow, when, schema};
}
Answer Pair(int status, std::string_view key, std::string_view text,
            std::string_view when) {
  return {status, Shape::kPairMessage, when, key, text};
}
Answer Two(int status, std::string_view key, std::string_view text,
           std::string_view when) {
  return {status, Shape::kArrayMessage, when, key, text};
}
Answer NewKey(std::string_view when, std::string_view example) {
  return {200, Shape::kKeyInResult, when, kResult, example};
}

bool IsArray(const Answer& answer) {
  return answer.shape == Shape::kRows || answer.shape == Shape::kArrayMessage;
}

JsonValue AnswerSchema(const Answer& answer) {
  switch (answer.shape) {
    case Shape::kRows:
      return Object({{"type", Text("array")},
                     {"minItems", JsonValue::Number(1)},
                     {"items", Ref("schemas", answer.name)}});
    case Shape::kRow:
      return Ref("schemas", answer.name);
    case Shape::kPairMessage:
      return Object(
          {{"type", Text("object")},
           {"required", Texts({answer.name})},
           {"properties",
            Object({{answer.name, Object({{"type", Text("string")},
                                          {"enum", Texts({answer.text})}})}})},
           {"additionalProperties", JsonValue::Bool(false)}});
    case Shape::kArrayMessage:
      return Object(
          {{"type", Text("array")},
           {"minItems", JsonValue::Number(2)},
           {"maxItems", JsonValue::Number(2)},
           {"items", Object({{"type", Text("string")},
                             {"enum", Texts({answer.name, answer.text})}})}});
    case Shape::kKeyInResult:
      return Object(
          {{"type", Text("object")},
           {"required", Texts({kResult})},
           {"properties",
            Object({{kResult, Object({{"type", Text("string")},
                                      {"pattern", Text("^-?[0-9]+$")}})}})},
           {"additionalProperties", JsonValue::Bool(false)}});
  }
  return JsonValue::Object();
}

// The body exactly as sent, for the fixed messages; nothing for rows.
std::optional<JsonValue> AnswerExample(const Answer& answer) {
  switch (answer.shape) {
    case Shape::kPairMessage:
    case Shape::kKeyInResult:
      return Object({{answer.name, Text(answer.text)}});
    case Shape::kArrayMessage:
      return Texts({answer.name, answer.text});
    default:
      return std::nullopt;
  }
}

// ---------------------------------------------------------------------------
// The routes, in registration order, as each Registry binds them.

struct Route {
  MethodType method;
  // As registered: "/pedidos/:idpedido".
  std::string_view pattern;
  std::string_view operation_id;
  std::string_view tag;
  std::string_view summary;
  std::string_view description;
  // The path parameter, when the pattern has one: an integer, else a text.
  bool integer_param = false;
  std::string_view param_description = {};
  // The handler loads the body (its failure to load answers 500).
  bool reads_body = false;
  bool body_required = false;
  std::string_view body_description = {};
  std::vector<BodyField> body = {};
  std::vector<Answer> answers = {};
};

constexpr std::string_view kNoRows = "the query found nothing";
constexpr std::string_view kFailed =
    "the query failed (the database, a value the SQL refuses); the cause is "
    "never sent";
constexpr std::string_view kPaging =
    "Paged when inicio is given: inicio rows skipped (0 or more), then "
    "quantidadereg rows (1 or more; the database refuses other figures, "
    "which answers the failure message).";

const std::vector<Route>& Routes() {
  using M = MethodType;
  static const std::vector<Route> routes = {
      // Users.
      {.method = M::kGet,
       .pattern = "/usuarios",
       .operation_id = "Usuarios",
       .tag = "usuarios",
       .summary = "The active users",
       .description = "Ordered by name.",
       .answers = {Rows(200, "Usuario", "the active users"),
                   Two(401, kResult, kNenhumRegistro, "no active user"),
                   Two(404, kErroExcept, kNenhumRegistro, kFailed)}},
      {.method = M::kPost,
       .pattern = "/autenticacao",
       .operation_id = "Autenticacao",
       .tag = "usuarios",
       .summary = "The login check",
       .description = "Name and password compared as the database stores "
                      "them; no session is kept.",
       .reads_body = true,
       .body_required = true,
       .body = {{"usuario", In::kText, "The login name.", true},
                {"senha", In::kText, "The password.", true}},
       .answers = {NewKey("an active user has that name and password: its "
                          "IdUsuario, as a text",
                          "2"),
                   Pair(401, kResult, "Usuario sem Permissao!",
                        "usuario is empty (no query runs)"),
                   Pair(401, kResult, "Usuario Sem Permissao!",
                        "no active user has that name and password"),
                   Pair(404, kErroExcept, "Usuario Sem Permissao!",
                        "usuario or senha is missing, or the query failed")}},
      {.method = M::kGet,
       .pattern = "/permissoes/:idusuario",
       .operation_id = "Permissoes",
       .tag = "usuarios",
       .summary = "A user's permissions",
       .description = "One row per protected object with at least one "
                      "permission granted, ordered by acesso.",
       .integer_param = true,
       .param_description = "The user's key (IdUsuario).",
       .answers = {Rows(200, "Permissao", "the user's permissions"),
                   Two(401, kResult, kNenhumRegistro,
                       "no active user with a granted permission"),
                   Two(404, kErroExcept, kNenhumRegistro,
                       "idusuario is not a 32-bit integer, or the query "
                       "failed")}},
      // Persons.
      {.method = M::kPost,
       .pattern = "/clientes",
       .operation_id = "Clientes",
       .tag = "pessoas",
       .summary = "The active customers",
       .description =
           "With inicio: a page by name, filtered by nomecliente (idcidade "
           "and cliente unused). Without it: every customer by name, of the "
           "city idcidade, or else filtered by cliente (\"Todos\", exactly: "
           "no filter). Name filters ignore case and accents; \"%\" and "
           "\"_\" keep their LIKE meaning.",
       .reads_body = true,
       .body_required = true,
       .body_description = kPaging,
       .body = {{"inicio", In::kInteger, "Rows to skip; turns paging on."},
                {"quantidadereg", In::kInteger,
                 "Rows to answer (required with inicio)."},
                {"nomecliente", In::kText,
                 "Part of the name (paged form; empty: no filter)."},
                {"idcidade", In::kText, "The city's key (unpaged form)."},
                {"cliente", In::kText,
                 "Part of the name, or \"Todos\" (unpaged form without "
                 "idcidade, where it is required)."}},
       .answers = {Rows(200, "Cliente", "the customers"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "cliente is missing (unpaged form without idcidade), "
                       "quantidadereg is missing or inicio or quantidadereg "
                       "is not an integer (paged form), or the query "
                       "failed")}},
      {.method = M::kGet,
       .pattern = "/moradores",
       .operation_id = "Moradores",
       .tag = "pessoas",
       .summary = "The residents",
       .description = "The customers with their last collection and "
                      "registration, ordered by name.",
       .answers = {Rows(200, "Morador", "the residents"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro, kFailed)}},
      {.method = M::kGet,
       .pattern = "/moradores/:registroaux",
       .operation_id = "MoradorId",
       .tag = "pessoas",
       .summary = "One resident by registration",
       .description =
           "The stored registration is compared as a number (\"00123\" is "
           "found by 123); a resident listed with registroaux \"0\" (none) "
           "is not found by 0.",
       .integer_param = true,
       .param_description = "The registration number (RegistroAux).",
       .answers = {Row(200, "Morador", "the first resident found"),
                   Pair(200, kResult, kNenhumRegistro, "no such resident"),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "registroaux is not a 32-bit integer, or the query "
                       "failed")}},
      // Groups; the groups resource also registers the two product
      // lookups below, whose answer the products resource gives.
      {.method = M::kPost,
       .pattern = "/grupos",
       .operation_id = "Grupos",
       .tag = "grupos",
       .summary = "A page of the active product groups",
       .description = "Ordered by name; the name filter ignores case and "
                      "accents.",
       .reads_body = true,
       .body_required = true,
       .body = {{"inicio", In::kInteger,
                 "Rows to skip (default 0). When it cannot be read, 0 and "
                 "100 are used, whatever quantidadereg says."},
                {"quantidadereg", In::kInteger,
                 "Rows to answer (default 100)."},
                {"grupo", In::kText,
                 "Part of the name, or \"Todos\" (exactly; empty too): no "
                 "filter.",
                 true}},
       .answers = {Rows(200, "Grupo", "the groups"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "grupo is missing, an offset below 0 or a count "
                       "below 1, or the query failed")}},
      {.method = M::kPost,
       .pattern = "/grupoid",
       .operation_id = "GrupoId",
       .tag = "grupos",
       .summary = "A group's key by its exact name",
       .description = "Only an active group counts.",
       .reads_body = true,
       .body_required = true,
       .body = {{"grupo", In::kText, "The exact name.", true}},
       .answers = {Row(200, "GrupoId", "an active group has that name"),
                   Pair(200, kResult, kNenhumRegistro,
                        "no active group has that name"),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "grupo is missing, or the query failed")}},
      {.method = M::kGet,
       .pattern = "/produtos/:idproduto",
       .operation_id = "ProdutoId",
       .tag = "produtos",
       .summary = "One product by key",
       .description = "A product with several grade rows is answered with "
                      "the first one.",
       .integer_param = true,
       .param_description = "The product's key (IdProduto).",
       .answers = {Row(200, "ProdutoDetalhe", "the product"),
                   Pair(200, kResult, kNenhumRegistro,
                        "no active product has that key"),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "idproduto is not a 32-bit integer, or the query "
                       "failed")}},
      {.method = M::kGet,
       .pattern = "/produtoslike/:produto",
       .operation_id = "Produto",
       .tag = "produtos",
       .summary = "The products whose name contains a text",
       .description = "Ordered by name; the match ignores case and accents, "
                      "\"%\" and \"_\" keep their LIKE meaning.",
       .param_description = "Part of the name, percent-decoded.",
       .answers = {Rows(200, "ProdutoDetalhe", "the products"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro, kFailed)}},
      // Cities and states.
      {.method = M::kPost,
       .pattern = "/cidades",
       .operation_id = "Cidades",
       .tag = "cidades",
       .summary = "The active cities of a state",
       .description = "Ordered by name.",
       .reads_body = true,
       .body_required = true,
       .body = {{"iduf", In::kText, "The state's key (IdUf).", true}},
       .answers = {Rows(200, "Cidade", "the cities"),
                   Two(200, kResult, kNenhumRegistro,
                       "the state has no active city"),
                   Two(200, kErroExcept, kNenhumRegistro, kFailed),
                   Pair(401, kResult, "Sem Estado!",
                        "iduf is empty (no query runs)"),
                   Pair(404, kErroExcept, "Sem Estado!",
                        "iduf is missing (also an empty or non-JSON "
                        "body)")}},
      {.method = M::kPost,
       .pattern = "/estados",
       .operation_id = "Estados",
       .tag = "cidades",
       .summary = "The active states",
       .description = "Ordered by abbreviation. The body is loaded, never "
                      "read.",
       .reads_body = true,
       .answers = {Rows(200, "Estado", "the states"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro, kFailed)}},
      // Products.
      {.method = M::kPost,
       .pattern = "/produtos",
       .operation_id = "Produtos",
       .tag = "produtos",
       .summary = "The active products with prices, stock, sizes and "
                  "colours",
       .description =
           "With inicio: a page by name, filtered by nomeproduto (produto "
           "unused). Without it: every product by name, filtered by produto "
           "(\"Todos\", exactly: no filter). Rows, not products, are "
           "counted.",
       .reads_body = true,
       .body_required = true,
       .body_description = kPaging,
       .body = {{"inicio", In::kInteger, "Rows to skip; turns paging on."},
                {"quantidadereg", In::kInteger,
                 "Rows to answer (required with inicio)."},
                {"nomeproduto", In::kText,
                 "Part of the name (paged form; empty: no filter)."},
                {"produto", In::kText,
                 "Part of the name, or \"Todos\" (unpaged form, where it "
                 "is required)."}},
       .answers = {Rows(200, "ProdutoLista", "the product rows"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "produto is missing (unpaged form), quantidadereg "
                       "is missing or inicio or quantidadereg is not an "
                       "integer (paged form), or the query failed")}},
      {.method = M::kPost,
       .pattern = "/produtos-grupo",
       .operation_id = "ProdutoIdGrupo",
       .tag = "produtos",
       .summary = "A page of a group's products",
       .description = "Ordered by name.",
       .reads_body = true,
       .body_required = true,
       .body_description = kPaging,
       .body = {{"idgrupo", In::kText, "The group's key (IdGrupo).", true},
                {"inicio", In::kInteger, "Rows to skip.", true},
                {"quantidadereg", In::kInteger, "Rows to answer.", true},
                {"nomeproduto", In::kText,
                 "Part of the name (empty: no filter)."}},
       .answers = {Rows(200, "ProdutoLista", "the product rows"),
                   Two(200, kResult, kNenhumRegistro, kNoRows),
                   Two(200, kErroExcept, kNenhumRegistro,
                       "inicio or quantidadereg is missing or not an "
                       "integer, or the query failed"),
                   Pair(401, kResult, "Sem Grupo!",
                        "idgrupo is empty (no query runs)"),
                   Pair(404, kErroExcept, "Sem Grupo!", "idgrupo is missing")}},
      // Orders.
      {.method = M::kPost,
       .pattern = "/pedidos",
       .operation_id = "Pedidos",
       .tag = "pedidos",
       .summary = "The orders by period and status",
       .description =
           "With inicio: the orders of the status (\"Outros\": every "
           "status but Aberto, Cancelado and Entregue), issued within "
           "perinicial to the end of perfinal when perinicial is given, by "
           "key, a page of them. Without inicio: every active order with an "
           "active item, unpaged and unordered.",
       .reads_body = true,
       .body_description = kPaging,
       .body = {{"inicio", In::kInteger,
                 "Rows to skip; turns the filters "
                 "and paging on."},
                {"quantidadereg", In::kInteger,
                 "Rows to answer (required with inicio)."},
                {"status", In::kText,
                 "The status (required with inicio): \"Aberto\", "
                 "\"Cancelado\", \"Entregue\", another stored status, or "
                 "\"Outros\"."},
                {"perinicial", In::kDate,
                 "First issue day; turns the period filter on (with "
                 "inicio)."},
                {"perfinal", In::kDate,
                 "Last issue day, to its end (required with "
                 "perinicial)."}},
       .answers = {Rows(200, "PedidoLista", "the orders"),
                   Two(400, kResult, kNenhumRegistro, kNoRows),
                   Two(404, kErroExcept, kNenhumRegistro,
                       "status, quantidadereg or perfinal is missing, a "
                       "date or a number cannot be read, or the query "
                       "failed")}},
      {.method = M::kGet,
       .pattern = "/pedidos/separacao",
       .operation_id = "PedidosSeparacao",
       .tag = "pedidos",
       .summary = "The orders waiting to be picked",
       .description = "By key, each with all its active items nested.",
       .answers = {Rows(200, "PedidoSeparacao", "the orders"),
                   Two(400, kResult, kNenhumRegistro, "no order waits"),
                   Two(404, kErroExcept, kNenhumRegistro,
                       "a listed order has no delivery date, or the query "
                       "failed")}},
      {.method = M::kPost,
       .pattern = "/pedidos/separados",
       .operation_id = "PedidosSeparados",
       .tag = "pedidos",
       .summary = "Records a picked quantity of one item",
       .description =
           "The quantity is added to the item's picked quantity (QtdEntregue) "
           "and capped at the ordered one, in one transaction. Sending it "
           "twice adds it twice; a negative quantity undoes a double scan as "
           "long as the result stays at zero or more.",
       .reads_body = true,
       .body_required = true,
       .body = {{"idpedido", In::kInteger, "The order's key.", true},
                {"idpedidoitem", In::kInteger, "The item's key.", true},
                {"quantseparacao", In::kNumber, "The quantity picked.", true}},
       .answers = {Pair(200, kResult, "OK", "the quantity was recorded"),
                   Pair(400, kResult, "Nenhum Pedido Separado!",
                        "idpedido is 0 (nothing runs)"),
                   Pair(400, kResult, "Pedido Não Localizado!",
                        "the order has no item with that key (nothing "
                        "changes)"),
                   Pair(404, kErroExcept, "Nenhum Pedido Separado!",
                        "idpedido is missing or not an integer, "
                        "idpedidoitem or quantseparacao is missing, "
                        "quantseparacao is not a number, the picked quantity "
                        "would fall below zero, or the database failed; "
                        "nothing changes")}},
      {.method = M::kGet,
       .pattern = "/pedidos/conferencia",
       .operation_id = "PedidosConferencia",
       .tag = "pedidos",
       .summary = "The orders waiting to be checked",
       .description = "By key, each with all its active items nested.",
       .answers = {Rows(200, "PedidoConferencia", "the orders"),
                   Two(400, kResult, kNenhumRegistro, "no order waits"),
                   Two(404, kErroExcept, kNenhumRegistro,
                       "a listed order has no delivery date, or the query "
                       "failed")}},
      {.method = M::kPost,
       .pattern = "/pedidos/conferidos",
       .operation_id = "PedidosConferidos",
       .tag = "pedidos",
       .summary = "Records a checked quantity of one item",
       .description =
           "The quantity is added to the item's checked quantity "
           "(QtdConferida) and capped at the picked one, in one "
           "transaction. Sending it twice adds it twice; a negative "
           "quantity undoes a double scan as long as the result stays at "
           "zero or more.",
       .reads_body = true,
       .body_required = true,
       .body = {{"idpedido", In::kInteger, "The order's key.", true},
                {"idpedidoitem", In::kInteger, "The item's key.", true},
                {"quantconferida", In::kNumber, "The quantity checked.", true}},
       .answers = {Pair(200, kResult, "OK", "the quantity was recorded"),
                   Pair(400, kResult, "Nenhum Pedido Conferido!",
                        "idpedido is 0 (nothing runs)"),
                   Pair(400, kResult, "Pedido Não Localizado!",
                        "the order has no item with that key (nothing "
                        "changes)"),
                   Pair(404, kErroExcept, "Nenhum Pedido Conferido!",
                        "idpedido is missing or not an integer, "
                        "idpedidoitem or quantconferida is missing, "
                        "quantconferida is not a number, the checked quantity "
                        "would fall below zero, or the database failed; "
                        "nothing changes")}},
      {.method = M::kGet,
       .pattern = "/pedidos/:idpedido",
       .operation_id = "PedidoId",
       .tag = "pedidos",
       .summary = "One order by key",
       .description = "The order with one of its active items only. The "
                      "fixed segments separacao and conferencia are not "
                      "keys: they reach their own routes.",
       .integer_param = true,
       .param_description = "The order's key (IdPedido).",
       .answers = {Row(200, "PedidoDetalhe", "the order"),
                   Pair(400, kResult, kNenhumRegistro,
                        "no active order with an active item has that key"),
                   Pair(404, kErroExcept, kNenhumRegistro,
                        "idpedido is not a 32-bit integer, or the query "
                        "failed")}},
      {.method = M::kPost,
       .pattern = "/pedidos/novo",
       .operation_id = "PedidoNovo",
       .tag = "pedidos",
       .summary = "Creates an order with its items",
       .description =
           "The order (Status \"Aberto\", Origem \"APP\") and all its items "
           "are stored in one transaction, together or not at all. An empty "
           "itens array, or an item of a product the database does not know "
           "(unit \"UN\"), is accepted.",
       .reads_body = true,
       .body_required = true,
       .body = {{"idempresa", In::kText, "The company's key.", true},
                {"idusuario", In::kText, "The user's key.", true},
                {"dtemissao", In::kDate, "The issue date and time.", true},
                {"dtsaidainicial", In::kDate,
                 "The first delivery day (stored with the current time of "
                 "day).",
                 true},
                {"dtsaidafinal", In::kDate,
                 "The last delivery day (stored with the current time of "
                 "day).",
                 true},
                {"idcliente", In::kInteger, "The customer's key.", true},
                {"vltotalpedido", In::kNumber, "The order's total.", true},
                {"observacao", In::kText, "A note (may be empty).", true},
                {"itens", In::kItems,
                 "The items, numbered from 1 in this order; the key is "
                 "matched exactly.",
                 true}},
       .answers = {NewKey("the order and its items were stored: the new "
                          "order's key, as a text",
                          "4001"),
                   Pair(404, kErroExcept, "Erro no Pedido!",
                        "an order field or itens is missing or unreadable, "
                        "an item lacks a key or holds an unreadable value, "
                        "or the database refused a value; nothing is "
                        "stored")}},
  };
  return routes;
}

// ---------------------------------------------------------------------------
// Operations.

std::string_view MethodName(MethodType method) {
  switch (method) {
    case MethodType::kGet:
      return "get";
    case MethodType::kPut:
      return "put";
    case MethodType::kPost:
      return "post";
    case MethodType::kHead:
      return "head";
    case MethodType::kDelete:
      return "delete";
    case MethodType::kPatch:
      return "patch";
    case MethodType::kAny:
      break;
  }
  return "get";
}

// "/pedidos/:idpedido" -> "/pedidos/{idpedido}"; the parameter's name, if
// any, goes to `param`.
std::string TemplatePath(std::string_view pattern, std::string& param) {
  std::string path;
  std::size_t pos = 0;
  while (pos < pattern.size()) {
    const std::size_t slash = pattern.find('/', pos + 1);
    std::string_view segment = pattern.substr(
        pos,
        slash == std::string_view::npos ? std::string_view::npos : slash - pos);
    if (segment.size() > 1 && segment[1] == ':') {
      param = std::string(segment.substr(2));
      path += "/{" + param + "}";
    } else {
      path += segment;
    }
    if (slash == std::string_view::npos) break;
    pos = slash;
  }
  return path;
}

JsonValue PathParameter(const Route& route, const std::string& name) {
  JsonValue schema =
      route.integer_param
          ? Object({{"type", Text("integer")}, {"format", Text("int32")}})
          : Object({{"type", Text("string")}});
  std::string description(route.param_description);
  if (route.integer_param) {
    description +=
        " Read as a 32-bit signed integer; any other text gets the route's "
        "failure message.";
  }
  return Object({{"name", Text(name)},
                 {"in", Text("path")},
                 {"required", JsonValue::Bool(true)},
                 {"description", Text(description)},
                 {"schema", schema}});
}

JsonValue JsonContent(JsonValue schema, JsonValue examples) {
  JsonValue media = Object({{"schema", std::move(schema)}});
  if (examples.size() > 0) media.AddPair("examples", std::move(examples));
  return Object({{"application/json", std::move(media)}});
}

// One status's answers: their cases, one schema each (and the paged object
// when any of them is an array), the fixed messages as examples.
JsonValue StatusResponse(const std::vector<Answer>& answers) {
  std::string description;
  JsonValue schemas = JsonValue::Array();
  JsonValue examples = JsonValue::Object();
  bool any_array = false;
  for (const Answer& answer : answers) {
    description += "- " + std::string(answer.when);
    schemas.Add(AnswerSchema(answer));
    any_array = any_array || IsArray(answer);
    if (const auto example = AnswerExample(answer)) {
      description += ": `" + CompactText(*example) + "`";
      examples.AddPair(
          std::string(answer.name) + ": " + std::string(answer.text),
          Object({{"summary", Text(answer.when)}, {"value", *example}}));
    }
    description += "\n";
  }
  description.pop_back();
  if (any_array) {
    description +=
        "\n\nWith X-Paginate: true, an array answer comes as the paged "
        "object.";
    schemas.Add(Ref("schemas", "Paged"));
  }
  JsonValue schema = schemas.size() == 1
                         ? schemas.elements().front()
                         : Object({{"oneOf", std::move(schemas)}});
  return Object(
      {{"description", Text(description)},
       {"headers",
        Object({{"Content-Encoding", Ref("headers", "ContentEncoding")}})},
       {"content", JsonContent(std::move(schema), std::move(examples))}});
}

// What the chain itself answers with 500 on this route.
JsonValue ServerErrorResponse(bool reads_body) {
  std::string description =
      "Plain words (text/html): \"" + std::string(kMaxConnectionsMessage) +
      "\" with Retry-After: 1 when 32 requests are in the chain already "
      "(and, with EsperaVagaMs, the queue for a slot is full or the wait "
      "ran out) or the bodies of all connections use up MaxCorposMiB; an "
      "HTML error page for what escapes every layer (a query string that "
      "repeats a parameter, with X-Paginate: true).";
  JsonValue content = JsonValue::Object();
  if (reads_body) {
    description +=
        " A body that begins with \"{\" or \"[\" but is not JSON (or nests "
        "deeper than 64 levels, or holds more than 1,000,000 values) "
        "answers the JSON error object, e.g. {\"error\":\"JSON not "
        "defined\"}.";
    content.AddPair(
        "application/json",
        Object({{"schema", Ref("schemas", "Error")},
                {"example", Object({{"error", Text("JSON not defined")}})}}));
  }
  content.AddPair("text/html",
                  Object({{"schema", Object({{"type", Text("string")}})},
                          {"example", Text(kMaxConnectionsMessage)}}));
  return Object(
      {{"description", Text(description)},
       {"headers", Object({{"Retry-After", Ref("headers", "RetryAfter")}})},
       {"content", std::move(content)}});
}

JsonValue Operation(const Route& route, const std::string& param) {
  JsonValue parameters = JsonValue::Array();
  if (!param.empty()) parameters.Add(PathParameter(route, param));
  for (std::string_view name :
       {"XPaginate", "Limit", "Page", "AcceptEncoding"}) {
    parameters.Add(Ref("parameters", name));
  }
  JsonValue operation = Object({{"tags", Texts({route.tag})},
                                {"summary", Text(route.summary)},
                                {"operationId", Text(route.operation_id)}});
  if (!route.description.empty()) {
    operation.AddPair("description", Text(route.description));
  }
  operation.AddPair("parameters", std::move(parameters));
  if (route.reads_body) {
    std::string description =
        "A JSON object, keys in lower case, sent with Content-Type: "
        "application/json (another content type is read the same way when "
        "its text is JSON; a text that begins with neither \"{\" nor \"[\" "
        "loads nothing, so every field counts as missing). A text field "
        "also takes a JSON number, as its digits.";
    if (!route.body_description.empty()) {
      description += " " + std::string(route.body_description);
    }
    operation.AddPair(
        "requestBody",
        Object({{"description", Text(description)},
                {"required", JsonValue::Bool(route.body_required)},
                {"content", JsonContent(BodySchema(route.body, {}),
                                        JsonValue::Object())}}));
  }
  std::map<int, std::vector<Answer>> by_status;
  for (const Answer& answer : route.answers) {
    by_status[answer.status].push_back(answer);
  }
  JsonValue responses = JsonValue::Object();
  for (const auto& [status, answers] : by_status) {
    responses.AddPair(std::to_string(status), StatusResponse(answers));
  }
  responses.AddPair("403", Ref("responses", "Forbidden"));
  responses.AddPair("421", Ref("responses", "Misdirected"));
  responses.AddPair("500", ServerErrorResponse(route.reads_body));
  responses.AddPair("default", Ref("responses", "TransportError"));
  operation.AddPair("responses", std::move(responses));
  return operation;
}

JsonValue Paths() {
  // Paths in registration order, each with its methods in that order.
  JsonValue paths = JsonValue::Object();
  for (const Route& route : Routes()) {
    std::string param;
    const std::string path = TemplatePath(route.pattern, param);
    JsonValue* item = nullptr;
    for (JsonMember& member : paths.members()) {
      if (member.key == path) item = &member.value;
    }
    if (item == nullptr) {
      paths.AddPair(path, JsonValue::Object());
      item = &paths.members().back().value;
    }
    item->AddPair(std::string(MethodName(route.method)),
                  Operation(route, param));
  }
  return paths;
}

// ---------------------------------------------------------------------------
// The parts every route shares.

constexpr std::string_view kDescription =
    "APINorvessa exposes part of an ERP database as JSON over plain HTTP/1.1 "
    "(one request per connection: every answer carries Connection: close).\n"
    "\n"
    "**Answers.** JSON answers carry Content-Type "
    "`application/json; charset=UTF-8` and are pure ASCII: every character "
    "above 127 is written as `\\uXXXX` (\"Pedido N\\u00E3o Localizado!\") "
    "and the slash as `\\/`. Row keys are the column names in lower case. "
    "Where a route finds nothing or fails, it answers a fixed message "
    "instead of rows, `{\"Result\":...}`, `{\"Erro except\":...}`, "
    "`[\"Result\",...]` or `[\"Erro except\",...]`, with the status each "
    "operation lists (the apps branch on those statuses and compare the "
    "texts); the cause of a failure is never sent.\n"
    "\n"
    "**Bodies.** POST bodies are JSON objects with keys in lower case "
    "(`idUf` is not `iduf`). Numbers take \".\" or \",\" as decimal "
    "separator; dates are day first, d/m/yyyy with an optional time.\n"
    "\n"
    "**Paging.** With the request header `X-Paginate: true` (exactly), any "
    "JSON array answer (rows, or a two-string message) becomes "
    "`{\"docs\":[...],\"total\":n,\"limit\":l,\"page\":p,\"pages\":k}` for "
    "the query parameters `limit` (25) and `page` (1), with Content-Type "
    "`application/json` and the status unchanged.\n"
    "\n"
    "**Compression.** A JSON answer longer than 1024 bytes is compressed "
    "(zlib level 9) when the request's Accept-Encoding names `deflate` "
    "(preferred, raw deflate data) or `gzip`; Content-Encoding says which. "
    "Text answers never are.\n"
    "\n"
    "**Answers of the framework.** A path no route has: 404 `Not Found`; a "
    "route's path with another method: 405 `Method Not Allowed` (plain "
    "words, Content-Type `text/html; charset=utf-8`). A client outside "
    "`IPsPermitidos`, or a request whose `Origin` is not in "
    "`OrigensPermitidas`: 403 `{\"error\":\"Forbidden\"}`; a `Host` not in "
    "`HostsPermitidos` (when set): 421 "
    "`{\"error\":\"Misdirected Request\"}`. Request line and "
    "headers over 64 KiB: 431; a body over 16 MiB: 413; malformed HTTP: 400; "
    "an unknown Transfer-Encoding: 501 (an HTML page; the connection is "
    "closed).";

const std::vector<BodyField>& ItemFields() {
  static const std::vector<BodyField> fields = {
      {"idproduto", In::kInteger, "The product's key (32-bit).", true},
      {"unmed", In::kText,
       "The unit of measure; empty: the product's own, in upper case (\"UN\" "
       "when it has none).",
       true},
      {"idempresa", In::kText, "The company's key.", true},
      {"idusuario", In::kText, "The user's key.", true},
      {"numcodbarrasusado", In::kText, "The barcode used.", true},
      {"descricaoitem", In::kText, "The description.", true},
      {"quantidade", In::kNumber, "The quantity.", true},
      {"vlunitario", In::kNumber, "The unit price.", true},
      {"vltotal", In::kNumber, "The item's total.", true},
  };
  return fields;
}

JsonValue Components() {
  JsonValue schemas = JsonValue::Object();
  for (const RowSchema& row : RowSchemas()) {
    schemas.AddPair(std::string(row.name), RowSchemaJson(row));
  }
  schemas.AddPair(
      "PedidoNovoItem",
      BodySchema(ItemFields(),
                 "An order item. Its keys are matched exactly, in lower "
                 "case; a value is read as the text of its JSON value (a "
                 "string's content, a number as written), so true and false "
                 "are texts too and null is empty."));
  schemas.AddPair(
      "Paged",
      Object(
          {{"type", Text("object")},
           {"description",
            Text("An array answer paged on request (X-Paginate: true): "
                 "the elements (page - 1) * limit to page * limit - 1 "
                 "that exist.")},
           {"required", Texts({"docs", "total", "limit", "page", "pages"})},
           {"properties",
            Object(
                {{"docs", Object({{"type", Text("array")},
                                  {"items", JsonValue::Object()},
                                  {"description",
                                   Text("The page's elements, as the unpaged "
                                        "answer has them; empty past the last "
                                        "page.")}})},
                 {"total", Object({{"type", Text("integer")},
                                   {"description", Text("Elements of the whole "
                                                        "answer.")}})},
                 {"limit", Object({{"type", Text("integer")}})},
                 {"page", Object({{"type", Text("integer")}})},
                 {"pages", Object({{"type", Text("integer")},
                                   {"description",
                                    Text("total / limit, rounded up.")}})}})},
           {"additionalProperties", JsonValue::Bool(false)},
           {"example", Object({{"docs", JsonValue::Array()},
                               {"total", JsonValue::Number(19)},
                               {"limit", JsonValue::Number(2)},
                               {"page", JsonValue::Number(1)},
                               {"pages", JsonValue::Number(10)}})}}));
  schemas.AddPair(
      "Error",
      Object({{"type", Text("object")},
              {"description", Text("An error that escaped the handler.")},
              {"required", Texts({"error"})},
              {"properties",
               Object({{"error", Object({{"type", Text("string")}})}})}}));

  const JsonValue paging_only = Text(
      "Read only with X-Paginate: true; a text that is not a 32-bit integer, "
      "a limit of 0 or a page below 1 leaves the answer unpaged.");
  const JsonValue parameters = Object(
      {{"XPaginate",
        Object({{"name", Text("X-Paginate")},
                {"in", Text("header")},
                {"description",
                 Text("Exactly \"true\" (lower case, nothing else): a JSON "
                      "array answer comes as the paged object (schema "
                      "Paged), with Content-Type application/json and the "
                      "same status. Any other value, or an object answer: "
                      "unchanged.")},
                {"schema", Object({{"type", Text("string")},
                                   {"enum", Texts({"true"})}})}})},
       {"Limit",
        Object({{"name", Text("limit")},
                {"in", Text("query")},
                {"description", paging_only},
                {"schema", Object({{"type", Text("integer")},
                                   {"format", Text("int32")},
                                   {"default", JsonValue::Number(25)}})}})},
       {"Page",
        Object({{"name", Text("page")},
                {"in", Text("query")},
                {"description", paging_only},
                {"schema", Object({{"type", Text("integer")},
                                   {"format", Text("int32")},
                                   {"default", JsonValue::Number(1)}})}})},
       {"AcceptEncoding",
        Object({{"name", Text("Accept-Encoding")},
                {"in", Text("header")},
                {"description",
                 Text("A JSON answer longer than 1024 bytes is compressed "
                      "when this header contains \"deflate\" (preferred: raw "
                      "deflate data) or else \"gzip\", in any letter case; "
                      "quality values are not read. Text answers and JSON "
                      "answers of 1024 bytes or less are sent as they "
                      "are.")},
                {"schema", Object({{"type", Text("string")}})},
                {"example", Text("gzip, deflate")}})}});

  const JsonValue headers = Object(
      {{"ContentEncoding",
        Object(
            {{"description", Text("Present when the answer is compressed (see "
                                  "Accept-Encoding).")},
             {"schema", Object({{"type", Text("string")},
                                {"enum", Texts({"deflate", "gzip"})}})}})},
       {"RetryAfter",
        Object({{"description",
                 Text("On the busy answer only: the seconds to wait before "
                      "asking again.")},
                {"schema", Object({{"type", Text("integer")},
                                   {"example", JsonValue::Number(1)}})}})}});

  const JsonValue responses = Object(
      {{"Forbidden",
        Object({{"description",
                 Text("The client's address is outside IPsPermitidos, or "
                      "the request carries an Origin that is not in "
                      "OrigensPermitidas (a browser page); the request "
                      "never reaches the route and its body is not read.")},
                {"content",
                 JsonContent(
                     Ref("schemas", "Error"),
                     Object({{"Forbidden",
                              Object({{"value",
                                       Object({{"error",
                                                Text("Forbidden")}})}})}}))}})},
       {"Misdirected",
        Object({{"description",
                 Text("HostsPermitidos is set and the Host header names "
                      "another host; the request never reaches the route.")},
                {"content",
                 JsonContent(
                     Ref("schemas", "Error"),
                     Object({{"Misdirected",
                              Object({{"value",
                                       Object({{"error",
                                                Text("Misdirected "
                                                     "Request")}})}})}}))}})},
       {"TransportError",
        Object(
            {{"description",
              Text("The transport's own answers, before any route: 400 "
                   "(malformed HTTP), 413 (a body over 16 MiB), 431 "
                   "(request line and headers over 64 KiB), 501 (an "
                   "unknown Transfer-Encoding); a small HTML page, and the "
                   "connection is closed.")},
             {"content",
              Object({{"text/html",
                       Object({{"schema",
                                Object({{"type", Text("string")}})}})}})}})}});

  return Object({{"schemas", schemas},
                 {"parameters", parameters},
                 {"headers", headers},
                 {"responses", responses}});
}

JsonValue Tags() {
  JsonValue tags = JsonValue::Array();
  const std::pair<std::string_view, std::string_view> kTags[] = {
      {"usuarios", "Users, the login check and permissions."},
      {"pessoas", "Customers and residents."},
      {"grupos", "Product groups."},
      {"cidades", "Cities and states."},
      {"produtos", "Products."},
      {"pedidos", "Sales orders: lists, picking, checking and creation."},
  };
  for (const auto& [name, description] : kTags) {
    tags.Add(
        Object({{"name", Text(name)}, {"description", Text(description)}}));
  }
  return tags;
}

}  // namespace

std::string OpenApiDocument() {
  const JsonValue document = Object(
      {{"openapi", Text("3.0.3")},
       {"info", Object({{"title", Text("APINorvessa")},
                        {"version", Text(kVersionText)},
                        {"description", Text(kDescription)}})},
       {"servers",
        JsonValue::Array().Add(Object(
            {{"url", Text("http://{host}:{port}")},
             {"description",
              Text("The service (Porta in Norvessa.ini; not the operators' "
                   "port that serves this document).")},
             {"variables",
              Object({{"host", Object({{"default", Text("localhost")}})},
                      {"port", Object({{"default", Text("9000")}})}})}}))},
       {"tags", Tags()},
       {"paths", Paths()},
       {"components", Components()}});
  std::string out;
  AppendValue(out, document, 0);
  out += "\n";
  return out;
}

}  // namespace norvessa
