// The OpenAPI description: valid against the OpenAPI 3.0 JSON schema, one
// operation per registered route, and every answer the routes give over
// real sockets described with its status and exact message.

#include "app/openapi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/service_host.h"
#include "app/version.h"
#include "db/connection_factory.h"
#include "db/connection_pool.h"
#include "framework/api_core.h"
#include "json/json_parser.h"
#include "json/json_text.h"
#include "middleware/compression.h"
#include "middleware/handle_exception.h"
#include "middleware/json_body.h"
#include "middleware/paginate.h"
#include "support/http_client.h"
#include "support/temp_database.h"
#include "support/test_server.h"

namespace norvessa {
namespace {

// The OpenAPI 3.0 JSON schema as Debian installs it.
constexpr const char* kSchema =
    "/usr/share/openapi-specification/schemas/v3.0/schema.json";

const std::filesystem::path kTestsDir =
    std::filesystem::path(__FILE__).parent_path();
const std::filesystem::path kSourceDir = kTestsDir.parent_path().parent_path();

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Debian's python3-jsonschema belongs to Debian's interpreter.
std::string Python() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3"
                                                     : "python3";
}

// The checker's verdict on the document: its exit status and its lines.
std::pair<int, std::string> CheckDocument(const std::string& document) {
  const testing::TempDatabase scratch;
  const std::string path = scratch.dir() + "/openapi.json";
  std::ofstream(path) << document;
  const std::string command = Python() + " " +
                              (kTestsDir / "openapi_check.py").string() + " " +
                              kSchema + " " + path + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return {-1, "popen failed"};
  std::string output;
  char buffer[4096];
  while (const size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) {
    output.append(buffer, n);
  }
  const int status = ::pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

JsonValue ParsedDocument() {
  auto document = ParseJson(OpenApiDocument());
  if (!document) ADD_FAILURE() << "the document is not JSON";
  return document ? *document : JsonValue::Object();
}

const JsonValue& Member(const JsonValue& object, std::string_view key) {
  static const JsonValue kNone;
  const JsonValue* value = object.Find(key);
  return value != nullptr ? *value : kNone;
}

// "#/components/schemas/Cidade" -> the value it names.
const JsonValue& Resolve(const JsonValue& document, const JsonValue& value) {
  const JsonValue* ref = value.Find("$ref");
  if (ref == nullptr) return value;
  const JsonValue* node = &document;
  std::string_view rest = std::string_view(ref->text()).substr(2);
  while (!rest.empty()) {
    const std::size_t slash = rest.find('/');
    node = &Member(*node, rest.substr(0, slash));
    rest = slash == std::string_view::npos ? "" : rest.substr(slash + 1);
  }
  return *node;
}

std::string MethodName(MethodType method) {
  switch (method) {
    case MethodType::kGet:
      return "get";
    case MethodType::kPost:
      return "post";
    case MethodType::kPut:
      return "put";
    case MethodType::kDelete:
      return "delete";
    case MethodType::kPatch:
      return "patch";
    case MethodType::kHead:
      return "head";
    case MethodType::kAny:
      break;
  }
  return "any";
}

// "/pedidos/:idpedido" -> "/pedidos/{idpedido}".
std::string TemplatePath(const std::string& pattern) {
  std::string path;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == ':' && i > 0 && pattern[i - 1] == '/') {
      const std::size_t end = pattern.find('/', i);
      path += "{" + pattern.substr(i + 1, end - i - 1) + "}";
      if (end == std::string::npos) break;
      i = end - 1;
    } else {
      path += pattern[i];
    }
  }
  return path;
}

std::unique_ptr<ConnectionPool> PoolOn(const testing::TempDatabase& db) {
  ConnectionSettings settings;
  settings.driver = "SQLite";
  settings.database = db.path();
  return std::make_unique<ConnectionPool>(MakeConnectionFactory(settings), 4);
}

