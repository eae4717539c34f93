// Orders end to end on the fixture, their exact SQL, and creation that
// stores everything or nothing.

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "db/connection_factory.h"
#include "db/driver_error.h"
#include "db/sqlite/sqlite_connection.h"
#include "resource_server.h"
#include "support/failing_connection.h"
#include "support/http_client.h"
#include "support/recording_connection.h"

namespace norvessa {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;
const Headers kJson = {{"Content-Type", "application/json"}};
const std::string kNenhum = R"(["Result","Nenhum Registro Encontrado!"])";
const std::string kErro = R"(["Erro except","Nenhum Registro Encontrado!"])";

testing::HttpReply Post(testing::ResourceServer& s, const std::string& path,
                        const std::string& body) {
  return testing::Request(s.port(), "POST", path, kJson, body);
}

const std::string kOrder1 =
    R"({"idpedido":1,"dtemissao":"05\/03\/2024","dtentrega":"10\/03\/2024",)"
    R"("cliente":"Jos\u00E9 da Silva","vltotalpedido":100.5,"status":"Aberto"})";
const std::string kOrder2 =
    R"({"idpedido":2,"dtemissao":"31\/03\/2024","dtentrega":"02\/04\/2024",)"
    R"("cliente":"Maria D'\u00C1vila","vltotalpedido":20,"status":"Separado"})";
const std::string kOrder3 =
    R"({"idpedido":3,"dtemissao":"01\/04\/2024","dtentrega":"03\/04\/2024",)"
    R"("cliente":"\u00C2ngela Souza","vltotalpedido":30,"status":"Cancelado"})";

TEST(OrdersTest, Lists) {
  testing::ResourceServer server;
  struct Case {
    std::string body;
    int status;
    std::string answer;
  };
  const Case cases[] = {
      {R"({"inicio":0,"quantidadereg":20,"perinicial":"1/3/2024","perfinal":"31/03/2024","status":"Outros"})",
       200, "[" + kOrder2 + "]"},
      {R"({"inicio":0,"quantidadereg":20,"perinicial":"01/03/2024","perfinal":"31/03/2024","status":"Aberto"})",
       200, "[" + kOrder1 + "]"},
      {R"({"inicio":0,"quantidadereg":20,"status":"Cancelado"})", 200,
       "[" + kOrder3 + "]"},
      {R"({"inicio":1,"quantidadereg":1,"status":"Outros"})", 200,
       R"([{"idpedido":5,"dtemissao":"29\/02\/2024","dtentrega":null,)"
       R"("cliente":"Maria D'\u00C1vila","vltotalpedido":50,"status":"Faturado"}])"},
      {R"({"inicio":5,"quantidadereg":1,"status":"Outros"})", 400, kNenhum},
      {R"({"inicio":0,"quantidadereg":20,"perinicial":"01/03/2024","status":"Aberto"})",
       404, kErro},
      {R"({"inicio":0,"quantidadereg":20,"perinicial":"2024-03-01","perfinal":"31/03/2024","status":"Aberto"})",
       404, kErro},
      {R"({"inicio":0,"quantidadereg":20})", 404, kErro},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto r = Post(server, "/pedidos", c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.answer);
  }
  // Without "inicio": every active order that has an active item.
  const auto all = Post(server, "/pedidos", "");
  EXPECT_EQ(all.status, 200);
  for (const char* id :
       {"\"idpedido\":1,", "\"idpedido\":2,", "\"idpedido\":3,",
        "\"idpedido\":4,", "\"idpedido\":5,"}) {
    EXPECT_NE(all.body.find(id), std::string::npos) << id;
  }
  EXPECT_EQ(all.body.find("\"idpedido\":6,"), std::string::npos);
}

// The waiting lists of the fixture.
const std::string kCheckingAnswer =
    R"([{"idpedido":1,"cliente":"Jos\u00E9 da Silva","dtemissao":"2024-03-05",)"
    R"("dtentrega":"2024-03-10","vltotalpedido":100.5,"pedidoitensconferencia":[)"
    R"({"idpedido":1,"idpedidoitem":1,"referencia":"7890000000011",)"
    R"("descricaoitem":"Camiseta B\u00E1sica","quantidade":10,"quantseparada":8,)"
    R"("quantconferida":0},{"idpedido":1,"idpedidoitem":2,"referencia":"7890000000028",)"
    R"("descricaoitem":"Cal\u00E7a Jeans","quantidade":2,"quantseparada":2,)"
    R"("quantconferida":1}]},{"idpedido":2,"cliente":"Maria D'\u00C1vila",)"
    R"("dtemissao":"2024-03-31","dtentrega":"2024-04-02","vltotalpedido":20,)"
    R"("pedidoitensconferencia":[{"idpedido":2,"idpedidoitem":3,)"
    R"("referencia":"7890000000011","descricaoitem":"Camiseta B\u00E1sica",)"
    R"("quantidade":1,"quantseparada":1,"quantconferida":0}]}])";
const std::string kPickingAnswer =
    R"([{"idpedido":1,"cliente":"Jos\u00E9 da Silva","dtemissao":"2024-03-05",)"
    R"("dtentrega":"2024-03-10","vltotalpedido":100.5,"pedidoitens":[)"
    R"({"idpedidoitem":1,"referencia":"7890000000011","descricaoitem":)"
    R"("Camiseta B\u00E1sica","quantidade":10,"quantseparacao":8},)"
    R"({"idpedidoitem":2,"referencia":"7890000000028","descricaoitem":)"
    R"("Cal\u00E7a Jeans","quantidade":2,"quantseparacao":2}]},)"
    R"({"idpedido":3,"cliente":"\u00C2ngela Souza","dtemissao":"2024-04-01",)"
    R"("dtentrega":"2024-04-03","vltotalpedido":30,"pedidoitens":[)"
    R"({"idpedidoitem":4,"referencia":"7890000000042","descricaoitem":"Cinto",)"
    R"("quantidade":5,"quantseparacao":0}]}])";

TEST(OrdersTest, PickingAndCheckingNestTheirItems) {
  testing::ResourceServer server;
  // A checking request, then a picking one: each carries its own items.
  const auto c = testing::Request(server.port(), "GET", "/pedidos/conferencia");
  EXPECT_EQ(c.status, 200);
  EXPECT_EQ(c.body, kCheckingAnswer);
  const auto p = testing::Request(server.port(), "GET", "/pedidos/separacao");
  EXPECT_EQ(p.status, 200);
  EXPECT_EQ(p.body, kPickingAnswer);

  // An order without a delivery date fails the whole list.
  server.db().Exec(
      "UPDATE Pedido SET DtSaidaInicial = NULL WHERE IdPedido = 3");
  const auto failed =
      testing::Request(server.port(), "GET", "/pedidos/separacao");
  EXPECT_EQ(failed.status, 404);
  EXPECT_EQ(failed.body, kErro);
  server.db().Exec(
      "UPDATE PedidoItem SET QtdEntregue = Quantidade, QtdConferida = "
      "Quantidade");
  EXPECT_EQ(testing::Request(server.port(), "GET", "/pedidos/separacao").status,
            400);
  const auto none =
      testing::Request(server.port(), "GET", "/pedidos/conferencia");
  EXPECT_EQ(none.status, 400);
  EXPECT_EQ(none.body, kNenhum);
}

TEST(OrdersTest, PickedAndCheckedQuantitiesAreCapped) {
  testing::ResourceServer server;
  struct Case {
    const char* path;
    const char* body;
    int status;
    const char* answer;
    const char* after;  // item 1: Quantidade|QtdEntregue|QtdConferida
  };
  const Case cases[] = {
      {"/pedidos/separados",
       R"({"idpedido":1,"idpedidoitem":"1","quantseparacao":"5"})", 200,
       R"({"Result":"OK"})", "10|10|0"},
      {"/pedidos/conferidos",
       R"({"idpedido":"1","idpedidoitem":1,"quantconferida":"2,5"})", 200,
       R"({"Result":"OK"})", "10|10|2.5"},
      {"/pedidos/conferidos",
       R"({"idpedido":1,"idpedidoitem":1,"quantconferida":50})", 200,
       R"({"Result":"OK"})", "10|10|10"},
      {"/pedidos/separados",
       R"({"idpedido":1,"idpedidoitem":"1","quantseparacao":"muito"})", 404,
       R"({"Erro except":"Nenhum Pedido Separado!"})", "10|10|10"},
      {"/pedidos/separados",
       R"({"idpedido":1,"idpedidoitem":"99","quantseparacao":"1"})", 400,
       R"({"Result":"Pedido N\u00E3o Localizado!"})", "10|10|10"},
      {"/pedidos/separados",
       R"({"idpedido":0,"idpedidoitem":"1","quantseparacao":"1"})", 400,
       R"({"Result":"Nenhum Pedido Separado!"})", "10|10|10"},
      {"/pedidos/conferidos", R"({"idpedido":0})", 400,
       R"({"Result":"Nenhum Pedido Conferido!"})", "10|10|10"},
      {"/pedidos/separados", R"({"idpedidoitem":"1"})", 404,
       R"({"Erro except":"Nenhum Pedido Separado!"})", "10|10|10"},
      {"/pedidos/conferidos", R"({"idpedido":"x"})", 404,
       R"({"Erro except":"Nenhum Pedido Conferido!"})", "10|10|10"},
      {"/pedidos/conferidos", R"({"idpedido":1,"quantconferida":"1"})", 404,
       R"({"Erro except":"Nenhum Pedido Conferido!"})", "10|10|10"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.body);
    const auto r = Post(server, c.path, c.body);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.body, c.answer);
    EXPECT_EQ(server.db().Scalar(
                  "select Quantidade || '|' || QtdEntregue || '|' || "
                  "QtdConferida from PedidoItem where IdPedidoItem = 1"),
              c.after);
  }
}

TEST(OrdersTest, OneOrderByKey) {
  testing::ResourceServer server;
  const auto one = testing::Request(server.port(), "GET", "/pedidos/1");
  EXPECT_EQ(one.status, 200);
  EXPECT_EQ(
      one.body.find(
          R"({"idpedido":1,"dtemissao":"05\/03\/2024","dtentrega":"10\/03\/2024",)"
          R"("cliente":"Jos\u00E9 da Silva","vltotalpedido":100.5,"idpedidoitem":)"),
      0u)
      << one.body;
  const auto none = testing::Request(server.port(), "GET", "/pedidos/99");
  EXPECT_EQ(none.status, 400);
  EXPECT_EQ(none.body, R"({"Result":"Nenhum Registro Encontrado!"})");
  const auto bad = testing::Request(server.port(), "GET", "/pedidos/abc");
  EXPECT_EQ(bad.status, 404);
  EXPECT_EQ(bad.body, R"({"Erro except":"Nenhum Registro Encontrado!"})");
  EXPECT_EQ(testing::Request(server.port(), "GET", "/pedidos/novo").status,
            405);
}

std::string NewOrder(const std::string& items) {
  return R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026 10:30",)"
         R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
         R"("idcliente":2,"vltotalpedido":"150,75","observacao":"Entregar \u00E0 tarde",)"
         R"("itens":[)" +
         items + "]}";
}

std::string Item(const std::string& product, const std::string& unmed,
                 const std::string& description) {
  return R"({"idproduto":)" + product + R"(,"unmed":")" + unmed +
         R"(","idempresa":"1","idusuario":"2","numcodbarrasusado":"789",)"
         R"("descricaoitem":")" +
         description +
         R"(","quantidade":"1,5","vlunitario":50.25,"vltotal":"75.375"})";
}

