// The exact SQL each handler sends, through a recording connection, and
// what hostile input can do to it.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "db/sql_lexer.h"
#include "db/sqlite/sqlite_connection.h"
#include "resource_server.h"
#include "serialize/base64.h"
#include "support/http_client.h"
#include "support/recording_connection.h"

namespace norvessa {
namespace {

std::string Golden(const std::string& name) {
  std::ifstream in(std::string(NORVESSA_SOURCE_DIR) +
                   "/tests/controllers/golden/" + name);
  std::stringstream s;
  s << in.rdbuf();
  std::string text = s.str();
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

struct Sent {
  int status;
  std::vector<std::string> sql;
  // The values bound to each statement's markers.
  std::vector<std::string> bound;
};

Sent Send(const char* method, const std::string& path,
          const std::string& body) {
  testing::RecordingPool recording;
  testing::ResourceServer server(recording.pool.get());
  const auto r = testing::Request(server.port(), method, path,
                                  {{"Content-Type", "application/json"}}, body);
  return {r.status, recording.Sql(), recording.Bound()};
}

TEST(ResourcesSqlTest, EachHandlerSendsItsText) {
  const std::string list = Golden("product_list.sql");
  const std::string detail = Golden("product_detail.sql");
  const std::string customers = Golden("customers.sql");
  const std::string residents = Golden("residents.sql");
  struct Case {
    const char* method;
    std::string path;
    std::string body;
    std::vector<std::string> sql;
    std::vector<std::string> bound = {};
  };
  const Case cases[] = {
      {"GET",
       "/usuarios",
       "",
       {"select IdEmpresa, IdUsuario, Usuario, Senha from Usuario\n"
        "where Situacao = 1\norder by Usuario"}},
      {"POST",
       "/autenticacao",
       R"({"usuario":"caixa1","senha":"s'1"})",
       {"select IdUsuario from Usuario where Situacao = 1\n"
        "and Usuario = 'caixa1'\nand Senha = 's''1'"}},
      {"GET", "/permissoes/007", "", {Golden("permissions.sql")}, {"7"}},
      {"POST",
       "/clientes",
       R"({"inicio":10,"quantidadereg":5})",
       {customers +
        "\norder by P.Pessoa\nOFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"10, 5"}},
      {"POST",
       "/clientes",
       R"({"inicio":0,"quantidadereg":5,"nomecliente":"d'av%_"})",
       {customers +
        "\nand P.Pessoa like '%d''av%_%'collate Latin1_General_CI_AI\n"
        "order by P.Pessoa\nOFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"0, 5"}},
      {"POST",
       "/clientes",
       R"({"idcidade":"2","cliente":"x"})",
       {customers + "\nand Ci.IdCidade = ?\norder by P.Pessoa"},
       {"2"}},
      {"POST",
       "/clientes",
       R"({"cliente":"Todos"})",
       {customers + "\norder by P.Pessoa"}},
      {"POST",
       "/clientes",
       R"({"cliente":"todos"})",
       {customers +
        "\nand P.Pessoa like '%todos%'collate Latin1_General_CI_AI\n"
        "order by P.Pessoa"}},
      {"GET", "/moradores", "", {residents + "\norder by P.Pessoa"}},
      {"GET",
       "/moradores/-12",
       "",
       {residents + "\nand TRY_CONVERT(int, F.RegistroAux) = ?"},
       {"-12"}},
      {"POST",
       "/grupos",
       R"({"inicio":0,"quantidadereg":20,"grupo":"Todos"})",
       {"select IdGrupo, Grupo from Grupo\nwhere Situacao = 1\norder by Grupo\n"
        "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"0, 20"}},
      {"POST",
       "/grupos",
       R"({"grupo":"cal"})",
       {"select IdGrupo, Grupo from Grupo\nwhere Situacao = 1\n"
        "and Grupo like '%cal%'collate Latin1_General_CI_AI\norder by Grupo\n"
        "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"0, 100"}},
      {"POST",
       "/grupoid",
       R"({"grupo":"D'Ávila"})",
       {"select IdGrupo from Grupo\nwhere Situacao = 1\nand Grupo = "
        "'D''Ávila'"}},
      {"GET",
       "/produtos/+526",
       "",
       {detail + "\nand P.IdProduto = ?"},
       {"526"}},
      {"GET",
       "/produtoslike/caf%C3%A9%20x",
       "",
       {detail + "\nand P.Produto like '%café x%'collate Latin1_General_CI_AI\n"
                 "order by P.Produto"}},
      {"POST",
       "/produtos",
       R"({"inicio":0,"quantidadereg":30})",
       {list + "\norder by P.Produto\nOFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"0, 30"}},
      {"POST",
       "/produtos",
       R"({"inicio":30,"quantidadereg":30,"nomeproduto":"camisa"})",
       {list + "\nand P.Produto like '%camisa%'collate Latin1_General_CI_AI\n"
               "order by P.Produto\nOFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"30, 30"}},
      {"POST",
       "/produtos",
       R"({"produto":"Todos"})",
       {list + "\norder by P.Produto"}},
      {"POST",
       "/produtos-grupo",
       R"({"idgrupo":"7","nomeproduto":"x","inicio":0,"quantidadereg":9})",
       {list + "\nand P.IdGrupo = ?\n"
               "and P.Produto like '%x%'collate Latin1_General_CI_AI\n"
               "order by P.Produto\nOFFSET ? ROWS FETCH NEXT ? ROWS ONLY"},
       {"7, 0, 9"}},
      // No statement at all where the handler answers first.
      {"POST", "/autenticacao", R"({"usuario":""})", {}},
      {"GET", "/permissoes/1.5", "", {}},
      {"POST", "/produtos-grupo", R"({"idgrupo":""})", {}},
      {"POST", "/cidades", R"({"iduf":""})", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
    const Sent sent = Send(c.method, c.path, c.body);
    EXPECT_EQ(sent.sql, c.sql);
    // Statements without markers bind nothing.
    std::vector<std::string> bound = c.bound;
    bound.resize(c.sql.size());
    EXPECT_EQ(sent.bound, bound);
  }
}

// The round trips a request costs: the statements it sends (queries,
// updates, inserts), and apart from them the begin and commit of its
// transaction, for a representative request of every route.
TEST(ResourcesSqlTest, StatementsPerRequest) {
  using testing::RecordingPool;
  const ResultSet one = RecordingPool::Rows({"IdPedido"}, {{"1"}});
  // The item read back after the addition.
  const ResultSet picked =
      RecordingPool::Rows({"IdPedido", "QtdEntregue"}, {{"1", "1"}});
  const ResultSet checked =
      RecordingPool::Rows({"IdPedido", "QtdConferida"}, {{"1", "1"}});
  const ResultSet waiting = RecordingPool::Rows(
      {"IdPedido", "DtEmissao", "DtEntrega", "Cliente", "VlTotalPedido",
       "IdPedidoItem", "Referencia", "DescricaoItem", "Quantidade",
       "QuantSeparacao", "QuantConferida"},
      {{"7", "05/03/2024", "10/03/2024", "A", "1", "70", "789", "x", "2", "1",
        "0"},
       {"7", "05/03/2024", "10/03/2024", "A", "1", "71", "789", "y", "2", "1",
        "0"},
       {"9", "06/03/2024", "11/03/2024", "B", "2", "90", "789", "z", "2", "1",
        "0"}});
  auto order = [](const char* unmed) {
    std::string item = R"({"idproduto":1,"unmed":")" + std::string(unmed) +
                       R"(","idempresa":"1","idusuario":"2",)"
                       R"("numcodbarrasusado":"789","descricaoitem":"x",)"
                       R"("quantidade":"1","vlunitario":1,"vltotal":1})";
    return R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026",)"
           R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
           R"("idcliente":2,"vltotalpedido":2,"observacao":"","itens":[)" +
           item + "," + item + "]}";
  };
  struct Case {
    const char* method;
    std::string path;
    std::string body;
    std::vector<ResultSet> results;  // what the queries answer, in order
    int status;
    int statements;
    int begin_commit;
  };
  const Case cases[] = {
      {"GET", "/usuarios", "", {one}, 200, 1, 0},
      {"POST",
       "/autenticacao",
       R"({"usuario":"a","senha":"b"})",
       {RecordingPool::Rows({"IdUsuario"}, {{"2"}})},
       200,
       1,
       0},
      {"GET", "/permissoes/1", "", {one}, 200, 1, 0},
      {"POST",
       "/clientes",
       R"({"inicio":0,"quantidadereg":5})",
       {one},
       200,
       1,
       0},
      {"GET", "/moradores", "", {one}, 200, 1, 0},
      {"GET", "/moradores/123", "", {one}, 200, 1, 0},
      {"POST", "/grupos", R"({"grupo":"Todos"})", {one}, 200, 1, 0},
      {"POST", "/grupoid", R"({"grupo":"x"})", {one}, 200, 1, 0},
      {"GET", "/produtos/1", "", {one}, 200, 1, 0},
      {"GET", "/produtoslike/cal", "", {one}, 200, 1, 0},
      {"POST", "/cidades", R"({"iduf":"35"})", {one}, 200, 1, 0},
      {"POST", "/estados", "", {one}, 200, 1, 0},
      {"POST",
       "/produtos",
       R"({"inicio":0,"quantidadereg":5})",
       {one},
       200,
       1,
       0},
      {"POST",
       "/produtos-grupo",
       R"({"idgrupo":"2","inicio":0,"quantidadereg":5})",
       {one},
       200,
       1,
       0},
      {"POST", "/pedidos", "", {one}, 200, 1, 0},
      {"GET", "/pedidos/separacao", "", {waiting}, 200, 1, 0},
      {"POST",
       "/pedidos/separados",
       R"({"idpedido":1,"idpedidoitem":"2","quantseparacao":"1"})",
       {picked},
       200,
       3,
       2},
      {"GET", "/pedidos/conferencia", "", {waiting}, 200, 1, 0},
      {"POST",
       "/pedidos/conferidos",
       R"({"idpedido":1,"idpedidoitem":"2","quantconferida":"1"})",
       {checked},
       200,
       3,
       2},
      {"GET", "/pedidos/1", "", {one}, 200, 1, 0},
      // Two items, with their units of measure given, then without: each
      // item without one asks for its product's.
      {"POST", "/pedidos/novo", order("CX"), {}, 200, 3, 2},
      {"POST", "/pedidos/novo", order(""), {}, 200, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.path + " " + c.body);
    RecordingPool recording;
    for (const ResultSet& r : c.results) recording.log->results.push_back(r);
    testing::ResourceServer server(recording.pool.get());
    EXPECT_EQ(testing::Request(server.port(), c.method, c.path,
                               {{"Content-Type", "application/json"}}, c.body)
                  .status,
              c.status);
    int statements = 0;
    int begin_commit = 0;
    for (const auto& s : recording.log->statements) {
      ++(s.sql.empty() ? begin_commit : statements);
    }
    EXPECT_EQ(statements, c.statements);
    EXPECT_EQ(begin_commit, c.begin_commit);
  }
}

// The statement with every string literal blanked: hostile input may only
// ever change what is inside a literal.
std::string Shape(const std::string& sql) {
  std::string shape;
  for (const SqlToken& t : TokenizeSql(sql)) {
    shape += t.kind == SqlTokenKind::kString ? "'?'" : t.text;
  }
  return shape;
}

TEST(ResourcesSqlTest, HostileInputStaysInsideOneLiteral) {
  const std::string hostile[] = {
      "'",
      "a' or '1'='1",
      "x'; drop table Pedido; --",
      "-- comment",
      "/* comment */",
      "a;b",
      std::string("nul\0byte", 8),
      "%00",
      // The longest text a field of the body holds, its quote last.
      std::string(4095, 'q') + "'",
      "Ação çãõ ñ \xF0\x9F\x94\xA5",
      "%_%",
      "\\'",
      "''",
  };
  struct Route {
    const char* method;
    const char* path;  // {} is replaced by the escaped value
    const char* body;  // {} likewise
  };
  const Route routes[] = {
      {"POST", "/autenticacao", R"({"usuario":"{}","senha":"{}"})"},
      {"POST", "/clientes",
       R"({"inicio":0,"quantidadereg":1,"nomecliente":"{}"})"},
      {"POST", "/clientes", R"({"idcidade":"{}"})"},
      {"POST", "/clientes", R"({"cliente":"{}"})"},
      {"POST", "/grupos", R"({"grupo":"{}"})"},
      {"POST", "/grupoid", R"({"grupo":"{}"})"},
      {"POST", "/produtos", R"({"produto":"{}"})"},
      {"POST", "/produtos",
       R"({"inicio":0,"quantidadereg":1,"nomeproduto":"{}"})"},
      {"POST", "/produtos-grupo",
       R"({"idgrupo":"{}","nomeproduto":"{}","inicio":0,"quantidadereg":1})"},
      {"POST", "/cidades", R"({"iduf":"{}"})"},
      {"GET", "/produtoslike/{}", ""},
  };
  auto json_escape = [](const std::string& v) {
    std::string out;
    for (char c : v) {
      if (c == '"' || c == '\\') out += '\\';
      if (c == '\0') {
        out += "\\u0000";
        continue;
      }
      out += c;
    }
    return out;
  };
  auto url_escape = [](const std::string& v) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : v) {
      if (std::isalnum(c)) {
        out += static_cast<char>(c);
      } else {
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
      }
    }
    return out;
  };
  auto fill = [](std::string text, const std::string& value) {
    for (std::size_t p; (p = text.find("{}")) != std::string::npos;) {
      text.replace(p, 2, value);
    }
    return text;
  };
  // One server for every request: each request's statements are the log's
  // since the last one.
  testing::RecordingPool recording;
  testing::ResourceServer server(recording.pool.get());
  auto send = [&](const char* method, const std::string& path,
                  const std::string& text) {
    {
      std::lock_guard lock(recording.log->mutex);
      recording.log->statements.clear();
    }
    const auto r =
        testing::Request(server.port(), method, path,
                         {{"Content-Type", "application/json"}}, text);
    return Sent{r.status, recording.Sql()};
  };
  for (const Route& route : routes) {
    const Sent benign = send(route.method, fill(route.path, "benigno"),
                             fill(route.body, "benigno"));
    ASSERT_EQ(benign.sql.size(), 1u) << route.path << " " << route.body;
    for (const std::string& value : hostile) {
      SCOPED_TRACE(std::string(route.path) + " " + route.body + " <- " +
                   value.substr(0, 40));
      const Sent sent = send(route.method, fill(route.path, url_escape(value)),
                             fill(route.body, json_escape(value)));
      ASSERT_EQ(sent.sql.size(), 1u);
      EXPECT_EQ(Shape(sent.sql[0]), Shape(benign.sql[0]));
    }
  }
}

TEST(ResourcesSqlTest, HostileInputEndToEnd) {
  testing::ResourceServer server;
  const char* hostile[] = {"' or '1'='1", "x'; drop table Grupo; --", "%'--",
                           "Camisetas' union select 1, 'x"};
  for (const char* value : hostile) {
    SCOPED_TRACE(value);
    std::string escaped;
    for (const char* p = value; *p; ++p) escaped += *p;
    const auto grupo =
        testing::Request(server.port(), "POST", "/grupoid",
                         {{"Content-Type", "application/json"}},
                         std::string(R"({"grupo":")") + escaped + R"("})");
    EXPECT_EQ(grupo.body, R"({"Result":"Nenhum Registro Encontrado!"})");
    const auto login =
        testing::Request(server.port(), "POST", "/autenticacao",
                         {{"Content-Type", "application/json"}},
                         std::string(R"({"usuario":")") + escaped +
                             R"(","senha":")" + escaped + R"("})");
    EXPECT_EQ(login.status, 401);
    EXPECT_EQ(login.body, R"({"Result":"Usuario Sem Permissao!"})");
  }
  // Nothing was dropped.
  EXPECT_EQ(server.db().Scalar("select count(*) from Grupo"), "6");
}

std::string Repeated(const std::string& piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// The text as a JSON string; the texts sent here hold no quote, backslash
// or control character but line breaks.
std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// An order's "observacao" of up to 4096 characters is stored as sent; a
// longer one is read as canonical Base64 and its bytes stored, and any
// other long text fails the import: 500 with the conversion error, and
// nothing is sent to the database.
TEST(ResourcesSqlTest, LongObservationsAreBase64OrRefused) {
  const std::vector<std::pair<std::string, std::string>> kJson = {
      {"Content-Type", "application/json"}};
  const std::string refused =
      R"({"error":"Field \"OBSERVACAO\" takes a Base64 string"})";
  const std::string sentence = "Entregar na portaria, das 8h \xC3\xA0s 12h. ";
  const std::string plain = Repeated(sentence, 200);  // 7,600 bytes
  const std::string base64 = EncodeBase64(plain);     // 10,136 characters
  std::string wrapped;  // as a mail client wraps it
  for (std::size_t i = 0; i < base64.size(); i += 76) {
    wrapped += base64.substr(i, 76) + "\r\n";
  }
  // ASCII text that is not Base64: it has blanks and stops.
  auto ascii = [](std::size_t length) {
    const std::string piece = "Entregar na portaria. ";
    return Repeated(piece, length / piece.size() + 1).substr(0, length);
  };
  const std::string cedilla = "\xC3\xA7", han = "\xE4\xB8\xAD",
                    emoji = "\xF0\x9F\x98\x80";
  enum class Stored { kAsSent, kDecoded, kNothing };
  struct Case {
    const char* name;
    std::string observacao;
    Stored stored;
  };
  const Case kCases[] = {
      {"ASCII x4095", ascii(4095), Stored::kAsSent},
      {"ASCII x4096", ascii(4096), Stored::kAsSent},
      {"ASCII x4097", ascii(4097), Stored::kNothing},
      {"ASCII x5000", ascii(5000), Stored::kNothing},
      {"accented x4095", Repeated(cedilla, 4095), Stored::kAsSent},
      {"accented x4096", Repeated(cedilla, 4096), Stored::kAsSent},
      {"accented x4097", Repeated(cedilla, 4097), Stored::kNothing},
      {"accented x5000", Repeated(cedilla, 5000), Stored::kNothing},
      {"CJK x4095", Repeated(han, 4095), Stored::kAsSent},
      {"CJK x4096", Repeated(han, 4096), Stored::kAsSent},
      {"CJK x4097", Repeated(han, 4097), Stored::kNothing},
      {"CJK x5000", Repeated(han, 5000), Stored::kNothing},
      {"emoji x4095", Repeated(emoji, 4095), Stored::kAsSent},
      {"emoji x4096", Repeated(emoji, 4096), Stored::kAsSent},
      {"emoji x4097", Repeated(emoji, 4097), Stored::kNothing},
      {"emoji x5000", Repeated(emoji, 5000), Stored::kNothing},
      {"Base64", base64, Stored::kDecoded},
      {"Base64 in lines", wrapped, Stored::kNothing},
      {"Base64 less a character", base64.substr(1), Stored::kNothing},
  };

  testing::RecordingPool recording;
  testing::ResourceServer recorded(recording.pool.get());
  // The demo schema without the length check on the column.
  std::string script = testing::FixtureScript();
  const std::string check = " CHECK (length(Observacao) <= 255)";
  ASSERT_NE(script.find(check), std::string::npos);
  script.erase(script.find(check), check.size());
  testing::TempDatabase db(script);
  ConnectionPool pool(
      [&]() -> std::unique_ptr<Connection> {
        return std::make_unique<SqliteConnection>(db.path());
      },
      4);
  testing::ResourceServer stored(&pool);
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::string body =
        R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026",)"
        R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
        R"("idcliente":2,"vltotalpedido":2,"observacao":)" +
        JsonString(c.observacao) + R"(,"itens":[]})";
    {
      std::lock_guard lock(recording.log->mutex);
      recording.log->statements.clear();
    }
    const auto r =
        testing::Request(recorded.port(), "POST", "/pedidos/novo", kJson, body);
    std::optional<std::string> bound;
    std::size_t sent = 0;
    {
      std::lock_guard lock(recording.log->mutex);
      sent = recording.log->statements.size();
      for (const auto& statement : recording.log->statements) {
        if (statement.kind != "insert") continue;
        for (const Param& p : statement.params) {
          if (p.name == "Observacao") bound = std::get<std::string>(p.value);
        }
      }
    }
    const std::string rows_before = db.Scalar("select count(*) from Pedido");
    const auto on_sqlite =
        testing::Request(stored.port(), "POST", "/pedidos/novo", kJson, body);
    const std::string last = db.Scalar("select max(IdPedido) from Pedido");
    if (c.stored != Stored::kNothing) {
      const std::string& expected =
          c.stored == Stored::kAsSent ? c.observacao : plain;
      EXPECT_EQ(r.status, 200);
      EXPECT_EQ(bound, expected);
      EXPECT_EQ(on_sqlite.body, R"({"Result":")" + last + R"("})");
      EXPECT_EQ(
          db.Scalar("select Observacao from Pedido where IdPedido = " + last),
          expected);
      EXPECT_EQ(db.Scalar("select count(*) from Pedido"),
                std::to_string(std::stoi(rows_before) + 1));
    } else {
      EXPECT_EQ(r.status, 500);
      EXPECT_EQ(r.body, refused);
      EXPECT_EQ(bound, std::nullopt);
      EXPECT_EQ(sent, 0u);
      EXPECT_EQ(on_sqlite.status, 500);
      EXPECT_EQ(on_sqlite.body, refused);
      EXPECT_EQ(db.Scalar("select count(*) from Pedido"), rows_before);
    }
  }
}

}  // namespace
}  // namespace norvessa