TEST(OpenApiTest, ValidAgainstTheSpecificationSchema) {
  ASSERT_TRUE(std::filesystem::exists(kSchema))
      << kSchema << " is missing: scripts/install.sh installs "
      << "openapi-specification and python3-jsonschema";
  const auto [status, output] = CheckDocument(OpenApiDocument());
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "");

  const JsonValue document = ParsedDocument();
  EXPECT_EQ(Member(document, "openapi").text(), "3.0.3");
  EXPECT_EQ(Member(Member(document, "info"), "title").text(), "APINorvessa");
  EXPECT_EQ(Member(Member(document, "info"), "version").text(), kVersionText);
}

// The checker itself: a document broken in two ways is refused, naming
// both.
TEST(OpenApiTest, CheckerRefusesABrokenDocument) {
  std::string broken = OpenApiDocument();
  broken.replace(broken.find("\"3.0.3\""), 7, "\"3.1.0\"");
  const std::string ref = "#/components/schemas/Cidade\"";
  broken.replace(broken.find(ref), ref.size(), "#/components/schemas/Nada\"");
  const auto [status, output] = CheckDocument(broken);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("openapi: '3.1.0' does not match"), std::string::npos)
      << output;
  EXPECT_NE(output.find("dangling $ref: #/components/schemas/Nada"),
            std::string::npos)
      << output;
}

TEST(OpenApiTest, DescribesEveryRegisteredRouteAndNothingElse) {
  const testing::TempDatabase db;
  const auto pool = PoolOn(db);
  ApiCore api;
  ServiceHost::RegisterResources(api, *pool);
  std::set<std::pair<std::string, std::string>> registered;
  for (const RouteEntry& route : api.RouteList()) {
    registered.emplace(TemplatePath(route.pattern), MethodName(route.method));
  }
  ASSERT_EQ(registered.size(), 21u);

  const JsonValue document = ParsedDocument();
  std::set<std::pair<std::string, std::string>> described;
  std::set<std::string> operation_ids;
  for (const JsonMember& path : Member(document, "paths").members()) {
    for (const JsonMember& operation : path.value.members()) {
      SCOPED_TRACE(operation.key + " " + path.key);
      described.emplace(path.key, operation.key);
      EXPECT_TRUE(
          operation_ids.insert(Member(operation.value, "operationId").text())
              .second);
      // Each {name} of the path is a required path parameter.
      std::set<std::string> in_path;
      for (std::size_t open = path.key.find('{'); open != std::string::npos;
           open = path.key.find('{', open + 1)) {
        in_path.insert(
            path.key.substr(open + 1, path.key.find('}', open) - open - 1));
      }
      std::set<std::string> declared;
      for (const JsonValue& p :
           Member(operation.value, "parameters").elements()) {
        const JsonValue& parameter = Resolve(document, p);
        if (Member(parameter, "in").text() != "path") continue;
        EXPECT_TRUE(Member(parameter, "required").AsBool());
        declared.insert(Member(parameter, "name").text());
      }
      EXPECT_EQ(declared, in_path);
    }
  }
  EXPECT_EQ(described, registered);
}

// ---------------------------------------------------------------------------
// Every answer given is described, and every described answer is given.

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Exchange {
  const char* method;
  const char* target;
  const char* body;
};