TEST(OrdersTest, CreatesAnOrderWithItsItems) {
  testing::ResourceServer server;
  const auto r = Post(server, "/pedidos/novo",
                      NewOrder(Item("\"1\"", "CX", "Camiseta B\\u00E1sica") +
                               "," + Item("2", "", "Cal\u00E7a") + "," +
                               Item("5", "", "Sem unidade")));
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"Result":"7"})");
  EXPECT_EQ(server.db().Scalar("select IdEmpresa || '|' || IdUsuario || '|' || "
                               "Situacao || '|' || Status || '|' || "
                               "Origem || '|' || DtEmissao || '|' || IdCliente "
                               "|| '|' || VlTotalPedido || '|' || "
                               "Observacao || '|' || substr(DtSaidaInicial, 1, "
                               "10) from Pedido where IdPedido = 7"),
            "1|2|1|Aberto|APP|2026-12-10 10:30:00|2|150.75|Entregar \xC3\xA0 "
            "tarde|2026-12-12");
  EXPECT_EQ(
      server.db().Scalar(
          "select group_concat(NumItem || ':' || IdProduto || ':' || UnMed || "
          "':' || "
          "DescricaoItem || ':' || Quantidade, ';') from "
          "(select * from PedidoItem where IdPedido = 7 order by NumItem)"),
      "1:1:CX:Camiseta B\xC3\xA1sica:1.5;2:2:KG:Cal\xC3\xA7"
      "a:1.5;"
      "3:5:UN:Sem unidade:1.5");
  // A new order is open and listed at once.
  EXPECT_NE(Post(server, "/pedidos", "").body.find("\"idpedido\":7,"),
            std::string::npos);
}

