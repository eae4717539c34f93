// The service's ODBC code against the scripted driver, under the names of
// FreeTDS and of Microsoft's driver: what reaches the driver, and what the
// service does when SQL Server answers late errors, drops its links or
// refuses to end a transaction cleanly.

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>
#include <vector>

#include "db/connection_factory.h"
#include "db/driver_error.h"
#include "db/odbc/odbc_connection.h"
#include "db/query.h"
#include "db/unit_of_work.h"
#include "json/json_text.h"
#include "serialize/dataset_export.h"
#include "support/scripted_odbc/scripted_odbc_fixture.h"

namespace norvessa::testing {
namespace {

// The service runs with UTF-8 as its character type; Microsoft's driver
// converts narrow text with it.
[[maybe_unused]] const bool kUtf8 =
    std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;

struct ManualClock {
  std::chrono::steady_clock::time_point now{};
  void Advance(std::chrono::milliseconds d) { now += d; }
};

// A value with its type, as a failed comparison shows it.
std::string Shown(const FieldValue& value) {
  return std::visit(
      [](const auto& v) -> std::string {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          return "null";
        } else if constexpr (std::is_same_v<T, std::string>) {
          return "text '" + v + "'";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
          return "integer " + std::to_string(v);
        } else if constexpr (std::is_same_v<T, double>) {
          char text[40];
          std::snprintf(text, sizeof text, "double %.17g", v);
          return text;
        } else if constexpr (std::is_same_v<T, bool>) {
          return v ? "true" : "false";
        } else {
          return "date-time " + std::to_string(v.milliseconds());
        }
      },
      value);
}

std::vector<std::string> Shown(const Row& row) {
  std::vector<std::string> shown;
  for (const FieldValue& v : row) shown.push_back(Shown(v));
  return shown;
}

ConnectionSettings Settings(std::string_view driver) {
  ConnectionSettings s;
  s.hostname = "erp-scripted";
  s.database = "ERP";
  s.user = "api";
  s.password = "secret";
  s.odbc_driver = std::string(driver);
  return s;
}

// Every case runs through the FreeTDS branch and the Microsoft branch.
class SqlServerOdbcTest
    : public ScriptedOdbcTest,
      public ::testing::WithParamInterface<std::string_view> {
 protected:
  bool freetds() const { return GetParam() == kFreeTdsDriver; }

  std::unique_ptr<ConnectionPool> Pool() {
    ConnectionPool::Options options;
    options.max_size = 4;
    options.first_retry = std::chrono::milliseconds(500);
    options.clock = [this] { return clock_.now; };
    options.report = [this](const std::string& line) {
      reports_.push_back(line);
    };
    return std::make_unique<ConnectionPool>(
        MakeConnectionFactory(Settings(GetParam())), options);
  }

  std::unique_ptr<Connection> Connect() {
    return MakeConnectionFactory(Settings(GetParam()))();
  }

  // The statements sent, on which connection, and whether they ran.
  std::vector<Call> Statements() {
    return CallsTo(server(), {"SQLExecDirect", "SQLExecute"});
  }
  std::vector<Call> StatementsLike(std::string_view text) {
    std::vector<Call> calls = Statements();
    std::erase_if(calls, [&](const Call& c) {
      return c.text.find(text) == std::string::npos;
    });
    return calls;
  }

  static void ReadCities(UnitOfWork& uow) {
    Query q(uow);
    q.SQL().Add("select Cidade from Cidade");
    q.Open();
  }

  // What Open reads of `result`, on a new connection.
  ResultSet OpenScripted(const ScriptResult& result) {
    server().Answer({"from Separacao", {result}, 1});
    return Connect()->Open("select * from Separacao", {});
  }

  void AnswerCities() {
    server().Answer(
        {"from Cidade", {Rows({{"Cidade", SQL_VARCHAR, 60}}, {{"Campinas"}})}});
  }

  ManualClock clock_;
  std::vector<std::string> reports_;
};

INSTANTIATE_TEST_SUITE_P(
    Drivers, SqlServerOdbcTest,
    ::testing::Values(kFreeTdsDriver, kMicrosoftDriver),
    [](const ::testing::TestParamInfo<std::string_view>& info) {
      return info.param == kFreeTdsDriver ? std::string("FreeTds")
                                          : std::string("Microsoft");
    });

TEST_P(SqlServerOdbcTest, EveryNewConnectionIsSetUpAndBounded) {
  auto c = Connect();
  const std::vector<Call> connects = CallsTo(server(), {"SQLDriverConnect"});
  ASSERT_EQ(connects.size(), 1u);
  EXPECT_NE(connects[0].text.find("APP=APINorvessa;"), std::string::npos);
  if (freetds()) {
    EXPECT_NE(connects[0].text.find("TDS_Version=7.4;"), std::string::npos);
    EXPECT_NE(connects[0].text.find("Timeout=30;"), std::string::npos);
  }
  const std::vector<Call> statements = Statements();
  ASSERT_EQ(statements.size(), 1u);
  EXPECT_EQ(statements[0].text,
            "SET DATEFORMAT mdy; SET NOCOUNT ON; SET XACT_ABORT ON");
  bool login_timeout = false, connection_timeout = false;
  for (const Call& call : CallsTo(server(), {"SQLSetConnectAttr"})) {
    login_timeout |=
        call.attribute == SQL_ATTR_LOGIN_TIMEOUT && call.value == 15;
    connection_timeout |=
        call.attribute == SQL_ATTR_CONNECTION_TIMEOUT && call.value == 30;
  }
  EXPECT_TRUE(login_timeout);
  EXPECT_TRUE(connection_timeout);
}

TEST_P(SqlServerOdbcTest, TextGoesAsUtf16WithOneDeclaredSize) {
  auto pool = Pool();
  // "ł → 😀 São": Windows-1252 has only the last word.
  const std::string exotic =
      "\xC5\x82 \xE2\x86\x92 \xF0\x9F\x98\x80 S\xC3\xA3o";
  const std::string long_text(5000, 'x');
  struct Case {
    std::string value;
    unsigned long declared;
  };
  const Case cases[] = {
      {exotic, 4000},
      {"Cal\xC3\xA7"
       "a",
       4000},
      {"", 4000},
      // Beyond nvarchar(4000), the driver's "max" form.
      {long_text, freetds() ? 5000ul : 0ul},
  };
  {
    UnitOfWork uow(*pool);
    uow.Begin();
    for (const Case& c : cases) {
      Query q(uow);
      q.SQL().Add("insert into PedidoItem (DescricaoItem) values (:Descricao)");
      q.ParamByName("Descricao").SetAsString(c.value);
      q.ExecSQL();
    }
    uow.Commit();
  }
  const std::vector<Call> inserts = StatementsLike("insert into PedidoItem");
  ASSERT_EQ(inserts.size(), std::size(cases));
  for (std::size_t i = 0; i < inserts.size(); ++i) {
    SCOPED_TRACE(cases[i].value.substr(0, 20));
    EXPECT_EQ(inserts[i].rc, SQL_SUCCESS);
    ASSERT_EQ(inserts[i].params.size(), 1u);
    const BoundParam& p = inserts[i].params[0];
    EXPECT_EQ(p.c_type, SQL_C_WCHAR);
    EXPECT_EQ(p.sql_type, SQL_WVARCHAR);
    EXPECT_EQ(p.column_size, cases[i].declared);
    EXPECT_EQ(p.value, cases[i].value);
  }
  // The connection is sound afterwards and went back to the pool.
  EXPECT_EQ(pool->discarded_count(), 0);
  EXPECT_EQ(CallsTo(server(), {"SQLDriverConnect"}).size(), 1u);
}

TEST_P(SqlServerOdbcTest, EveryResultIsReadAndALateErrorFails) {
  struct Case {
    const char* name;
    std::vector<ScriptResult> results;
    std::function<void(Connection&)> run;
    const char* error;  // nullptr: succeeds
  };
  const auto key = [](const char* value) {
    return Rows({{"", SQL_BIGINT, 19}}, {{value}});
  };
  const Case cases[] = {
      {"a trigger's count, then its error",
       {Count(1), Error("50000", "Estoque insuficiente")},
       [](Connection& c) { c.Execute("update PedidoItem set X = 1", {}); },
       "Estoque insuficiente"},
      {"rows, then an error",
       {Rows({{"N", SQL_INTEGER}}, {{"1"}}), Error("50000", "Falhou depois")},
       [](Connection& c) { c.Open("select N from PedidoItem", {}); },
       "Falhou depois"},
      {"the new key, then a trigger's error",
       {key("8"), Error("50000", "Pedido recusado")},
       [](Connection& c) {
         c.InsertReturningKey("insert into Pedido (Status) values ('A')", {});
       },
       "Pedido recusado"},
      {"counts around the rows",
       {Count(2), Rows({{"N", SQL_INTEGER}}, {{"1"}}), Count(1)},
       [](Connection& c) {
         EXPECT_EQ(c.Open("select N from PedidoItem", {}).rows.size(), 1u);
       },
       nullptr},
      {"a key beyond int",
       {key("3000000000")},
       [](Connection& c) {
         EXPECT_EQ(c.InsertReturningKey(
                       "insert into Pedido (Status) values ('A')", {}),
                   3000000000LL);
       },
       nullptr},
  };
  auto c = Connect();
  for (const Case& test : cases) {
    SCOPED_TRACE(test.name);
    server().Answer({"", test.results, 1});
    if (test.error == nullptr) {
      EXPECT_NO_THROW(test.run(*c));
      continue;
    }
    try {
      test.run(*c);
      ADD_FAILURE() << "no error";
    } catch (const DriverError& e) {
      EXPECT_NE(std::string(e.what()).find(test.error), std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(c->IsBroken());
  }
  const std::vector<Call> keys = StatementsLike("SCOPE_IDENTITY");
  ASSERT_FALSE(keys.empty());
  EXPECT_EQ(keys[0].text,
            "insert into Pedido (Status) values ('A');\n"
            "SELECT CAST(SCOPE_IDENTITY() AS bigint)");
}

TEST_P(SqlServerOdbcTest, AConnectionIdleOverARestartIsReplacedAtCheckout) {
  for (const bool known_at_once : {false, true}) {
    SCOPED_TRACE(known_at_once ? "the driver knows at once"
                               : "the driver learns at the next read");
    server().Reset();
    server().SetDeadKnownAtOnce(known_at_once);
    AnswerCities();
    auto pool = Pool();
    server().Restart();
    clock_.Advance(std::chrono::seconds(31));
    {
      UnitOfWork uow(*pool);
      EXPECT_NO_THROW(ReadCities(uow));
    }
    // Asked the driver, then (unless it knew) SELECT 1 with a short
    // timeout; the read itself went on a new connection only.
    bool asked = false;
    for (const Call& call : CallsTo(server(), {"SQLGetConnectAttr"})) {
      asked |=
          call.connection == 1 && call.attribute == SQL_ATTR_CONNECTION_DEAD;
    }
    EXPECT_TRUE(asked);
    const std::vector<Call> checks = StatementsLike("SELECT 1");
    if (known_at_once) {
      EXPECT_TRUE(checks.empty());
    } else {
      ASSERT_EQ(checks.size(), 1u);
      EXPECT_EQ(checks[0].connection, 1);
      EXPECT_EQ(checks[0].rc, SQL_ERROR);
      bool short_timeout = false;
      for (const Call& call : CallsTo(server(), {"SQLSetStmtAttr"})) {
        short_timeout |= call.connection == 1 &&
                         call.attribute == SQL_ATTR_QUERY_TIMEOUT &&
                         call.value == 5;
      }
      EXPECT_TRUE(short_timeout);
    }
    const std::vector<Call> reads = StatementsLike("from Cidade");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].connection, 2);
    EXPECT_EQ(reads[0].rc, SQL_SUCCESS);
    EXPECT_EQ(pool->discarded_count(), 1);
  }
}

TEST_P(SqlServerOdbcTest, TheFirstReadOfAUnitGoesOnceMoreWhenItsLinkIsLost) {
  struct Case {
    const char* name;
    std::function<void()> break_it;  // after the pool's first connection
    bool retried;
  };
  const Case cases[] = {
      {"a restart (08S01)", [this] { server().Restart(); }, true},
      {"a timeout on a dead link",
       [this] {
         server().Answer({"from Cidade",
                          {Error("HYT00", "Query timeout expired", true)},
                          1});
       },
       true},
      // A driver that lists a general error first: the lost link is found
      // among the records all the same.
      {"a lost link listed after a general error",
       [this] {
         ScriptResult r = Error("HY000", "General error");
         r.more = {{"08S01", "Communication link failure"}};
         server().Answer({"from Cidade", {r}, 1});
       },
       true},
      // The link is alive: the statement was slow, not lost.
      {"a timeout on a live link",
       [this] {
         server().Answer(
             {"from Cidade", {Error("HYT00", "Query timeout expired")}, 1});
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().Reset();
    auto pool = Pool();
    c.break_it();
    AnswerCities();
    {
      UnitOfWork uow(*pool);
      if (c.retried) {
        EXPECT_NO_THROW(ReadCities(uow));
      } else {
        EXPECT_THROW(ReadCities(uow), DriverError);
      }
    }
    const std::vector<Call> reads = StatementsLike("from Cidade");
    ASSERT_EQ(reads.size(), c.retried ? 2u : 1u);
    EXPECT_EQ(reads[0].connection, 1);
    EXPECT_EQ(reads[0].rc, SQL_ERROR);
    if (c.retried) {
      EXPECT_EQ(reads[1].connection, 2);
      EXPECT_EQ(reads[1].rc, SQL_SUCCESS);
    }
    EXPECT_EQ(pool->discarded_count(), c.retried ? 1 : 0);
  }
}

TEST_P(SqlServerOdbcTest, NothingIsRetriedInsideATransaction) {
  auto pool = Pool();
  {
    UnitOfWork uow(*pool);
    uow.Begin();
    server().Restart();
    EXPECT_THROW(uow.Execute("update PedidoItem set X = 1", {}), DriverError);
  }
  EXPECT_EQ(server().ConnectAttempts(), 1);
  EXPECT_EQ(StatementsLike("PedidoItem").size(), 1u);
  // The dead connection was not handed back; the next unit opens another.
  EXPECT_EQ(pool->discarded_count(), 1);
  AnswerCities();
  UnitOfWork next(*pool);
  EXPECT_NO_THROW(ReadCities(next));
  EXPECT_EQ(server().ConnectAttempts(), 2);
}

TEST_P(SqlServerOdbcTest, AfterAnErrorTheDriverIsAskedWhetherTheLinkLives) {
  auto pool = Pool();
  // FreeTDS after it aborted a statement mid-packet: a plain error state,
  // and a connection that cannot be used again.
  server().Answer({"PedidoItem", {Error("HY000", "Aborted mid-packet", true)}});
  {
    UnitOfWork uow(*pool);
    AnswerCities();
    ReadCities(uow);
    EXPECT_THROW(uow.Execute("update PedidoItem set X = 1", {}), DriverError);
  }
  EXPECT_EQ(pool->discarded_count(), 1);
  UnitOfWork next(*pool);
  EXPECT_NO_THROW(ReadCities(next));
  // No statement failed on the dead connection after the error.
  for (const Call& call : StatementsLike("from Cidade")) {
    EXPECT_EQ(call.rc, SQL_SUCCESS);
  }
}

TEST_P(SqlServerOdbcTest, AnUnreachableServerIsTriedOncePerStep) {
  auto pool = Pool();
  server().Restart();
  server().SetReachable(false);
  AnswerCities();
  auto request = [&pool] {
    UnitOfWork uow(*pool);
    ReadCities(uow);
  };
  EXPECT_THROW(request(), DriverError);
  EXPECT_EQ(server().ConnectAttempts(), 2);
  clock_.Advance(std::chrono::milliseconds(200));
  EXPECT_THROW(request(), DatabaseUnavailable);
  EXPECT_EQ(server().ConnectAttempts(), 2);
  clock_.Advance(std::chrono::milliseconds(300));
  EXPECT_THROW(request(), DriverError);
  EXPECT_EQ(server().ConnectAttempts(), 3);
  server().SetReachable(true);
  clock_.Advance(std::chrono::seconds(1));
  EXPECT_NO_THROW(request());
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_NE(reports_[0].find("Unable to connect"), std::string::npos)
      << reports_[0];
  EXPECT_EQ(reports_[1].rfind("Database reachable again after ", 0), 0u);
}

TEST_P(SqlServerOdbcTest, OffsetsAndLongTextInPiecesAreRead) {
  // "ação→" is 9 bytes; pieces of 7 bytes cut inside its characters, and
  // the whole is longer than the reading buffer.
  std::string long_text;
  while (long_text.size() < 20000)
    long_text += "a\xC3\xA7\xC3\xA3o\xE2\x86\x92";
  server().SetPieceBytes(7);
  server().Answer(
      {"from Pedido",
       {Rows({{"DtEntrega", -155, 34, 7}, {"Observacao", SQL_WLONGVARCHAR}},
             {{"2024-03-05 14:05:09.1234567 -03:00", long_text}})}});
  auto c = Connect();
  Query q(*c);
  q.SQL().Add("select DtEntrega, Observacao from Pedido");
  q.Open();
  EXPECT_EQ(q.FieldByName("DtEntrega").AsDateTime(),
            DateTime::FromParts(2024, 3, 5, 14, 5, 9, 123));
  EXPECT_EQ(q.FieldByName("Observacao").AsString(), long_text);
}

TEST_P(SqlServerOdbcTest, ATransactionThatCannotEndCleanlyClosesItsConnection) {
  auto c = Connect();
  c->Begin();
  c->Execute("update PedidoItem set X = 1", {});
  // Committed, but the way back to autocommit fails: the order is stored,
  // the connection is rolled back and never reused.
  server().FailNext("SQLSetConnectAttr", "HY000", "Autocommit refused", false);
  EXPECT_NO_THROW(c->Commit());
  EXPECT_FALSE(c->InTransaction());
  EXPECT_TRUE(c->IsBroken());
  std::vector<long long> endings;
  for (const Call& call : CallsTo(server(), {"SQLEndTran"})) {
    endings.push_back(call.value);
  }
  EXPECT_EQ(endings, (std::vector<long long>{SQL_COMMIT, SQL_ROLLBACK}));

  // A disconnect refused for an open transaction: rolled back, then
  // disconnected once more.
  c.reset();
  server().Reset();
  auto other = Connect();
  server().FailNext("SQLDisconnect", "25000", "Invalid transaction state",
                    false);
  other.reset();
  std::vector<std::string> closing;
  for (const Call& call : CallsTo(server(), {"SQLDisconnect", "SQLEndTran"})) {
    closing.push_back(call.function + (call.rc == SQL_ERROR ? " failed" : ""));
  }
  EXPECT_EQ(closing, (std::vector<std::string>{"SQLDisconnect failed",
                                               "SQLEndTran", "SQLDisconnect"}));
  EXPECT_EQ(server().OpenConnections(), 0);
}

// After a failover every idle connection is dead, and recent: the first
// unit's retry checks one, and the rest are closed unchecked; the next unit
// takes the fresh connection.
TEST_P(SqlServerOdbcTest, AfterAFailoverEachUnitSpendsAtMostOneCheck) {
  auto pool = Pool();
  { UnitOfWork a(*pool), b(*pool), c(*pool); }
  ASSERT_EQ(pool->idle_count(), 3);
  server().Restart();
  AnswerCities();
  for (int unit = 1; unit <= 2; ++unit) {
    SCOPED_TRACE(unit);
    UnitOfWork uow(*pool);
    EXPECT_NO_THROW(ReadCities(uow));
    EXPECT_LE(StatementsLike("SELECT 1").size(), 1u);
  }
  EXPECT_EQ(server().ConnectAttempts(), 4);
  EXPECT_EQ(pool->discarded_count(), 3);
}

// Integers go as int where they fit, as the columns they are compared
// with, and as bigint beyond; "?" markers take their values in order.
TEST_P(SqlServerOdbcTest, IntegersAreBoundAsIntOrBigint) {
  const auto c = Connect();
  c->Open("select 1 from Produto where IdProduto = ? and IdGrupo = ?",
          {{"", std::int64_t{526}}, {"", std::int64_t{1} << 40}});
  const std::vector<Call> calls = StatementsLike("from Produto");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].text,
            "select 1 from Produto where IdProduto = ? and IdGrupo = ?");
  ASSERT_EQ(calls[0].params.size(), 2u);
  EXPECT_EQ(calls[0].params[0].sql_type, SQL_INTEGER);
  EXPECT_EQ(calls[0].params[0].c_type, SQL_C_SLONG);
  EXPECT_EQ(calls[0].params[0].value, "526");
  EXPECT_EQ(calls[0].params[1].sql_type, SQL_BIGINT);
  EXPECT_EQ(calls[0].params[1].value, "1099511627776");
}

// A statement with parameters is prepared once per connection: a hundred
// requests for a hundred ids are one prepare and a hundred executions, the
// text the same each time.
TEST_P(SqlServerOdbcTest, OnePreparePerConnectionForAnyNumberOfIds) {
  auto pool = Pool();
  const ScriptResult camisa =
      Rows({{"Produto", SQL_VARCHAR, 60}}, {{"Camisa"}});
  server().Answer({"from Produto", {camisa}, 100});
  server().Answer({"from Produto", {Error("42000", "Invalid column")}, 1});
  server().Answer({"from Produto", {camisa}});
  for (std::int64_t id = 1; id <= 100; ++id) {
    UnitOfWork uow(*pool);
    Query q(uow);
    q.SQL().Add("select Produto from Produto where IdProduto = ?", {id});
    q.Open();
    EXPECT_EQ(q.FieldByName("Produto").AsString(), "Camisa");
  }
  const std::vector<Call> prepares = CallsTo(server(), {"SQLPrepare"});
  ASSERT_EQ(prepares.size(), 1u);
  EXPECT_EQ(prepares[0].text,
            "select Produto from Produto where IdProduto = ?");
  const std::vector<Call> runs = CallsTo(server(), {"SQLExecute"});
  ASSERT_EQ(runs.size(), 100u);
  EXPECT_EQ(runs[41].params.at(0).value, "42");
  EXPECT_TRUE(CallsTo(server(), {"SQLExecDirect"}).size() ==
              Statements().size() - 100);  // none of them sent direct
  // A statement that failed is prepared again on its next use.
  {
    UnitOfWork uow(*pool);
    Query q(uow);
    q.SQL().Add("select Produto from Produto where IdProduto = ?", {7});
    EXPECT_THROW(q.Open(), DriverError);
  }
  {
    UnitOfWork uow(*pool);
    Query q(uow);
    q.SQL().Add("select Produto from Produto where IdProduto = ?", {7});
    EXPECT_NO_THROW(q.Open());
  }
  EXPECT_EQ(CallsTo(server(), {"SQLPrepare"}).size(), 2u);
}

// SET NOCOUNT ON: the server sends no row counts, and Execute says it does
// not know rather than give a number.
TEST_P(SqlServerOdbcTest, ExecuteGivesNoCountWhereTheServerSendsNone) {
  server().Answer({"update PedidoItem", {Count(3)}});
  const auto c = Connect();
  EXPECT_EQ(c->Execute("update PedidoItem set QtdEntregue = 1", {}),
            std::nullopt);
}

// A deadlock's victim is run once more, whole, on a fresh unit; the
// server had rolled the first one back.
TEST_P(SqlServerOdbcTest, ADeadlockVictimRunsOnceMore) {
  auto pool = Pool();
  server().Answer({"insert into Pedido", {Deadlock()}, 1});
  int runs = 0;
  RunUnitOfWork(*pool, [&](UnitOfWork& uow) {
    ++runs;
    uow.Begin();
    uow.Execute("insert into Pedido (Observacao) values ('x')", {});
    uow.Commit();
  });
  EXPECT_EQ(runs, 2);
  const std::vector<Call> inserts = StatementsLike("insert into Pedido");
  ASSERT_EQ(inserts.size(), 2u);
  EXPECT_EQ(inserts[0].rc, SQL_ERROR);
  EXPECT_EQ(inserts[1].rc, SQL_SUCCESS);
  int commits = 0;
  for (const Call& call : CallsTo(server(), {"SQLEndTran"})) {
    commits += call.value == SQL_COMMIT;
  }
  EXPECT_EQ(commits, 1);
}

// A picking list of 1,000 rows comes in blocks of rows, every column bound:
// a fetch a block and no value read on its own. The same rows with an
// nvarchar(max) column come a row at a time, value by value, and read the
// same.
TEST_P(SqlServerOdbcTest, APickingListIsFetchedInBlocksOfRows) {
  std::vector<ScriptColumn> columns = {
      {"IdPedido", SQL_INTEGER, 10},
      {"DtEmissao", SQL_TYPE_TIMESTAMP, 23, 3},
      {"DtEntrega", SQL_TYPE_TIMESTAMP, 23, 3},
      {"Cliente", SQL_VARCHAR, 70},
      {"VlTotalPedido", SQL_NUMERIC, 15, 2},
      {"IdPedidoItem", SQL_INTEGER, 10},
      {"Referencia", SQL_VARCHAR, 20},
      {"DescricaoItem", SQL_VARCHAR, 100},
      {"Quantidade", SQL_NUMERIC, 15, 4},
      {"QuantSeparacao", SQL_NUMERIC, 15, 4},
  };
  constexpr std::size_t kRows = 1000;
  std::vector<std::vector<ScriptValue>> rows;
  for (std::size_t i = 0; i < kRows; ++i) {
    const std::string n = std::to_string(i);
    rows.push_back({std::to_string(5000 + i / 4), "2024-03-05 14:05:09.123",
                    i % 7 == 0 ? ScriptValue() : "2024-03-12 00:00:00.000",
                    "Cliente S\xC3\xA3o " + n, "1234.50", std::to_string(i + 1),
                    "REF-" + n, "Camisa a\xC3\xA7\xC3\xA3o " + n, "3.0000",
                    i % 3 == 0 ? ScriptValue() : "1.5000"});
  }
  const ResultSet blocks = OpenScripted(Rows(columns, rows));
  std::vector<long long> fetched;
  for (const Call& call : CallsTo(server(), {"SQLFetch"})) {
    fetched.push_back(call.value);
  }
  ASSERT_FALSE(fetched.empty());
  const long long block = fetched[0];
  EXPECT_GT(block, 100);
  std::vector<long long> expected;
  for (long long left = kRows; left > 0; left -= block) {
    expected.push_back(std::min(left, block));
  }
  expected.push_back(0);
  EXPECT_EQ(fetched, expected);
  EXPECT_EQ(CallsTo(server(), {"SQLBindCol"}).size(), columns.size());
  EXPECT_TRUE(CallsTo(server(), {"SQLGetData"}).empty());

  server().Reset();
  columns.push_back({"Observacao", SQL_WLONGVARCHAR});
  for (auto& row : rows) row.push_back("Fr\xC3\xA1gil");
  const ResultSet each = OpenScripted(Rows(columns, rows));
  EXPECT_EQ(CallsTo(server(), {"SQLFetch"}).size(), kRows + 1);
  EXPECT_EQ(CallsTo(server(), {"SQLGetData"}).size(), kRows * columns.size());
  EXPECT_TRUE(CallsTo(server(), {"SQLBindCol"}).empty());

  ASSERT_EQ(blocks.rows.size(), kRows);
  ASSERT_EQ(each.rows.size(), kRows);
  ASSERT_EQ(each.columns.size(), blocks.columns.size() + 1);
  for (std::size_t i = 0; i < blocks.columns.size(); ++i) {
    EXPECT_EQ(blocks.columns[i].name, each.columns[i].name);
    EXPECT_EQ(blocks.columns[i].type, each.columns[i].type);
    EXPECT_EQ(blocks.columns[i].size, each.columns[i].size);
  }
  for (std::size_t r = 0; r < kRows; ++r) {
    Row value_by_value = each.rows[r];
    value_by_value.pop_back();
    ASSERT_EQ(Shown(blocks.rows[r]), Shown(value_by_value)) << "row " << r;
  }
  EXPECT_EQ(
      Shown(blocks.rows[999]),
      (std::vector<std::string>{
          "integer 5249", Shown(DateTime::FromParts(2024, 3, 5, 14, 5, 9, 123)),
          Shown(DateTime::FromParts(2024, 3, 12)),
          "text 'Cliente S\xC3\xA3o 999'", "double 1234.5", "integer 1000",
          "text 'REF-999'", "text 'Camisa a\xC3\xA7\xC3\xA3o 999'", "double 3",
          "null"}));
}

// Each type reads alike from a block of rows and value by value: numbers
// from the driver's text, 12.3400 and .5000 among them, date-times, text
// in any script up to the largest size still bound, bytes, and NULL.
TEST_P(SqlServerOdbcTest, EveryTypeReadsAlikeInBlocksAndValueByValue) {
  const std::string accents =
      "S\xC3\xA3o Jo\xC3\xA3o \xE2\x82\xAC \xF0\x9F\x98\x80";
  std::string euros;
  for (int i = 0; i < 1999; ++i) euros += "\xE2\x82\xAC";
  const std::string bytes("\x00\x01\xFF\x80", 4);
  const DateTime day = DateTime::FromParts(2024, 3, 5);
  const DateTime at = DateTime::FromParts(2024, 3, 5, 14, 5, 9, 123);
  struct Case {
    ScriptColumn column;
    std::vector<std::pair<ScriptValue, FieldValue>> values;  // then NULL
  };
  const Case cases[] = {
      {{"Id", SQL_INTEGER, 10},
       {{"7", std::int64_t{7}}, {"-2147483648", std::int64_t{-2147483648}}}},
      {{"Chave", SQL_BIGINT, 19}, {{"3000000000", std::int64_t{3000000000}}}},
      {{"Total", SQL_DECIMAL, 15, 4},
       {{"12.3400", 12.34}, {".5000", 0.5}, {"-7.0000", -7.0}}},
      {{"Fator", SQL_NUMERIC, 4, 4}, {{"-0.1234", -0.1234}}},
      {{"Grande", SQL_NUMERIC, 38, 0},
       {{std::string(38, '9'), 1e38}, {"-1", -1.0}}},
      {{"Peso", SQL_FLOAT, 53},
       {{"1.5E+10", 1.5e10},
        {"-1.7976931348623157E+308", -1.7976931348623157e308}}},
      {{"Ativo", SQL_BIT, 1}, {{"1", true}, {"0", false}}},
      {{"Emissao", SQL_TYPE_TIMESTAMP, 23, 3},
       {{"2024-03-05 14:05:09.123", at}}},
      {{"Dia", SQL_TYPE_DATE, 10}, {{"2024-03-05", day}}},
      {{"Hora", -154, 16, 7},
       {{"14:05:09.1234567", DateTime::FromMilliseconds(50709123)}}},
      {{"Entrega", -155, 34, 7}, {{"2024-03-05 14:05:09.1234567 -03:00", at}}},
      {{"Cliente", SQL_WVARCHAR, 60}, {{accents, accents}, {"", ""}}},
      {{"Nota", SQL_VARCHAR, 1999}, {{euros, euros}}},
      {{"Hash", SQL_VARBINARY, 16}, {{bytes, bytes}}},
      {{"Guid", SQL_GUID, 36},
       {{"6F9619FF-8B86-D011-B42D-00C04FC964FF",
         "6F9619FF-8B86-D011-B42D-00C04FC964FF"}}},
  };
  std::size_t rows = 0;
  for (const Case& c : cases) rows = std::max(rows, c.values.size() + 1);
  std::vector<ScriptColumn> columns;
  std::vector<std::vector<ScriptValue>> values(rows);
  std::vector<std::vector<std::string>> expected(rows);
  for (const Case& c : cases) {
    columns.push_back(c.column);
    for (std::size_t r = 0; r < rows; ++r) {
      const bool null = r + 1 == rows;
      const auto& [text, value] = c.values[r % c.values.size()];
      values[r].push_back(null ? ScriptValue() : text);
      expected[r].push_back(null ? "null" : Shown(value));
    }
  }
  const ResultSet blocks = OpenScripted(Rows(columns, values));
  EXPECT_TRUE(CallsTo(server(), {"SQLGetData"}).empty());
  columns.push_back({"Observacao", SQL_WLONGVARCHAR});
  for (auto& row : values) row.push_back(std::nullopt);
  ResultSet each = OpenScripted(Rows(columns, values));
  ASSERT_EQ(blocks.rows.size(), rows);
  ASSERT_EQ(each.rows.size(), rows);
  for (std::size_t r = 0; r < rows; ++r) {
    SCOPED_TRACE("row " + std::to_string(r));
    EXPECT_EQ(Shown(blocks.rows[r]), expected[r]);
    each.rows[r].pop_back();
    EXPECT_EQ(Shown(each.rows[r]), expected[r]);
  }
}

// A value longer than its column's buffer is never handed on cut, and a
// row the driver could not read fails the read with its diagnostics; the
// connection goes on.
TEST_P(SqlServerOdbcTest, AValueABlockCannotHoldFailsTheRead) {
  struct Case {
    ScriptColumn column;
    std::string good, bad;
    const char* error;
  };
  const Case cases[] = {
      {{"Cliente", SQL_VARCHAR, 5},
       "Ana",
       std::string(30, 'x'),
       "column Cliente is longer than its declared size"},
      {{"Hash", SQL_VARBINARY, 4},
       "1234",
       "12345",
       "column Hash is longer than its declared size"},
      {{"Id", SQL_INTEGER, 10},
       "1",
       "x",
       "Invalid character value for the target type"},
  };
  auto c = Connect();
  for (const Case& k : cases) {
    SCOPED_TRACE(k.column.name);
    server().Answer({"from Separacao",
                     {Rows({k.column}, {{k.good}, {k.bad}, {k.good}})},
                     1});
    try {
      c->Open("select * from Separacao", {});
      ADD_FAILURE() << "no error";
    } catch (const DriverError& e) {
      EXPECT_NE(std::string(e.what()).find(k.error), std::string::npos)
          << e.what();
    }
    EXPECT_FALSE(c->IsBroken());
    server().Answer(
        {"from Separacao", {Rows({k.column}, {{k.good}, {k.good}})}, 1});
    EXPECT_EQ(c->Open("select * from Separacao", {}).rows.size(), 2u);
  }
}

// A prepared statement whose results change shape between runs (the
// columns bound for one, a long column read value by value for the next)
// keeps nothing bound from the run before.
TEST_P(SqlServerOdbcTest, APreparedStatementRunsAgainWithAnotherShape) {
  const ScriptResult bound =
      Rows({{"Id", SQL_INTEGER, 10},
            {"Nome", SQL_VARCHAR, 20},
            {"Total", SQL_DECIMAL, 15, 4}},
           {{"1", "Ana", "2.5000"}, {"2", "Bia", std::nullopt}});
  const ScriptResult long_first =
      Rows({{"Obs", SQL_WLONGVARCHAR}, {"Id", SQL_INTEGER, 10}},
           {{"longo", "3"}, {std::nullopt, "4"}});
  const ScriptResult one_date =
      Rows({{"Dia", SQL_TYPE_TIMESTAMP, 23, 3}}, {{"2024-03-05 00:00:00.000"}});
  const std::vector<std::string> bound_rows = {"integer 1",  "text 'Ana'",
                                               "double 2.5", "integer 2",
                                               "text 'Bia'", "null"};
  const struct {
    const ScriptResult& result;
    std::vector<std::string> values;  // row after row
  } runs[] = {
      {bound, bound_rows},
      {long_first, {"text 'longo'", "integer 3", "null", "integer 4"}},
      {one_date, {Shown(DateTime::FromParts(2024, 3, 5))}},
      {bound, bound_rows},
  };
  auto c = Connect();
  for (const auto& run : runs) {
    server().Answer({"from Separacao", {run.result}, 1});
    const ResultSet read = c->Open("select * from Separacao where IdPedido = ?",
                                   {{"", std::int64_t{1}}});
    std::vector<std::string> values;
    for (const Row& row : read.rows) {
      for (std::string& v : Shown(row)) values.push_back(std::move(v));
    }
    EXPECT_EQ(values, run.values);
  }
  EXPECT_EQ(CallsTo(server(), {"SQLPrepare"}).size(), 1u);
  EXPECT_EQ(CallsTo(server(), {"SQLExecute"}).size(), std::size(runs));
}

// The driver says what it is once connected: a name that suggested the
// wrong one (an alias, a library path) is connected again, once, with the
// right settings, and every later connection uses them.
TEST_F(ScriptedOdbcTest, TheDriverSaysWhichSettingsItTakes) {
  struct Case {
    std::string name;
    ScriptPersonality personality;
    bool freetds;  // the settings finally used
    bool again;    // connected a second time
  };
  const Case cases[] = {
      {std::string(kFreeTdsDriver), ScriptPersonality::kByName, true, false},
      {std::string(kMicrosoftDriver), ScriptPersonality::kByName, false, false},
      {std::string(kTdsDriver), ScriptPersonality::kFreeTds, true, true},
      {ScriptedDriverPath(), ScriptPersonality::kFreeTds, true, true},
      {std::string(kSqlServerDriver), ScriptPersonality::kMicrosoft, false,
       false},
      {std::string(kFreeTdsDriver), ScriptPersonality::kMicrosoft, false, true},
      // Found by unixODBC in any case, and taken for FreeTDS by its name.
      {"freetds", ScriptPersonality::kByName, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().Reset();
    server().SetPersonality(c.personality);
    ::testing::internal::CaptureStderr();
    ConnectionPool::Factory factory = MakeConnectionFactory(Settings(c.name));
    {
      const auto first = factory();
      const auto second = factory();
    }
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::vector<Call> connects = CallsTo(server(), {"SQLDriverConnect"});
    ASSERT_EQ(connects.size(), c.again ? 3u : 2u);
    for (std::size_t i = c.again ? 1 : 0; i < connects.size(); ++i) {
      EXPECT_EQ(
          connects[i].text.find("ClientCharset=UTF-8") != std::string::npos,
          c.freetds)
          << connects[i].text;
      EXPECT_NE(connects[i].text.find(c.freetds ? "Encryption=require"
                                                : "Encrypt=yes"),
                std::string::npos)
          << connects[i].text;
    }
    if (c.again) {
      EXPECT_NE(err.find("ODBC driver '" + c.name + "' is " +
                         (c.freetds ? "FreeTDS (libtdsodbc.so)"
                                    : "Microsoft's ODBC driver "
                                      "(libmsodbcsql-18.3.so.3.1)")),
                std::string::npos)
          << err;
    } else {
      EXPECT_EQ(err, "");
    }
  }
}

}  // namespace
}  // namespace norvessa::testing
