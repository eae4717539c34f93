// Order creation over HTTP with SQL Server behind the scripted ODBC driver,
// under the names of FreeTDS and of Microsoft's driver.

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <clocale>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection_factory.h"
#include "resource_server.h"
#include "support/http_client.h"
#include "support/scripted_odbc/scripted_odbc_fixture.h"

namespace norvessa::testing {
namespace {

// As in the service: narrow text is UTF-8.
[[maybe_unused]] const bool kUtf8 =
    std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;

class OrdersOdbcTest : public ScriptedOdbcTest,
                       public ::testing::WithParamInterface<std::string_view> {
 protected:
  void SetUp() override {
    ScriptedOdbcTest::SetUp();
    ConnectionSettings settings;
    settings.hostname = "erp-scripted";
    settings.database = "ERP";
    settings.user = "api";
    settings.password = "secret";
    settings.odbc_driver = std::string(GetParam());
    pool_ =
        std::make_unique<ConnectionPool>(MakeConnectionFactory(settings), 4);
    server_ = std::make_unique<ResourceServer>(pool_.get());
  }
  void TearDown() override {
    server_.reset();
    pool_.reset();
  }

  HttpReply PostOrder(const std::vector<std::string>& descriptions) {
    std::string items;
    for (const std::string& d : descriptions) {
      if (!items.empty()) items += ',';
      items += R"({"idproduto":3,"unmed":"UN","idempresa":"1",)"
               R"("idusuario":"2","numcodbarrasusado":"789",)"
               R"("descricaoitem":")" +
               d + R"(","quantidade":"1","vlunitario":2,"vltotal":"2"})";
    }
    return Request(
        server_->port(), "POST", "/pedidos/novo",
        {{"Content-Type", "application/json"}},
        R"({"idempresa":"1","idusuario":"2","dtemissao":"10/12/2026",)"
        R"("dtsaidainicial":"12/12/2026","dtsaidafinal":"15/12/2026",)"
        R"("idcliente":2,"vltotalpedido":"4","observacao":"",)"
        R"("itens":[)" +
            items + "]}");
  }

  std::vector<long long> Endings() {
    std::vector<long long> endings;
    for (const Call& call : CallsTo(server(), {"SQLEndTran"})) {
      endings.push_back(call.value);
    }
    return endings;
  }

  std::unique_ptr<ConnectionPool> pool_;
  std::unique_ptr<ResourceServer> server_;
};

INSTANTIATE_TEST_SUITE_P(
    Drivers, OrdersOdbcTest,
    ::testing::Values(kFreeTdsDriver, kMicrosoftDriver),
    [](const ::testing::TestParamInfo<std::string_view>& info) {
      return info.param == kFreeTdsDriver ? std::string("FreeTds")
                                          : std::string("Microsoft");
    });

TEST_P(OrdersOdbcTest, EveryCharacterOfAnOrderIsStoredAsSent) {
  server().Answer(
      {"Insert Into Pedido(", {Rows({{"", SQL_BIGINT, 19}}, {{"41"}})}});
  // "ł → 😀" and "Calça", as JSON escapes and as UTF-8.
  const auto r = PostOrder({"\\u0142 \\u2192 \\uD83D\\uDE00",
                            "Cal\xC3\xA7"
                            "a"});
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, R"({"Result":"41"})");
  std::vector<std::string> stored;
  for (const Call& call : CallsTo(server(), {"SQLExecDirect", "SQLExecute"})) {
    if (call.text.find("Insert Into PedidoItem") == std::string::npos) {
      continue;
    }
    for (const BoundParam& p : call.params) {
      if (p.c_type == SQL_C_WCHAR) {
        EXPECT_EQ(p.sql_type, SQL_WVARCHAR);
        EXPECT_EQ(p.column_size, 4000u);
      }
    }
    ASSERT_EQ(call.params.size(), 15u);
    stored.push_back(call.params[9].value.value_or("null"));  // DescricaoItem
  }
  EXPECT_EQ(stored,
            (std::vector<std::string>{"\xC5\x82 \xE2\x86\x92 \xF0\x9F\x98\x80",
                                      "Cal\xC3\xA7"
                                      "a"}));
  EXPECT_EQ(Endings(), (std::vector<long long>{SQL_COMMIT}));
}

TEST_P(OrdersOdbcTest, AnErrorATriggerRaisesAfterItsCountFailsTheOrder) {
  server().Answer(
      {"Insert Into Pedido(", {Rows({{"", SQL_BIGINT, 19}}, {{"42"}})}});
  server().Answer({"Insert Into PedidoItem", {Count(1)}, 1});
  server().Answer(
      {"Insert Into PedidoItem",
       {Count(1), Error("50000", "Estoque insuficiente para o item")},
       1});
  const auto r = PostOrder({"Primeiro", "Segundo"});
  EXPECT_EQ(r.status, 404);
  EXPECT_EQ(r.body, R"({"Erro except":"Erro no Pedido!"})");
  // Rolled back, never committed: no key of an order that is not there.
  EXPECT_EQ(Endings(), (std::vector<long long>{SQL_ROLLBACK}));
}

}  // namespace
}  // namespace norvessa::testing