// A body the service refuses stores nothing.
TEST(OrdersTest, AFailedOrderStoresNothing) {
  const std::vector<std::string> bodies = {
      R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026","dtsaidainicial":"12/12/2026",)"
      R"("dtsaidafinal":"15/12/2026","idcliente":2,"vltotalpedido":1,"observacao":""})",
      NewOrder(Item("\"x\"", "CX", "a")),
      NewOrder(R"({"idproduto":1})"),
      NewOrder(Item("1", "CX", "a") + ",3"),
  };
  for (const std::string& body : bodies) {
    SCOPED_TRACE(body);
    testing::TempDatabase db(testing::FixtureScript());
    ConnectionPool pool(
        [&]() -> std::unique_ptr<Connection> {
          return std::make_unique<SqliteConnection>(db.path());
        },
        4);
    testing::ResourceServer server(&pool);
    const auto r = Post(server, "/pedidos/novo", body);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"Erro except":"Erro no Pedido!"})");
    EXPECT_EQ(db.Scalar("select count(*) from Pedido"), "6");
    EXPECT_EQ(db.Scalar("select count(*) from PedidoItem"), "8");
  }
}

// A good order made to fail at its first call, then its second, and so on
// until it gets through: wherever it fails, the order and its items are
// stored together or not at all.
TEST(OrdersTest, AFailureAtAnyCallStoresNothing) {
  const std::string body =
      NewOrder(Item("1", "", "a") + "," + Item("2", "CX", "b"));
  constexpr int kMostCalls = 100;
  int fail_at = 1;
  for (; fail_at <= kMostCalls; ++fail_at) {
    SCOPED_TRACE("fail at " + std::to_string(fail_at));
    testing::TempDatabase db(testing::FixtureScript());
    ConnectionPool pool(
        [&]() -> std::unique_ptr<Connection> {
          return std::make_unique<testing::FailingConnection>(
              std::make_unique<SqliteConnection>(db.path()), fail_at);
        },
        4);
    testing::ResourceServer server(&pool);
    const auto r = Post(server, "/pedidos/novo", body);
    if (r.status == 200) {
      EXPECT_EQ(db.Scalar("select count(*) from Pedido"), "7");
      EXPECT_EQ(db.Scalar("select count(*) from PedidoItem where IdPedido = 7"),
                "2");
      break;
    }
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, R"({"Erro except":"Erro no Pedido!"})");
    EXPECT_EQ(db.Scalar("select count(*) from Pedido"), "6");
    EXPECT_EQ(db.Scalar("select count(*) from PedidoItem"), "8");
  }
  EXPECT_LE(fail_at, kMostCalls) << "the order never got through";
  // The order and each item are calls of their own, so several points
  // were made to fail before it got through.
  EXPECT_GT(fail_at, 3);
}