// Run on a database with the fixture rows, on one with the schema alone
// (nothing found) and on one without tables (every query fails).
const Exchange kExchanges[] = {
    {"GET", "/usuarios", ""},
    {"POST", "/autenticacao", R"({"usuario":"caixa1","senha":"c'1"})"},
    {"POST", "/autenticacao", R"({"usuario":"caixa1","senha":"x"})"},
    {"POST", "/autenticacao", R"({"usuario":""})"},
    {"POST", "/autenticacao", ""},
    {"POST", "/autenticacao", R"({"usuario":"caixa1")"},
    {"GET", "/permissoes/1", ""},
    {"GET", "/permissoes/2", ""},
    {"GET", "/permissoes/abc", ""},
    {"POST", "/clientes", R"({"cliente":"Todos"})"},
    {"POST", "/clientes", ""},
    {"GET", "/moradores", ""},
    {"GET", "/moradores/123", ""},
    {"GET", "/moradores/17", ""},
    {"GET", "/moradores/x1", ""},
    {"POST", "/grupos", R"({"grupo":"Todos"})"},
    {"POST", "/grupos", R"({"inicio":0,"quantidadereg":20})"},
    {"POST", "/grupoid", R"({"grupo":"Camisetas"})"},
    {"POST", "/grupoid", R"({"grupo":"Nada"})"},
    {"POST", "/grupoid", ""},
    {"GET", "/produtos/1", ""},
    {"GET", "/produtos/999", ""},
    {"GET", "/produtos/x", ""},
    {"GET", "/produtoslike/Cal%C3%A7a", ""},
    {"GET", "/produtoslike/zzz", ""},
    {"POST", "/cidades", R"({"iduf":"35"})"},
    {"POST", "/cidades", R"({"iduf":""})"},
    {"POST", "/cidades", ""},
    {"POST", "/estados", ""},
    {"POST", "/produtos", R"({"produto":"Todos"})"},
    {"POST", "/produtos", ""},
    {"POST", "/produtos-grupo",
     R"({"idgrupo":"2","inicio":0,"quantidadereg":5})"},
    {"POST", "/produtos-grupo", R"({"idgrupo":"2"})"},
    {"POST", "/produtos-grupo", R"({"idgrupo":""})"},
    {"POST", "/produtos-grupo", ""},
    {"POST", "/pedidos", R"({"inicio":0,"quantidadereg":5,"status":"Aberto"})"},
    {"POST", "/pedidos", R"({"inicio":0})"},
    {"GET", "/pedidos/separacao", ""},
    {"GET", "/pedidos/conferencia", ""},
    {"POST", "/pedidos/separados",
     R"({"idpedido":1,"idpedidoitem":1,"quantseparacao":"1,5"})"},
    {"POST", "/pedidos/separados",
     R"({"idpedido":1,"idpedidoitem":999,"quantseparacao":1})"},
    {"POST", "/pedidos/separados", R"({"idpedido":0})"},
    {"POST", "/pedidos/separados", ""},
    {"POST", "/pedidos/conferidos",
     R"({"idpedido":1,"idpedidoitem":1,"quantconferida":1})"},
    {"POST", "/pedidos/conferidos",
     R"({"idpedido":1,"idpedidoitem":999,"quantconferida":1})"},
    {"POST", "/pedidos/conferidos", R"({"idpedido":0})"},
    {"POST", "/pedidos/conferidos", ""},
    {"GET", "/pedidos/1", ""},
    {"GET", "/pedidos/999", ""},
    {"GET", "/pedidos/x", ""},
    {"POST", "/pedidos/novo",
     R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026 10:30",)"
     R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
     R"("idcliente":1,"vltotalpedido":"150,75","observacao":"",)"
     R"("itens":[{"idproduto":"1","unmed":"","idempresa":"1",)"
     R"("idusuario":"2","numcodbarrasusado":"789","descricaoitem":"Camiseta",)"
     R"("quantidade":"1,5","vlunitario":50.25,"vltotal":"75,375"}]})"},
    {"POST", "/pedidos/novo", ""},
};

// The service's middleware and resources on 127.0.0.1 over one database.
class Service {
 public:
  explicit Service(const std::string& script)
      : db_(script), pool_(PoolOn(db_)) {
    Api& api = server_.api();
    api.Use(Compression(1024)).Use(Paginate()).Use(JsonBody());
    api.Use([](ApiRequest& req, ApiResponse& res,
               const std::function<void()>& next) {
      HandleException(req, res, next);
    });
    ServiceHost::RegisterResources(api, *pool_);
    server_.Start();
  }

  testing::HttpReply Send(const Exchange& e) {
    const Headers headers = {{"Content-Type", "application/json"}};
    return testing::Request(server_.port(), e.method, e.target, headers,
                            e.body);
  }

 private:
  testing::TempDatabase db_;
  std::unique_ptr<ConnectionPool> pool_;
  testing::TestServer server_;
};

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t start = 1;
  while (start <= path.size()) {
    const std::size_t slash = std::min(path.find('/', start), path.size());
    segments.emplace_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return segments;
}

// The described path a target reaches: literal segments before
// parameters, as the router walks.
std::string DescribedPath(const JsonValue& paths, std::string_view target) {
  const std::vector<std::string> wanted = Segments(target);
  std::string best;
  int best_literals = -1;
  for (const JsonMember& p : paths.members()) {
    const std::vector<std::string> segments = Segments(p.key);
    if (segments.size() != wanted.size()) continue;
    int literals = 0;
    bool fits = true;
    for (std::size_t i = 0; i < segments.size() && fits; ++i) {
      if (!segments[i].empty() && segments[i].front() == '{') continue;
      fits = segments[i] == wanted[i];
      ++literals;
    }
    if (fits && literals > best_literals) {
      best = p.key;
      best_literals = literals;
    }
  }
  return best;
}

// {"Result":...}, {"Erro except":...}, {"error":...}, or a two-string
// array that begins with "Result" or "Erro except".
bool IsMessage(const JsonValue& body) {
  auto is_key = [](const std::string& key) {
    return key == "Result" || key == "Erro except" || key == "error";
  };
  if (body.IsObject()) {
    return body.size() == 1 && is_key(body.members()[0].key) &&
           body.members()[0].value.IsString();
  }
  return body.IsArray() && body.size() == 2 && body.elements()[0].IsString() &&
         body.elements()[1].IsString() && is_key(body.elements()[0].text());
}

// The new key or user key of {"Result":"4001"}.
bool IsKeyAnswer(const JsonValue& body) {
  if (!body.IsObject() || body.size() != 1) return false;
  const std::string& text = body.members()[0].value.text();
  return body.members()[0].key == "Result" && !text.empty() &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

// The examples of a response's JSON content, as given.
std::vector<JsonValue> Examples(const JsonValue& document,
                                const JsonValue& response) {
  std::vector<JsonValue> examples;
  const JsonValue& media = Member(
      Member(Resolve(document, response), "content"), "application/json");
  if (!Member(media, "example").IsNull()) {
    examples.push_back(Member(media, "example"));
  }
  for (const JsonMember& e : Member(media, "examples").members()) {
    examples.push_back(Member(e.value, "value"));
  }
  return examples;
}

// The row schemas a response offers for an array (`array`) or an object.
std::vector<const JsonValue*> RowSchemas(const JsonValue& document,
                                         const JsonValue& response,
                                         bool array) {
  const JsonValue& schema =
      Member(Member(Member(Resolve(document, response), "content"),
                    "application/json"),
             "schema");
  std::vector<const JsonValue*> alternatives = {&schema};
  for (const JsonValue& one : Member(schema, "oneOf").elements()) {
    alternatives.push_back(&one);
  }
  std::vector<const JsonValue*> rows;
  for (const JsonValue* one : alternatives) {
    const JsonValue* ref =
        array ? Member(*one, "items").Find("$ref") : one->Find("$ref");
    if (ref == nullptr || ref->text() == "#/components/schemas/Paged") {
      continue;
    }
    rows.push_back(&Resolve(document, array ? Member(*one, "items") : *one));
  }
  return rows;
}

// The row's keys are the schema's: all of them, and no others unless the
// schema is open.
bool RowMatches(const JsonValue& schema, const JsonValue& row) {
  if (!row.IsObject()) return false;
  std::set<std::string> keys;
  for (const JsonMember& m : row.members()) keys.insert(m.key);
  std::set<std::string> documented;
  for (const JsonMember& m : Member(schema, "properties").members()) {
    documented.insert(m.key);
  }
  if (Member(schema, "additionalProperties").AsBool()) {
    for (const std::string& key : documented) {
      if (keys.count(key) == 0) return false;
    }
    return true;
  }
  return keys == documented;
}

TEST(OpenApiTest, EveryAnswerIsDescribedAndEveryDescribedAnswerOccurs) {
  const std::string schema = ReadFile(kSourceDir / "demo/schema_sqlite.sql");
  const std::string fixture =
      ReadFile(kSourceDir / "tests/controllers/fixture.sql");
  ASSERT_FALSE(schema.empty());
  ASSERT_FALSE(fixture.empty());
  const JsonValue document = ParsedDocument();
  const JsonValue& paths = Member(document, "paths");

  // (method path, status) seen, and the messages seen with them.
  std::set<std::string> statuses_seen;
  std::vector<std::pair<std::string, JsonValue>> messages_seen;
  for (const std::string& script : {schema + fixture, schema, std::string()}) {
    Service service(script);
    for (const Exchange& e : kExchanges) {
      const testing::HttpReply reply = service.Send(e);
      const std::string route = std::string(e.method) + " " + e.target;
      SCOPED_TRACE(route + " " + e.body + " -> " +
                   std::to_string(reply.status) + " " + reply.body);
      const std::string path = DescribedPath(paths, e.target);
      const std::string method = MethodName(MethodTypeFromToken(e.method));
      const JsonValue& operation = Member(Member(paths, path), method);
      ASSERT_TRUE(operation.IsObject()) << "no operation for " << route;
      const std::string status = std::to_string(reply.status);
      const JsonValue& response =
          Member(Member(operation, "responses"), status);
      ASSERT_FALSE(response.IsNull()) << "status " << status << " undescribed";
      const std::string seen = method + " " + path + " " + status;
      statuses_seen.insert(seen);

      const auto body = ParseJson(reply.body);
      ASSERT_TRUE(body.has_value()) << "not JSON";
      if (IsMessage(*body)) {
        const std::vector<JsonValue> examples = Examples(document, response);
        bool found = false;
        for (const JsonValue& example : examples) {
          found = found || example == *body ||
                  (IsKeyAnswer(example) && IsKeyAnswer(*body));
        }
        EXPECT_TRUE(found) << "message not among the examples";
        messages_seen.emplace_back(seen, *body);
      } else {
        const bool array = body->IsArray();
        const JsonValue& row =
            array && body->size() > 0 ? body->elements()[0] : *body;
        bool matched = false;
        for (const JsonValue* rows : RowSchemas(document, response, array)) {
          matched = matched || RowMatches(*rows, row);
        }
        EXPECT_TRUE(matched) << "rows unlike every described row";
      }
    }
  }

  // Each described status of a route, and each described message, came up
  // (the chain's own 403, 421 and 500 and the transport's answers aside:
  // the access tests give those).
  for (const JsonMember& p : paths.members()) {
    for (const JsonMember& op : p.value.members()) {
      for (const JsonMember& r : Member(op.value, "responses").members()) {
        if (r.key == "403" || r.key == "421" || r.key == "500" ||
            r.key == "default") {
          continue;
        }
        const std::string described = op.key + " " + p.key + " " + r.key;
        EXPECT_EQ(statuses_seen.count(described), 1u)
            << described << " never answered";
        for (const JsonValue& example : Examples(document, r.value)) {
          bool seen = false;
          for (const auto& [where, message] : messages_seen) {
            seen = seen || (where == described &&
                            (message == example ||
                             (IsKeyAnswer(example) && IsKeyAnswer(message))));
          }
          EXPECT_TRUE(seen)
              << described << " never answered " << ToJsonText(example);
        }
      }
    }
  }
}

}  // namespace
}  // namespace norvessa