TEST(OrdersTest, ConcurrentOrdersGetTheirOwnKeys) {
  testing::ResourceServer server;
  std::vector<std::future<std::pair<std::string, std::string>>> orders;
  for (int i = 0; i < 20; ++i) {
    orders.push_back(std::async(std::launch::async, [&server, i] {
      const std::string tag = "pedido-" + std::to_string(i);
      const auto r =
          Post(server, "/pedidos/novo",
               NewOrder(Item("1", "CX", tag) + "," + Item("2", "CX", tag) +
                        "," + Item("4", "CX", tag)));
      return std::make_pair(r.body, tag);
    }));
  }
  std::set<std::string> keys;
  for (auto& f : orders) {
    const auto [body, tag] = f.get();
    ASSERT_EQ(body.substr(0, 11), R"({"Result":")") << body;
    const std::string key = body.substr(11, body.size() - 13);
    keys.insert(key);
    EXPECT_EQ(
        server.db().Scalar("select group_concat(DescricaoItem) from PedidoItem "
                           "where IdPedido = " +
                           key),
        tag + "," + tag + "," + tag);
  }
  EXPECT_EQ(keys.size(), 20u);
}

TEST(OrdersTest, SendsTheseStatements) {
  testing::RecordingPool recording;
  // The list's rows, then the item read back after the addition.
  recording.log->results.push_back(
      testing::RecordingPool::Rows({"IdPedido"}, {{"1"}}));
  recording.log->results.push_back(testing::RecordingPool::Rows(
      {"IdPedido", "QtdEntregue"}, {{"1", "2.5"}}));
  testing::ResourceServer server(recording.pool.get());
  Post(
      server, "/pedidos",
      R"({"inicio":0,"quantidadereg":20,"perinicial":"01/03/2024","perfinal":"31/03/2024","status":"Outros"})");
  Post(server, "/pedidos/separados",
       R"({"idpedido":1,"idpedidoitem":"2","quantseparacao":"1,5"})");
  const std::vector<std::string> sql = recording.Sql();
  ASSERT_EQ(sql.size(), 4u);
  EXPECT_EQ(sql[0],
            "select Distinct P.IdPedido, CONVERT(Varchar(10), P.DtEmissao, "
            "103) as DtEmissao,\n"
            "CONVERT(Varchar(10), P.DtSaidaInicial, 103) as DtEntrega, "
            "C.Pessoa as Cliente,\n"
            "P.VlTotalPedido, P.Status from Pedido P\n"
            "join Pessoa C on (C.IdPessoa = P.IdCliente)\n"
            "join PedidoItem PI on (PI.IdPedido = P.IdPedido)\n"
            "where P.Situacao = 1\n"
            "and PI.Situacao = 1\n"
            "and P.DtEmissao >= '03/01/2024'\n"
            "and P.DtEmissao <= '03/31/2024 23:59:59'\n"
            "and P.Status <> 'Aberto'\n"
            "and P.Status <> 'Cancelado'\n"
            "and P.Status <> 'Entregue'\n"
            "order by P.IdPedido\n"
            "OFFSET ? ROWS FETCH NEXT ? ROWS ONLY");
  // The addition first: the item read back after it, in the same
  // transaction, shows whether it exists and what the addition made of it.
  EXPECT_EQ(sql[1],
            "update PedidoItem set QtdEntregue = QtdEntregue + '1.5'\n"
            "where IdPedido = ?\nand IdPedidoItem = ?");
  EXPECT_EQ(sql[2],
            "select IdPedido, QtdEntregue from PedidoItem\nwhere IdPedido = "
            "?\nand IdPedidoItem = ?");
  EXPECT_EQ(sql[3],
            "update PedidoItem set QtdEntregue = Quantidade\n"
            "where IdPedido = ?\nand IdPedidoItem = ?\n"
            "and QtdEntregue > Quantidade");
  // The keys, numeric, are bound; so are the paging values.
  EXPECT_EQ(recording.Bound(),
            (std::vector<std::string>{"0, 20", "1, 2", "1, 2", "1, 2"}));
}

// The waiting orders with all their active items, in one statement whose
// text never changes.
std::string WaitingListSql(bool picking) {
  return std::string(
             "select P.IdPedido, P.DtEmissao, P.DtSaidaInicial as DtEntrega, "
             "C.Pessoa as Cliente,\n"
             "P.VlTotalPedido, PI.IdPedidoItem, PI.NumCodBarrasUsado as "
             "Referencia, PI.DescricaoItem,\n") +
         (picking ? "PI.Quantidade, PI.QtdEntregue as QuantSeparacao from "
                    "Pedido P\n"
                  : "PI.Quantidade, PI.QtdEntregue as QuantSeparacao, "
                    "PI.QtdConferida as QuantConferida from Pedido P\n") +
         "join Pessoa C on (C.IdPessoa = P.IdCliente)\n"
         "join PedidoItem PI on (PI.IdPedido = P.IdPedido)\n"
         "where P.Situacao = 1\n"
         "and P.DtEmissao > '06/01/2021'\n"
         "and PI.Situacao = 1\n"
         "and exists (select 1 from PedidoItem PE\n"
         "where PE.IdPedido = P.IdPedido\n"
         "and PE.Situacao = 1\n" +
         (picking ? "and (PE.QtdEntregue < PE.Quantidade))\n"
                  : "and (PE.QtdConferida < PE.QtdEntregue))\n") +
         "order by P.IdPedido, PI.IdPedidoItem";
}

TEST(OrdersTest, WaitingListsAreOneStatementWithAFixedText) {
  const bool kStages[] = {true, false};
  for (const bool picking : kStages) {
    SCOPED_TRACE(picking ? "picking" : "checking");
    std::vector<std::string> columns = {
        "IdPedido",      "DtEmissao",     "DtEntrega",  "Cliente",
        "VlTotalPedido", "IdPedidoItem",  "Referencia", "DescricaoItem",
        "Quantidade",    "QuantSeparacao"};
    if (!picking) columns.push_back("QuantConferida");
    auto item = [&](std::string order, std::string id) {
      std::vector<std::string> row = {
          std::move(order), "05/03/2024", "10/03/2024", "A", "1",
          std::move(id),    "789",        "Item",       "2", "1"};
      if (!picking) row.push_back("0");
      return row;
    };
    testing::RecordingPool recording;
    // Two requests while different orders wait.
    recording.log->results.push_back(testing::RecordingPool::Rows(
        columns, {item("7", "70"), item("7", "71"), item("9", "90")}));
    recording.log->results.push_back(
        testing::RecordingPool::Rows(columns, {item("3", "30")}));
    testing::ResourceServer server(recording.pool.get());
    const char* path = picking ? "/pedidos/separacao" : "/pedidos/conferencia";
    EXPECT_EQ(testing::Request(server.port(), "GET", path).status, 200);
    EXPECT_EQ(testing::Request(server.port(), "GET", path).status, 200);
    const std::string sql = WaitingListSql(picking);
    EXPECT_EQ(recording.Sql(), (std::vector<std::string>{sql, sql}));
  }
}

// A connection over a database file that changes the data right after the
// first statement it runs, as another client's update would while a list
// is being built.
class ChangesAfterFirstStatement : public SqliteConnection {
 public:
  ChangesAfterFirstStatement(const testing::TempDatabase& db,
                             std::string change)
      : SqliteConnection(db.path()), db_(db), change_(std::move(change)) {}

  ResultSet Open(std::string_view sql,
                 const std::vector<Param>& params) override {
    ResultSet result = SqliteConnection::Open(sql, params);
    if (!change_.empty()) db_.Exec(std::exchange(change_, {}));
    return result;
  }
  void Visit(std::string_view sql, const std::vector<Param>& params,
             RowVisitor& visitor) override {
    SqliteConnection::Visit(sql, params, visitor);
    if (!change_.empty()) db_.Exec(std::exchange(change_, {}));
  }

 private:
  const testing::TempDatabase& db_;
  std::string change_;
};

TEST(OrdersTest, ItemsChangedWhileAListIsBuiltLeaveNoOrderWithoutItems) {
  struct Case {
    const char* path;
    // The only waiting item of one order made inactive, an item of the
    // other done.
    const char* change;
    const std::string& answer;
  };
  const Case cases[] = {
      {"/pedidos/separacao",
       "UPDATE PedidoItem SET Situacao = 0 WHERE IdPedidoItem = 4;"
       "UPDATE PedidoItem SET QtdEntregue = Quantidade WHERE IdPedidoItem = 1;",
       kPickingAnswer},
      {"/pedidos/conferencia",
       "UPDATE PedidoItem SET Situacao = 0 WHERE IdPedidoItem = 3;"
       "UPDATE PedidoItem SET QtdConferida = QtdEntregue WHERE IdPedidoItem = "
       "1;",
       kCheckingAnswer},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    testing::TempDatabase db(testing::FixtureScript());
    ConnectionPool pool(
        [&]() -> std::unique_ptr<Connection> {
          return std::make_unique<ChangesAfterFirstStatement>(db, c.change);
        },
        4);
    testing::ResourceServer server(&pool);
    const auto r = testing::Request(server.port(), "GET", c.path);
    // The list as it stood when it was read: every order with its items.
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, c.answer);
    EXPECT_EQ(db.Scalar("select count(*) from PedidoItem where Situacao = 0"),
              "2");
  }
}

// A connection whose link breaks after it has handed over `rows` rows of
// its first result, as a server restarted mid-read would.
class BreaksMidRead : public SqliteConnection {
 public:
  BreaksMidRead(const testing::TempDatabase& db, int rows, bool& broke)
      : SqliteConnection(db.path()), rows_(rows), broke_(broke) {}

  void Visit(std::string_view sql, const std::vector<Param>& params,
             RowVisitor& visitor) override {
    if (broke_) return SqliteConnection::Visit(sql, params, visitor);
    struct Cut : RowVisitor {
      RowVisitor& to;
      int left;
      Cut(RowVisitor& v, int n) : to(v), left(n) {}
      void Begin(const std::vector<ResultColumn>& c) override { to.Begin(c); }
      void Visit(Row& row) override {
        if (left-- == 0) throw DriverError("link lost", true, "08S01");
        to.Visit(row);
      }
    } cut(visitor, rows_);
    broke_ = true;
    cut_here_ = true;
    SqliteConnection::Visit(sql, params, cut);
  }
  bool IsBroken() const override {
    return cut_here_ || SqliteConnection::IsBroken();
  }

 private:
  int rows_;
  bool& broke_;
  bool cut_here_ = false;
};

TEST(OrdersTest, AListCutOffMidReadStartsAfreshOnAnotherConnection) {
  // Cut after the first order's rows, and inside them.
  for (const int rows : {1, 2}) {
    SCOPED_TRACE(rows);
    testing::TempDatabase db(testing::FixtureScript());
    bool broke = false;
    ConnectionPool pool(
        [&]() -> std::unique_ptr<Connection> {
          return std::make_unique<BreaksMidRead>(db, rows, broke);
        },
        4);
    testing::ResourceServer server(&pool);
    const auto r = testing::Request(server.port(), "GET", "/pedidos/separacao");
    EXPECT_TRUE(broke);
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, kPickingAnswer);
  }
}

TEST(OrdersTest, QuantitiesAreWrittenInPlainDecimal) {
  struct Case {
    const char* path;
    const char* key;
    const char* quantity;
    const char* written;
  };
  const Case cases[] = {
      {"/pedidos/separados", "quantseparacao", "1e3", "1000"},
      {"/pedidos/separados", "quantseparacao", "1,5", "1.5"},
      {"/pedidos/separados", "quantseparacao", "2.50", "2.5"},
      {"/pedidos/separados", "quantseparacao", "2.5E-3", "0.0025"},
      {"/pedidos/separados", "quantseparacao", " +7 ", "7"},
      {"/pedidos/conferidos", "quantconferida", "1E+3", "1000"},
      {"/pedidos/conferidos", "quantconferida", "-0,25", "-0.25"},
      {"/pedidos/conferidos", "quantconferida", "0.1", "0.1"},
      {"/pedidos/conferidos", "quantconferida", "1.5e20",
       "150000000000000000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " " + c.quantity);
    const std::string column = std::string(c.path) == "/pedidos/separados"
                                   ? "QtdEntregue"
                                   : "QtdConferida";
    testing::RecordingPool recording;
    recording.log->results.push_back(
        testing::RecordingPool::Rows({"IdPedido", column}, {{"1", "1"}}));
    testing::ResourceServer server(recording.pool.get());
    const auto r = Post(server, c.path,
                        std::string(R"({"idpedido":1,"idpedidoitem":"2",")") +
                            c.key + R"(":")" + c.quantity + R"("})");
    EXPECT_EQ(r.body, R"({"Result":"OK"})");
    const std::vector<std::string> sql = recording.Sql();
    ASSERT_EQ(sql.size(), 3u);
    EXPECT_EQ(sql[0], "update PedidoItem set " + column + " = " + column +
                          " + '" + c.written +
                          "'\nwhere IdPedido = ?\nand IdPedidoItem = ?");
  }

  // On the embedded database: 1e3 is recorded in full, then capped as the
  // routes cap.
  testing::ResourceServer server;
  server.db().Exec(
      "UPDATE PedidoItem SET Quantidade = 1500 WHERE IdPedidoItem = 4");
  struct Step {
    const char* path;
    const char* body;
    const char* after;  // item 4: Quantidade|QtdEntregue|QtdConferida
  };
  const Step steps[] = {
      {"/pedidos/separados",
       R"({"idpedido":3,"idpedidoitem":"4","quantseparacao":"1e3"})",
       "1500|1000|0"},
      {"/pedidos/conferidos",
       R"({"idpedido":3,"idpedidoitem":"4","quantconferida":"1e3"})",
       "1500|1000|1000"},
      {"/pedidos/separados",
       R"({"idpedido":3,"idpedidoitem":"4","quantseparacao":"1e3"})",
       "1500|1500|1000"},
      {"/pedidos/conferidos",
       R"({"idpedido":3,"idpedidoitem":"4","quantconferida":"1e3"})",
       "1500|1500|1500"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(std::string(step.path) + " " + step.body);
    EXPECT_EQ(Post(server, step.path, step.body).body, R"({"Result":"OK"})");
    EXPECT_EQ(server.db().Scalar(
                  "select Quantidade || '|' || QtdEntregue || '|' || "
                  "QtdConferida from PedidoItem where IdPedidoItem = 4"),
              step.after);
  }
}

// Every row of the order tables, as text.
std::string OrderRows(const testing::TempDatabase& db) {
  std::string rows;
  for (const char* table : {"Pedido", "PedidoItem", "sqlite_sequence"}) {
    const std::string columns = db.Scalar(
        std::string("select group_concat('quote(' || name || ')', ' || ''|'' "
                    "|| ') from pragma_table_info('") +
        table + "')");
    rows += db.Scalar("select group_concat(" + columns + ", char(10)) from " +
                      table) +
            "\n";
  }
  return rows;
}

// Quantities, amounts, dates and texts the columns cannot hold: the route
// answers its failure message and nothing is stored.
TEST(OrdersTest, ValuesTheColumnsCannotHoldChangeNothing) {
  const std::string separado = R"({"Erro except":"Nenhum Pedido Separado!"})";
  const std::string conferido = R"({"Erro except":"Nenhum Pedido Conferido!"})";
  const std::string erro = R"({"Erro except":"Erro no Pedido!"})";
  // Item 1: ordered 10, picked 8, checked 0.
  auto picked = [](const std::string& q) {
    return R"({"idpedido":1,"idpedidoitem":"1","quantseparacao":")" + q +
           R"("})";
  };
  auto checked = [](const std::string& q) {
    return R"({"idpedido":1,"idpedidoitem":"1","quantconferida":")" + q +
           R"("})";
  };
  auto order = [](const std::string& from, const std::string& to) {
    std::string body = NewOrder(Item("1", "CX", "a"));
    return body.replace(body.find(from), from.size(), to);
  };
  const std::string too_long(121, 'x');
  struct Case {
    std::string path;
    std::string body;
    const std::string& answer;
  };
  const Case cases[] = {
      // Below zero, beyond NUMERIC(15,4) or not finite.
      {"/pedidos/separados", picked("-1000"), separado},
      {"/pedidos/separados", picked("-8.0001"), separado},
      {"/pedidos/separados", picked("-1e300"), separado},
      {"/pedidos/separados", picked("1e300"), separado},
      {"/pedidos/separados", picked("99999999999.9999"), separado},
      {"/pedidos/separados", picked("1e400"), separado},
      {"/pedidos/separados", picked("NaN"), separado},
      {"/pedidos/conferidos", checked("-1"), conferido},
      {"/pedidos/conferidos", checked("-1e300"), conferido},
      {"/pedidos/conferidos", checked("1e300"), conferido},
      {"/pedidos/conferidos", checked("-Infinity"), conferido},
      // Items.
      {"/pedidos/novo",
       order(R"("quantidade":"1,5")", R"("quantidade":"1e300")"), erro},
      {"/pedidos/novo",
       order(R"("quantidade":"1,5")", R"("quantidade":"-1e300")"), erro},
      {"/pedidos/novo",
       order(R"("vlunitario":50.25)", R"("vlunitario":"100000000000")"), erro},
      {"/pedidos/novo", order(R"("vltotal":"75.375")", R"("vltotal":1e400)"),
       erro},
      {"/pedidos/novo",
       order(R"("descricaoitem":"a")",
             R"("descricaoitem":")" + too_long + "\""),
       erro},
      {"/pedidos/novo", order(R"("unmed":"CX")", R"("unmed":"CAIXA12")"), erro},
      {"/pedidos/novo",
       order(R"("numcodbarrasusado":"789")",
             R"("numcodbarrasusado":")" + std::string(31, '7') + "\""),
       erro},
      {"/pedidos/novo",
       order(R"("idempresa":"1","idusuario":"2","numcod)",
             R"("idempresa":"x","idusuario":"2","numcod)"),
       erro},
      // The order.
      {"/pedidos/novo",
       order(R"("vltotalpedido":"150,75")", R"("vltotalpedido":"1e300")"),
       erro},
      {"/pedidos/novo",
       order(R"("vltotalpedido":"150,75")", R"("vltotalpedido":"NaN")"), erro},
      {"/pedidos/novo",
       order(R"("dtemissao":"10/12/2026 10:30")",
             R"("dtemissao":"31/12/1752 23:59")"),
       erro},
      {"/pedidos/novo",
       order(R"("dtsaidainicial":"12/12/2026")",
             R"("dtsaidainicial":"01/01/0001")"),
       erro},
      {"/pedidos/novo",
       order(R"("dtsaidafinal":"15/12/2026")",
             R"("dtsaidafinal":"01/01/1000")"),
       erro},
      {"/pedidos/novo",
       order(R"("idusuario":"2","dtemissao")",
             R"("idusuario":"99999999999","dtemissao")"),
       erro},
      {"/pedidos/novo",
       order(R"("observacao":"Entregar \u00E0 tarde")",
             R"("observacao":")" + std::string(256, 'o') + "\""),
       erro},
      {"/pedidos/novo",
       order(R"("observacao":"Entregar \u00E0 tarde")",
             R"("observacao":")" + std::string(1 << 20, 'o') + "\""),
       erro},
  };
  testing::ResourceServer server;
  const std::string before = OrderRows(server.db());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body.substr(0, 300));
    const auto r = Post(server, c.path, c.body);
    EXPECT_EQ(r.status, 404);
    EXPECT_EQ(r.body, c.answer);
    EXPECT_EQ(OrderRows(server.db()), before);
  }

  // Still accepted: undoing a double scan down to zero, the earliest and
  // the latest day a datetime holds, an order without items, and one for
  // a product the database does not know.
  EXPECT_EQ(Post(server, "/pedidos/separados", picked("-8")).body,
            R"({"Result":"OK"})");
  EXPECT_EQ(Post(server, "/pedidos/conferidos",
                 R"({"idpedido":1,"idpedidoitem":"2","quantconferida":"-1"})")
                .body,
            R"({"Result":"OK"})");
  EXPECT_EQ(server.db().Scalar("select group_concat(QtdEntregue || '|' || "
                               "QtdConferida) from PedidoItem where IdPedido "
                               "= 1 and Situacao = 1"),
            "0|0,2|0");
  std::string bounds =
      order(R"("dtemissao":"10/12/2026 10:30")", R"("dtemissao":"01/01/1753")");
  bounds.replace(bounds.find("15/12/2026"), 10, "31/12/9999");
  EXPECT_EQ(Post(server, "/pedidos/novo", bounds).body, R"({"Result":"7"})");
  std::string empty = NewOrder("");
  EXPECT_EQ(Post(server, "/pedidos/novo", empty).body, R"({"Result":"8"})");
  EXPECT_EQ(
      Post(server, "/pedidos/novo", NewOrder(Item("999", "", "Desconhecido")))
          .body,
      R"({"Result":"9"})");
  EXPECT_EQ(server.db().Scalar("select group_concat(IdPedido || ':' || "
                               "UnMed) from PedidoItem where IdPedido > 6"),
            "7:CX,9:UN");
}

}  // namespace
}  // namespace norvessa
